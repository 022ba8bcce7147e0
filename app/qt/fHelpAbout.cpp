#include "app/qt/fHelpAbout.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>

#include "app/form/FormLayout.h"

namespace app::qt {

TfrmHelpAbout::TfrmHelpAbout(QWidget* Parent) : QDialog(Parent) {
  setObjectName("frmHelpAbout");
  setWindowTitle(QString::fromUtf8(kAboutCaption));
  // Only a close box among the title-bar buttons.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  QFont font = QApplication::font();
  if (QFontDatabase::families().contains(QString::fromUtf8(kAboutFontFamily)))
    font.setFamily(kAboutFontFamily);
  font.setPointSize(8);
  setFont(font);
  setGeometry(kAboutLeft, kAboutTop, kAboutWidth, kAboutHeight);
  setModal(true);

  // Each line as tall as its wrapped text, one below the other, so no
  // font makes them overlap; the product line a little apart.
  constexpr int kLeft = 16, kWidth = 290, kGap = 4;
  const std::array<std::string, 4> lines = AboutLines();
  int top = 16;
  for (int i = 0; i < 4; ++i) {
    Lines[i] = new QLabel(QString::fromStdString(lines[static_cast<size_t>(i)]), this);
    Lines[i]->setObjectName(QString("Label%1").arg(i + 1));
    Lines[i]->setWordWrap(true);
    if (i == 0) {
      QFont product = Lines[0]->font();
      product.setBold(true);
      Lines[0]->setFont(product);
    }
    const int height = Lines[i]->heightForWidth(kWidth);
    Lines[i]->setGeometry(kLeft, top, kWidth, height);
    top += height + (i == 0 ? 3 * kGap : kGap);
  }

  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(123, 160, 75, 25);
  // Enter presses it as the default button; Escape closes the box as its
  // cancel button would.
  btnOK->setDefault(true);
  btnOK->setAutoDefault(true);
  connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
}

}  // namespace app::qt
