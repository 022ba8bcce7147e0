#pragma once
// The main window's form, free of any toolkit: it owns the three components
// (serial port, envelope filter, audio host) and the keyer engine, runs
// start-up and shutdown, and carries every handler and window operation.
// It reaches its controls through IKeyerFormView; a front end supplies the
// view and the message pump, and raises the handlers on the operator's
// actions.
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/form/KeyerView.h"
#include "app/form/Recorder.h"
#include "app/form/TimingModel.h"
#include "app/form/TraceCsv.h"
#include "asio/DASIOHost.h"
#include "core/MessagePump.h"
#include "core/StatusChannel.h"
#include "core/Timing.h"
#include "dsp/dspIIRFilters.h"
#include "keyer/Keyer.h"
#include "serial/SerialPort.h"
#include "serial/SimulatedPort.h"

namespace app {

// The port list entry served by the keys of the keyboard.
inline constexpr const char* kKeyboardPaddle = "Keyboard paddle";

// What the form takes from the platform; tests substitute each.
struct TKeyerPlatform {
  // Driver for real serial devices (nullptr: the platform's own).
  serial::IPortDriver* Devices = nullptr;
  // Clock of the keying loop's waits (nullptr: the system clock).
  core::IClock* Clock = nullptr;
  // Serial devices to list after COM1..COM12 (the program passes what it
  // finds on the machine).
  std::vector<std::string> DevicePaths;
  // Folder of the recordings (empty: the user's home folder).
  std::string RecordDirectory;
};

// Keys the keyboard paddle tells apart; a front end translates its own key
// codes into these.
enum TFormKey : uint8_t { kyOther, kyBracketLeft, kyBracketRight, kyLeftCtrl, kyRightCtrl };

// Mode radio buttons, as IKeyerFormView::SetModeChecked numbers them.
enum TKeyMode : uint8_t { kmStraightKey, kmIambicA, kmIambicB };

// The arrow of an up-down control: btNext points up (raises), btPrev down.
enum TUDBtnType : uint8_t { btNext, btPrev };

class TfrmKeyer : public core::TObject {
 public:
  // Creates the components, gives them the stored settings and runs
  // FormCreate: the driver list (driver 0 loaded), COM1 opened, the line
  // states shown, speed, mode and tone set, the host started.
  TfrmKeyer(IKeyerFormView& View, core::IMessagePump& Pump, TKeyerPlatform Platform = {});
  ~TfrmKeyer() override;

  // The components and the engine, as the form owns them.
  serial::TSerialPort& SerialPort1() { return *FSerialPort1; }
  dsp::TdspIIRFilter& dspIIRFilter1() { return *FdspIIRFilter1; }
  asio::TASIOHost& ASIOHost1() { return *FASIOHost1; }
  keyer::TKeyerEngine& Keyer() { return *FKeyer; }
  // The simulated port behind the "Keyboard paddle" entry.
  serial::TSimulatedPort& KeyboardPort() { return *FKeyboardPort; }

  // Handlers.
  void FormActivate();  // enters the keying loop unless it runs already
  void FormClose();
  void FormDestroy() {}
  void CheckBox9Click();
  void ComboBox1Change();
  void cbASIOdriverChange();
  void btnControlPanelClick();
  void ASIOHost1LatencyChanged(core::TObject* Sender);
  void Exit1Click();
  void About1Click();
  // View, Timing scope: opens the scope and starts the trace.
  void TimingScope1Click();
  void TimingScopeClosed();
  // View, Record (or the scope's Record button): starts or stops writing
  // what the driver plays to a WAV file, with the trace beside it as CSV.
  void Record1Click();
  bool Recording() const { return FRecorder->Recording(); }
  TRecorder& Recorder() { return *FRecorder; }
  // The keyer's handlers, raised by the mode buttons, the speed bar, the
  // tone controls and the key filter list.
  void rbStraightKeyClick();
  void rbIambicAClick();
  void rbIambicBClick();
  void tbWPMChange();
  // An arrow of the tone's up-down control (or the wheel over it, or Up and
  // Down in the tone box): one step of 10 Hz, no wrap.
  void udToneClick(TUDBtnType Button);
  // The tone box's text has changed: a whole number in range moves the
  // tone at once; anything else waits for the end of editing.
  void edtToneChange();
  // Editing of the tone box ended (Enter, or the focus left): the box is
  // brought back to the tone that plays, a number out of range clamped.
  void edtToneExit();
  void ComboBox2Change();

  // Window operations.
  void UpdateLineCheckBoxes();
  void FillDriverList();
  void ShowDriverInfo();
  // The latency label's text for the host's present values.
  std::string LatencyText();

  // The keyboard paddle. A key counts while "Keyboard paddle" is the port
  // and the window is active; answers whether the key was the paddle's.
  // Auto-repeated presses change nothing.
  bool KeyEvent(TFormKey Key, bool Pressed, bool AutoRepeat);
  // Keys released while the window has no focus never arrive: both
  // contacts open when it loses the focus.
  void WindowDeactivated();
  enum class TPaddleKey { None, Dit, Dah };
  static TPaddleKey PaddleKeyOf(TFormKey Key);
  void PaddleKey(TPaddleKey Key, bool Pressed);

  // Reads the status channel (main thread); the form's pump does it at
  // every pump point, a front end from its own loop too.
  void CheckStatus();
  // The records read so far, newest last (a bounded history), with the
  // wall-clock time ("HH:MM:SS") each was read.
  struct TStatusEntry {
    core::TStatusRecord Record;
    std::string Time;
  };
  const std::deque<TStatusEntry>& StatusHistory() const { return FStatusHistory; }

  // Status records shown on the status line, and how many recent ones it
  // offers for a look back.
  static constexpr size_t kStatusRecent = 10;
  // Seconds between attempts to open a port that could not be opened.
  static constexpr uint32_t kPortRetryMs = 2000;

  // The timing trace: off until something shows it. While on, every pump
  // reads the trace into the timing model.
  void SetTracing(bool Value);
  bool Tracing() const { return FTracing || FRecordTracing; }
  TTimingModel& Timing() { return *FTiming; }
  // Reads what the trace holds now into the model (the pump does it).
  void CheckTrace();

  // Engine state, for the front ends and tests.
  bool LoopRunning() const { return FKeyer->LoopRunning(); }
  bool Closing() const { return FKeyer->Closing(); }

 private:
  class TFormPump;
  class TLinks;

  void FormCreate();
  void ApplyStoredSettings();
  void SerialPort1ProcessError(core::TObject* Sender, uint32_t Place, uint32_t Code,
                               const std::string& Msg, uint8_t Noise);
  void ShowStatus();
  // Opens the chosen port (if closed), raises DTR and shows the outcome.
  void OpenChosenPort();
  // Greys the modem-status boxes while the port is closed.
  void ShowPortState();
  void PostPortStatus();
  // Runs main-thread calls (at most Milliseconds) until the keyer has seen
  // the keyboard paddle's present keys.
  void AwaitKeyboardPaddle(uint32_t Milliseconds);
  void SchedulePortRetry();
  void StartRecording();
  // Why the recording ends, for the status line (empty: the operator).
  void StopRecording(const std::string& Reason = {});
  void EnableTrace(bool Scope, bool Record);

  IKeyerFormView& FView;
  core::IClock& FClock;
  std::unique_ptr<TFormPump> FPump;
  std::unique_ptr<TLinks> FLinks;
  std::unique_ptr<serial::TSimulatedPortDriver> FSimulated;
  std::unique_ptr<serial::TRoutingPortDriver> FRouter;
  serial::TSimulatedPort* FKeyboardPort = nullptr;
  // Declared so that destruction closes the port first, then the host,
  // and the filter and the recorder the buffer fill uses last.
  std::unique_ptr<TRecorder> FRecorder;
  std::unique_ptr<dsp::TdspIIRFilter> FdspIIRFilter1;
  std::unique_ptr<asio::TASIOHost> FASIOHost1;
  std::unique_ptr<keyer::TKeyerEngine> FKeyer;
  std::unique_ptr<serial::TSerialPort> FSerialPort1;
  std::deque<TStatusEntry> FStatusHistory;
  std::unique_ptr<TTimingModel> FTiming;
  bool FTracing = false;
  bool FRecordTracing = false;
  TTraceCsv FTraceCsv;
  std::string FRecordDirectory;
  int64_t FRecordStart = 0;
  std::vector<core::TTraceRecord> FTraceAudio;
  std::vector<core::TTraceRecord> FTraceOther;
  TKeyMode FMode = kmIambicB;
  // The error of the last failed open, and the port and code last reported,
  // so a failure that repeats is reported once.
  uint32_t FOpenError = 0;
  std::string FReportedPort;
  uint32_t FReportedError = 0xFFFFFFFF;
  bool FRetryPending = false;
  bool FPortLost = false;
  // The keyboard paddle's lines as last set, and whether a change waits to
  // reach the keyer through the port's worker.
  bool FKeyDit = false;
  bool FKeyDah = false;
  bool FKeyChanged = false;
  // Delayed calls hold this weakly: they do nothing once the form is gone.
  std::shared_ptr<TfrmKeyer*> FAlive;
};

}  // namespace app
