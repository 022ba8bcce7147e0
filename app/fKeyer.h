#pragma once
// The main window: the keyer engine plus its controls, and the three
// components it owns (serial port, envelope filter, audio host).
#include <QMainWindow>
#include <memory>
#include <string>

#include "asio/DASIOHost.h"
#include "core/Timing.h"
#include "dsp/dspIIRFilters.h"
#include "keyer/Keyer.h"
#include "serial/SerialPort.h"
#include "serial/SimulatedPort.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QSlider;

namespace app {

class TfrmHelpAbout;

// The port list entry served by the keys of the keyboard.
inline constexpr const char* kKeyboardPaddle = "Keyboard paddle";

// What the window takes from the platform; tests substitute each.
struct TKeyerPlatform {
  // Driver for real serial devices (nullptr: the Linux driver).
  serial::IPortDriver* Devices = nullptr;
  // Clock of the keying loop's waits (nullptr: the steady clock).
  core::IClock* Clock = nullptr;
  // Serial devices to list after COM1..COM12 (empty: none; the program
  // passes what it finds on the machine).
  std::vector<std::string> DevicePaths;
};

class TfrmKeyer : public QMainWindow,
                  public core::TObject,
                  public keyer::IKeyerServices,
                  public keyer::TKeyerEngine {
 public:
  explicit TfrmKeyer(TKeyerPlatform Platform = {}, QWidget* Parent = nullptr);
  ~TfrmKeyer() override;

  // The components, as the window owns them.
  serial::TSerialPort& SerialPort1() { return *FSerialPort1; }
  dsp::TdspIIRFilter& dspIIRFilter1() { return *FdspIIRFilter1; }
  asio::TASIOHost& ASIOHost1() { return *FASIOHost1; }
  // The simulated port behind the "Keyboard paddle" entry.
  serial::TSimulatedPort& KeyboardPort() { return *FKeyboardPort; }
  void SetAboutBox(TfrmHelpAbout* About) { FAbout = About; }

  // Handlers.
  void FormCreate();
  void FormClose();
  void FormDestroy() {}
  void CheckBox9Click();
  void ComboBox1Change();
  void cbASIOdriverChange();
  void btnControlPanelClick();
  void ASIOHost1LatencyChanged(core::TObject* Sender);
  void Exit1Click();
  void About1Click();

  // Window operations.
  void UpdateLineCheckBoxes();
  void FillDriverList();
  void ShowDriverInfo();
  // The latency label's text for the host's present values.
  std::string LatencyText();

  // The keyboard paddle: key presses and releases close and open the
  // contacts of the simulated port's lines.
  enum class TPaddleKey { None, Dit, Dah };
  static TPaddleKey PaddleKeyOf(int Key, quint32 NativeVirtualKey, quint32 NativeScanCode);
  void PaddleKey(TPaddleKey Key, bool Pressed);

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

  // keyer::IKeyerServices
  void ProcessMessages() override;
  void Sleep(uint32_t Milliseconds) override { FClock.Sleep(Milliseconds); }
  int64_t QueryPerformanceCounter() override { return FClock.QueryPerformanceCounter(); }
  int64_t QueryPerformanceFrequency() override { return FClock.QueryPerformanceFrequency(); }
  double SampleRate() override { return FASIOHost1->SampleRate(); }
  uint32_t BufferSize() override { return FASIOHost1->BufferSize(); }
  core::Extended ProcessSample(core::Extended Input) override {
    return FdspIIRFilter1->ProcessSample(Input);
  }
  bool CTSState() override { return FSerialPort1->CTSState(); }
  bool DSRState() override { return FSerialPort1->DSRState(); }
  void SetCheckBox5(bool Checked) override;
  void SetCheckBox6(bool Checked) override;
  void SetlabWPMCaption(const std::string& Caption) override;
  int32_t tbWPMPosition() override;
  int32_t udTonePosition() override;
  std::string ComboBox2Text() override;
  void SetFilterFrequency1(core::Extended Hz) override { FdspIIRFilter1->SetFrequency1(Hz); }

 protected:
  void closeEvent(QCloseEvent* Event) override;
  bool event(QEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void CreateControls(const std::vector<std::string>& DevicePaths);
  void ApplyStoredSettings();
  void edtToneTextChanged();

  core::IClock& FClock;
  std::unique_ptr<serial::IPortDriver> FOwnDevices;
  std::unique_ptr<serial::TSimulatedPortDriver> FSimulated;
  std::unique_ptr<serial::TRoutingPortDriver> FRouter;
  serial::TSimulatedPort* FKeyboardPort = nullptr;
  // Declared so that destruction closes the port first, then the host,
  // and the filter the buffer fill uses last.
  std::unique_ptr<dsp::TdspIIRFilter> FdspIIRFilter1;
  std::unique_ptr<asio::TASIOHost> FASIOHost1;
  std::unique_ptr<serial::TSerialPort> FSerialPort1;
  TfrmHelpAbout* FAbout = nullptr;
  bool FActivationQueued = false;
};

// The default font of the window: Tahoma 8 pt where it exists.
QFont KeyerFont();

}  // namespace app
