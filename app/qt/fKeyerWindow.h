#pragma once
// The main window under Qt: the widgets of the form's control table, the
// keyboard paddle's key codes, the message pump and the dialogs. All logic
// lives in the toolkit-free form.
#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "app/form/KeyerView.h"
#include "app/form/fKeyer.h"
#include "app/qt/QtMessagePump.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QSlider;
class QTimer;

namespace app::qt {

class TfrmHelpAbout;
class TfrmTimingScope;

class TfrmKeyerWindow : public QMainWindow, public IKeyerFormView {
 public:
  explicit TfrmKeyerWindow(TKeyerPlatform Platform = {}, QWidget* Parent = nullptr);
  ~TfrmKeyerWindow() override;

  TfrmKeyer& Form() { return *FForm; }
  void SetAboutBox(TfrmHelpAbout* About) { FAbout = About; }

  // The key codes of the keyboard paddle: the brackets, and the two Ctrl
  // keys told apart by their X11 key symbols or scan codes.
  static TFormKey FormKeyOf(int Key, quint32 NativeVirtualKey, quint32 NativeScanCode);

  // Controls, by their form names.
  QLabel* Label1;
  QCheckBox* CheckBox[17];  // CheckBox[1] .. CheckBox[16]
  QLabel* Label2;
  QLabel* Label4;
  QComboBox* ComboBox1;
  QLabel* Label3;
  QComboBox* cbASIOdriver;
  QLabel* labLatency;
  QPushButton* btnControlPanel;
  QLabel* Label6;
  QComboBox* cbASIOout;
  QLabel* Label5;
  QComboBox* ComboBox2;
  QLabel* Label8;
  QLineEdit* edtTone;
  QScrollBar* udTone;
  QLabel* Label7;
  QSlider* tbWPM;
  QLabel* labWPM;
  QRadioButton* rbStraightKey;
  QRadioButton* rbIambicA;
  QRadioButton* rbIambicB;
  QAction* Exit1;
  QAction* About1;
  QAction* TimingScope1;
  QAction* Record1;
  // The status line: the newest record in words, the recent ones on hover.
  QLabel* StatusLine;

  // IKeyerFormView
  void SetCheckBoxChecked(int Number, bool Checked) override;
  bool CheckBoxChecked(int Number) override;
  void SetCheckBoxEnabled(int Number, bool Enabled) override;
  void SetComboBox1Items(const std::vector<std::string>& Items) override;
  void SetComboBox1ItemIndex(int Index) override;
  std::string ComboBox1Text() override;
  void SetcbASIOdriverItems(const std::vector<std::string>& Items) override;
  void SetcbASIOdriverItemIndex(int Index) override;
  int cbASIOdriverItemIndex() override;
  void SetlabLatencyCaption(const std::string& Caption) override;
  void SetcbASIOoutItems(const std::vector<std::string>& Items) override;
  void SetcbASIOoutItemIndex(int Index) override;
  void SetComboBox2Items(const std::vector<std::string>& Items) override;
  void SetComboBox2ItemIndex(int Index) override;
  std::string ComboBox2Text() override;
  void SetudTonePosition(int32_t Position) override;
  int32_t udTonePosition() override;
  std::string edtToneText() override;
  void SetedtToneText(const std::string& Text) override;
  void SettbWPMPosition(int32_t Position) override;
  int32_t tbWPMPosition() override;
  void SetlabWPMCaption(const std::string& Caption) override;
  void SetModeChecked(int Mode) override;
  void SetStatusLine(const std::string& Text, core::TStatusSeverity Severity,
                     const std::vector<std::string>& Recent) override;
  void ShowAboutBox() override;
  void ShowTimingScope() override;
  void SetRecording(bool On) override;
  TfrmTimingScope* TimingScope() { return FScope; }
  void CloseWindow() override { close(); }
  bool IsActiveWindow() override { return isActiveWindow(); }

 protected:
  void closeEvent(QCloseEvent* Event) override;
  bool event(QEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void CreateControls();
  void ConnectHandlers();

  TQtMessagePump FPump;
  std::unique_ptr<TfrmKeyer> FForm;
  TfrmHelpAbout* FAbout = nullptr;
  TfrmTimingScope* FScope = nullptr;
  QTimer* FIdleTimer = nullptr;
  bool FActivationQueued = false;
};

// The default font of the window: Tahoma 8 pt where it exists.
QFont KeyerFont();

}  // namespace app::qt
