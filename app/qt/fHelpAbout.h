#pragma once
// The About box.
#include <QDialog>

class QLabel;
class QPushButton;

namespace app::qt {

class TfrmHelpAbout : public QDialog {
 public:
  explicit TfrmHelpAbout(QWidget* Parent = nullptr);

  void btnOKClick() { accept(); }

  QLabel* Lines[4];
  QPushButton* btnOK;
};

}  // namespace app::qt
