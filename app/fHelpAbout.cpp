#include "app/fHelpAbout.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>

namespace app {

namespace {
const char* const kLines[4] = {
    "Paddle keyer test rig - iambic and straight-key sidetone over a serial port",
    "Serial port component: overlapped port access with a worker thread",
    "that waits for line changes and hands each event to the main thread,",
    "written for this rig, with its Linux port driver and simulated port.",
};
}  // namespace

TfrmHelpAbout::TfrmHelpAbout(QWidget* Parent) : QDialog(Parent) {
  setObjectName("frmHelpAbout");
  setWindowTitle("Help | about");
  // Only a close box among the title-bar buttons.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  QFont font = QApplication::font();
  if (QFontDatabase::families().contains(QStringLiteral("MS Sans Serif")))
    font.setFamily("MS Sans Serif");
  font.setPointSize(8);
  setFont(font);
  setGeometry(246, 164, 322, 217);
  setModal(true);

  for (int i = 0; i < 4; ++i) {
    Lines[i] = new QLabel(kLines[i], this);
    Lines[i]->setObjectName(QString("Label%1").arg(i + 1));
    Lines[i]->setWordWrap(true);
    Lines[i]->setGeometry(16, 16 + (i == 0 ? 0 : 24 + (i - 1) * 30), 290, i == 0 ? 34 : 30);
  }
  QFont product = Lines[0]->font();
  product.setBold(true);
  Lines[0]->setFont(product);

  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(123, 160, 75, 25);
  // Enter presses it as the default button; Escape closes the box as its
  // cancel button would.
  btnOK->setDefault(true);
  btnOK->setAutoDefault(true);
  connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
}

}  // namespace app
