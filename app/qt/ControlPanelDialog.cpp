#include "app/qt/ControlPanelDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

namespace app::qt {

bool ShowDriverControlPanel(const asio::drivers::TPanelChoices& Choices,
                            asio::drivers::TPanelPick& Pick) {
  QDialog dialog(QApplication::activeWindow());
  dialog.setObjectName("driverControlPanel");
  dialog.setWindowTitle(QString::fromStdString(Choices.DriverName) + " - control panel");
  auto* form = new QFormLayout(&dialog);

  auto* sizes = new QComboBox(&dialog);
  sizes->setObjectName("bufferSize");
  for (int32_t size : Choices.BufferSizes) {
    sizes->addItem(QString("%1 samples").arg(size), size);
    if (size == Choices.CurrentBufferSize) sizes->setCurrentIndex(sizes->count() - 1);
  }
  form->addRow("Buffer size", sizes);

  QComboBox* formats = nullptr;
  if (!Choices.Formats.empty()) {
    formats = new QComboBox(&dialog);
    formats->setObjectName("format");
    for (const std::string& f : Choices.Formats)
      formats->addItem(QString::fromStdString(f));
    if (Choices.CurrentFormat >= 0) formats->setCurrentIndex(Choices.CurrentFormat);
    form->addRow("Sample format", formats);
  }
  auto* note = new QLabel(Choices.Note.empty()
                              ? "A smaller buffer lowers the latency; too small a one drops out."
                              : QString::fromStdString(Choices.Note));
  note->setWordWrap(true);
  form->addRow(note);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);

  if (dialog.exec() != QDialog::Accepted) return false;
  Pick.BufferSize = sizes->currentIndex() >= 0 ? sizes->currentData().toInt() : 0;
  Pick.Format = formats ? formats->currentIndex() : -1;
  return true;
}

}  // namespace app::qt
