#include "app/form/fKeyer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/form/FormLayout.h"
#include "core/MainThread.h"
#include "core/Trace.h"
#include "keyer/Envelope.h"
#include "serial/PortErrors.h"

namespace app {

// The pump the keying loop uses: the front end's, followed by a look at the
// status channel. With a test's virtual clock the idle wait passes in
// virtual time (unless a main-thread call already waits).
class TfrmKeyer::TFormPump final : public core::IMessagePump {
 public:
  static constexpr uint32_t kKeyHandOffMs = 50;

  TFormPump(TfrmKeyer& Form, core::IMessagePump& Pump, core::IClock& Clock)
      : FForm(Form), FPump(Pump), FClock(Clock), FRealTime(&Clock == &core::SystemClock()) {}

  void ProcessMessages() override {
    FPump.ProcessMessages();
    // A key of the keyboard paddle handled just now has changed a line of
    // the simulated port; its event reaches the keyer through the port's
    // worker a few microseconds later. Wait for that hand-off and run it in
    // this same pump, as a real port's line change, queued when the line
    // changed, would be: a pump later may be a whole element later.
    if (FForm.FKeyChanged) {
      FForm.FKeyChanged = false;
      FForm.AwaitKeyboardPaddle(kKeyHandOffMs);
    }
    FForm.CheckStatus();
    FForm.CheckTrace();
  }
  void IdleWait(uint32_t Milliseconds) override {
    if (FRealTime)
      FPump.IdleWait(Milliseconds);
    else if (core::MainThread::Pending() == 0)
      FClock.Sleep(Milliseconds);
  }

 private:
  TfrmKeyer& FForm;
  core::IMessagePump& FPump;
  core::IClock& FClock;
  const bool FRealTime;
};

// The host and the port as the keyer engine reads them.
class TfrmKeyer::TLinks final : public keyer::IAudioFormat, public keyer::IPaddleLines {
 public:
  explicit TLinks(TfrmKeyer& Form) : FForm(Form) {}
  double SampleRate() override { return FForm.FASIOHost1->SampleRate(); }
  uint32_t BufferSize() override { return FForm.FASIOHost1->BufferSize(); }
  bool CTSState() override { return FForm.FSerialPort1->CTSState(); }
  bool DSRState() override { return FForm.FSerialPort1->DSRState(); }

 private:
  TfrmKeyer& FForm;
};

namespace {

constexpr size_t kStatusHistory = 50;

std::string WallClock() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// The words for a port that would not open, from the driver's error code.
std::string PortFailureText(const std::string& Port, uint32_t Code) {
  return serial::DescribePortError(Port, Code);
}

// Where the serial component reports a failed open and a lost device.
constexpr uint32_t kPlaceOpen = 112;
constexpr uint32_t kPlaceLost = 9920;

std::vector<std::string> PortItems(const std::vector<std::string>& DevicePaths) {
  std::vector<std::string> items;
  for (int n = 1; n <= 12; ++n)
    items.push_back("COM" + std::to_string(n));
  // Windows lists its ports by name: COM1 to COM12 are there already.
  for (const std::string& path : DevicePaths)
    if (std::find(items.begin(), items.end(), path) == items.end()) items.push_back(path);
  items.push_back(kKeyboardPaddle);
  return items;
}

}  // namespace

TfrmKeyer::TfrmKeyer(IKeyerFormView& View, core::IMessagePump& Pump, TKeyerPlatform Platform)
    : FView(View),
      FClock(Platform.Clock ? *Platform.Clock : core::SystemClock()),
      FRecordDirectory(Platform.RecordDirectory),
      FAlive(std::make_shared<TfrmKeyer*>(this)) {
  FRecorder = std::make_unique<TRecorder>();
  FPump = std::make_unique<TFormPump>(*this, Pump, FClock);
  // One clock for the whole trace: the keying loop's.
  core::TTrace::Instance().SetClock(&FClock);
  FTiming = std::make_unique<TTimingModel>(FClock.QueryPerformanceFrequency());
  FLinks = std::make_unique<TLinks>(*this);
  // The serial component reaches real devices and the keyboard paddle
  // through one driver.
  serial::IPortDriver& devices = Platform.Devices ? *Platform.Devices : serial::DefaultPortDriver();
  FSimulated = std::make_unique<serial::TSimulatedPortDriver>();
  FKeyboardPort = &FSimulated->AddPort(kKeyboardPaddle);
  // Open contacts: both lines active.
  FKeyboardPort->SetCTS(true);
  FKeyboardPort->SetDSR(true);
  FRouter = std::make_unique<serial::TRoutingPortDriver>(devices);
  FRouter->Route(kKeyboardPaddle, *FSimulated);

  FView.SetComboBox1Items(PortItems(Platform.DevicePaths));
  FView.SetComboBox1ItemIndex(0);
  FView.SetComboBox2Items(KeyFilterItems());
  FView.SetComboBox2ItemIndex(kKeyFilterIndex);

  FdspIIRFilter1 = std::make_unique<dsp::TdspIIRFilter>();
  FASIOHost1 = std::make_unique<asio::TASIOHost>();
  FKeyer = std::make_unique<keyer::TKeyerEngine>(keyer::TKeyerServices{
      FClock, *FPump, *FLinks, *FLinks, keyer::EnvelopeFilterOf(*FdspIIRFilter1), FView});
  FSerialPort1 = std::make_unique<serial::TSerialPort>(nullptr, *FRouter);
  ApplyStoredSettings();
  FormCreate();
}

TfrmKeyer::~TfrmKeyer() {
  FAlive.reset();
  SetTracing(false);
  FormDestroy();
  // Stop the driver before anything its thread touches goes away.
  FASIOHost1->SetActive(false);
  StopRecording();
  FSerialPort1.reset();
  FASIOHost1.reset();
  FKeyer.reset();
  FdspIIRFilter1.reset();
  core::TTrace::Instance().SetClock(nullptr);
}

void TfrmKeyer::SetTracing(bool Value) {
  if (Value == FTracing) return;
  EnableTrace(Value, FRecordTracing);
}

void TfrmKeyer::EnableTrace(bool Scope, bool Record) {
  core::TTrace& trace = core::TTrace::Instance();
  const bool was = FTracing || FRecordTracing;
  const bool now = Scope || Record;
  if (now && !was) {
    // Nothing from before: the trace starts now.
    FTraceAudio.clear();
    FTraceOther.clear();
    trace.Drain(FTraceAudio, FTraceOther);
    trace.TakeDropped();
  }
  // The scope starts empty whenever it opens.
  if (Scope && !FTracing) FTiming->Clear();
  FTracing = Scope;
  FRecordTracing = Record;
  trace.SetEnabled(now);
}

void TfrmKeyer::CheckTrace() {
  if (!FTracing && !FRecordTracing) return;
  FTraceAudio.clear();
  FTraceOther.clear();
  core::TTrace::Instance().Drain(FTraceAudio, FTraceOther);
  if (!FTraceAudio.empty() || !FTraceOther.empty()) {
    if (FTracing) {
      FTiming->SetSampleRate(FASIOHost1->SampleRate());
      FTiming->SetDitSeconds(FKeyer->DitTime());
      FTiming->SetStraightKey(FKeyer->StraightKey());
      FTiming->Add(FTraceAudio, FTraceOther);
    }
    if (FRecordTracing)
      FTraceCsv.Add(FTraceAudio, FTraceOther, FASIOHost1->SampleRate(), FRecorder->FirstPosition());
  }
  if (FRecorder->Recording() && FRecorder->WriteFailed()) StopRecording("writing failed");
}

namespace {
// "paddle-rig-YYYYmmdd-HHMMSS" in Folder.
std::string RecordingStem(const std::string& Folder) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char name[64];
  std::strftime(name, sizeof name, "paddle-rig-%Y%m%d-%H%M%S", &local);
  std::string folder = Folder;
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  return folder + name;
}

std::string HomeFolder() {
  for (const char* name : {"HOME", "USERPROFILE"})
    if (const char* v = std::getenv(name); v != nullptr && *v != 0) return v;
  return ".";
}
}  // namespace

void TfrmKeyer::Record1Click() {
  if (FRecorder->Recording())
    StopRecording();
  else
    StartRecording();
}

void TfrmKeyer::StartRecording() {
  if (!FASIOHost1->Active()) {
    core::StatusChannel().Post(core::ssApp, core::svError, 0,
                               "Cannot record: no audio driver is running");
    FView.SetRecording(false);
    return;
  }
  const std::string stem =
      RecordingStem(FRecordDirectory.empty() ? HomeFolder() : FRecordDirectory);
  const std::string wav = stem + ".wav", csv = stem + ".csv";
  const int rate = static_cast<int>(FASIOHost1->SampleRate() + 0.5);
  const int channels = std::max<int32_t>(1, FASIOHost1->OutputChannels());
  std::string error;
  if (!FTraceCsv.Open(csv, FClock.QueryPerformanceCounter(), FClock.QueryPerformanceFrequency(),
                      error)) {
    core::StatusChannel().PostF(core::ssApp, core::svError, 0, "Cannot record to %s: %s",
                                csv.c_str(), error.c_str());
    FView.SetRecording(false);
    return;
  }
  // The trace runs before the first buffer goes in, so the CSV holds it.
  EnableTrace(FTracing, true);
  if (!FRecorder->Start(wav, rate, channels, error)) {
    EnableTrace(FTracing, false);
    FTraceCsv.Close(error);
    std::remove(csv.c_str());
    core::StatusChannel().PostF(core::ssApp, core::svError, 0, "Cannot record to %s: %s",
                                wav.c_str(), error.c_str());
    FView.SetRecording(false);
    return;
  }
  core::StatusChannel().PostF(core::ssApp, core::svInfo, 0, "Recording to %s (trace in %s)",
                              wav.c_str(), csv.c_str() + csv.rfind('/') + 1);
  FView.SetRecording(true);
}

void TfrmKeyer::StopRecording(const std::string& Reason) {
  if (!FRecorder->Recording() && !FRecordTracing) return;
  std::string error, csvError;
  const bool ok = FRecorder->Stop(error);
  CheckTrace();  // the last records, up to the last buffer recorded
  EnableTrace(FTracing, false);
  const bool csvOk = FTraceCsv.Close(csvError);
  const std::string& wav = FRecorder->Path();
  const double seconds =
      static_cast<double>(FRecorder->FramesWritten()) / std::max(1, FRecorder->SampleRate());
  if (!ok || !csvOk) {
    core::StatusChannel().PostF(core::ssApp, core::svError, 0, "Recording to %s failed: %s",
                                wav.c_str(), (!ok ? error : csvError).c_str());
  } else if (FRecorder->FramesDropped() > 0) {
    core::StatusChannel().PostF(
        core::ssApp, core::svWarning, 0,
        "Recorded %.1f s to %s; %llu frames were lost (the disk did not keep up)", seconds,
        wav.c_str(), static_cast<unsigned long long>(FRecorder->FramesDropped()));
  } else {
    core::StatusChannel().PostF(core::ssApp, core::svInfo, 0, "Recorded %.1f s to %s%s%s", seconds,
                                wav.c_str(), Reason.empty() ? "" : ": ", Reason.c_str());
  }
  FView.SetRecording(false);
}

// The window's stored settings of its three components, applied as a
// stored form applies them: loading state, properties, end of loading.
void TfrmKeyer::ApplyStoredSettings() {
  serial::TSerialPort& port = *FSerialPort1;
  port.BeginLoading();
  port.SetCommPort("COM1");
  port.SetErrorNoise(255);
  port.OnCTSEvent = [this](core::TObject* sender) { FKeyer->SerialPort1CTSEvent(sender); };
  port.OnDSREvent = [this](core::TObject* sender) { FKeyer->SerialPort1DSREvent(sender); };
  port.OnProcessError = [this](core::TObject* sender, uint32_t place, uint32_t code,
                               const std::string& msg, uint8_t noise) {
    SerialPort1ProcessError(sender, place, code, msg, noise);
  };
  port.EndLoading();

  keyer::StoreEnvelopeFilter(*FdspIIRFilter1);

  asio::TASIOHost& host = *FASIOHost1;
  host.BeginLoading();
  host.SetActive(false);
  host.SetPreventClipping(asio::pcNone);
  host.SetPreFillInBuffer(asio::bpfNone);
  host.SetPreFillOutBuffer(asio::bpfNone);
  host.SetConvertOptimizations({asio::coSSE, asio::co3DNow});
  host.SetSampleRate(44100);
  host.ASIOTime().SetSpeed(1);
  host.ASIOTime().SetSampleRate(44100);
  host.ASIOTime().SetFlags({asio::atSystemTimeValid, asio::atSamplePositionValid,
                            asio::atSampleRateValid, asio::atSpeedValid});
  host.OnLatencyChanged = [this](core::TObject* sender) { ASIOHost1LatencyChanged(sender); };
  host.OnBufferSwitch = [this](core::TObject* sender, const dsp::TArrayOfSingleArray& in,
                               dsp::TArrayOfSingleArray& out) {
    const int64_t position = FKeyer->TracePosition();
    FKeyer->ASIOHost1BufferSwitch(sender, in, out);
    FRecorder->Write(out, position);
  };
  host.EndLoading();
}

void TfrmKeyer::FormCreate() {
  FKeyer->ReadCounterFrequency();
  FillDriverList();
  FSerialPort1->SetActive(true);
  FSerialPort1->SetCommPort("COM1");
  FSerialPort1->SetDTRState(true);
  UpdateLineCheckBoxes();
  PostPortStatus();
  FView.SettbWPMPosition(kWPMInitial);
  FKeyer->tbWPMChange(this);
  FKeyer->SelectInitialMode();
  FView.SetModeChecked(kmIambicB);
  FView.SetudTonePosition(kToneInitial);
  FView.SetedtToneText(std::to_string(kToneInitial));
  FASIOHost1->SetActive(true);
}

void TfrmKeyer::FormActivate() {
  FKeyer->FormActivate(this);
}

void TfrmKeyer::FormClose() {
  FKeyer->SetClosing();
  FASIOHost1->SetActive(false);
}

void TfrmKeyer::CheckBox9Click() {
  FSerialPort1->SetDTRState(FView.CheckBoxChecked(9));
  UpdateLineCheckBoxes();
}

void TfrmKeyer::ComboBox1Change() {
  FPortLost = false;
  std::string name = FView.ComboBox1Text();
  if (name.size() > 255) name.resize(255);
  FSerialPort1->SetCommPort(name);
  OpenChosenPort();
}

void TfrmKeyer::OpenChosenPort() {
  // A closed port is opened, or after one failed open no choice would
  // ever open a port again.
  if (!FSerialPort1->Active()) FSerialPort1->SetActive(true);
  FSerialPort1->SetDTRState(true);
  UpdateLineCheckBoxes();
  PostPortStatus();
}

// The outcome of opening the chosen port, once per change: the port open,
// or why it is not.
void TfrmKeyer::PostPortStatus() {
  const std::string& port = FSerialPort1->CommPort();
  const bool open = FSerialPort1->Active();
  const uint32_t code = open ? 0 : FOpenError;
  if (port == FReportedPort && code == FReportedError) {
    if (!open) SchedulePortRetry();
    return;
  }
  FReportedPort = port;
  FReportedError = code;
  if (open) {
    core::StatusChannel().PostF(core::ssSerial, core::svInfo, 0, "%s open", port.c_str());
  } else {
    core::StatusChannel().Post(core::ssSerial, core::svError, static_cast<int32_t>(code),
                               PortFailureText(port, code));
    SchedulePortRetry();
  }
}

// A port that could not be opened is tried again every two seconds, so a
// device plugged in (or freed by another program) is taken up by itself.
void TfrmKeyer::SchedulePortRetry() {
  if (FRetryPending) return;
  FRetryPending = true;
  std::weak_ptr<TfrmKeyer*> alive = FAlive;
  core::MainThread::PostDelayed(
      [alive] {
        const std::shared_ptr<TfrmKeyer*> form = alive.lock();
        if (!form) return;
        TfrmKeyer& f = **form;
        f.FRetryPending = false;
        if (f.Closing()) return;
        if (f.FPortLost) {
          // Let go of the lost device, then open it anew.
          f.FPortLost = false;
          f.FSerialPort1->SetActive(false);
        } else if (f.FSerialPort1->Active()) {
          return;
        }
        f.OpenChosenPort();
      },
      kPortRetryMs);
}

void TfrmKeyer::cbASIOdriverChange() {
  // Choosing an item loads that driver; typing in the box selects nothing.
  const int index = FView.cbASIOdriverItemIndex();
  if (index >= 0 && index != FASIOHost1->DriverIndex()) {
    // One file holds one stream: its rate and channels end with the driver.
    StopRecording("the driver changed");
    FASIOHost1->SetDriverIndex(index);
    // The rig always plays through its driver: after one that failed, a
    // working choice starts again rather than sitting loaded and silent.
    if (FASIOHost1->DriverLoaded() && !FASIOHost1->Active()) FASIOHost1->SetActive(true);
    if (FASIOHost1->DriverLoaded())
      core::StatusChannel().PostF(core::ssHost, core::svInfo, 0, "%s %s",
                                  FASIOHost1->DriverName().c_str(),
                                  FASIOHost1->Active() ? "running" : "loaded");
  }
  ShowDriverInfo();
}

void TfrmKeyer::btnControlPanelClick() {
  FASIOHost1->ShowControlPanel();
}

void TfrmKeyer::ASIOHost1LatencyChanged(core::TObject*) {
  if (core::MainThread::IsMainThread()) {
    FView.SetlabLatencyCaption(LatencyText());
    return;
  }
  // From the driver's thread: the label is set on the main thread, from
  // the values the host holds by then. The form outlives every pump.
  core::MainThread::Post([this] { FView.SetlabLatencyCaption(LatencyText()); });
}

void TfrmKeyer::Exit1Click() {
  FView.CloseWindow();
}

void TfrmKeyer::About1Click() {
  FView.ShowAboutBox();
}

// A click on the mode that is already chosen changes nothing: it must not
// empty the queue and the memories.
void TfrmKeyer::TimingScope1Click() {
  SetTracing(true);
  FView.ShowTimingScope();
}

void TfrmKeyer::TimingScopeClosed() {
  SetTracing(false);
}

void TfrmKeyer::rbStraightKeyClick() {
  if (FMode == kmStraightKey) return;
  FMode = kmStraightKey;
  FKeyer->rbStraightKeyClick(this);
}

void TfrmKeyer::rbIambicAClick() {
  if (FMode == kmIambicA) return;
  FMode = kmIambicA;
  FKeyer->rbIambicAClick(this);
}

void TfrmKeyer::rbIambicBClick() {
  if (FMode == kmIambicB) return;
  FMode = kmIambicB;
  FKeyer->rbIambicBClick(this);
}

void TfrmKeyer::tbWPMChange() {
  FKeyer->tbWPMChange(this);
}

namespace {

// A whole number, blanks around it allowed; one too large for a long
// reads as the largest (or smallest), which the tone's range then clamps.
bool ParseWhole(const std::string& Text, long& Value) {
  const char* first = Text.c_str();
  while (*first == ' ')
    ++first;
  char* end = nullptr;
  Value = std::strtol(first, &end, 10);
  if (end == first) return false;
  while (*end == ' ')
    ++end;
  return *end == '\0';
}

int SnapTone(long Value) {
  const long clamped = std::clamp<long>(Value, kToneMin, kToneMax);
  return static_cast<int>(kToneMin + (clamped - kToneMin + kToneStep / 2) / kToneStep * kToneStep);
}

}  // namespace

void TfrmKeyer::udToneClick(TUDBtnType Button) {
  const int position =
      SnapTone(FView.udTonePosition() + (Button == btNext ? kToneStep : -kToneStep));
  FView.SetudTonePosition(position);
  FView.SetedtToneText(std::to_string(position));
  FKeyer->udToneClick(this);
}

// The edit box is the up-down control's buddy: a number in range moves the
// position (to the nearest step); anything else leaves it where it was
// until editing ends.
void TfrmKeyer::edtToneChange() {
  long value = 0;
  if (!ParseWhole(FView.edtToneText(), value) || value < kToneMin || value > kToneMax) return;
  const int snapped = SnapTone(value);
  if (snapped != FView.udTonePosition()) FView.SetudTonePosition(snapped);
  FKeyer->edtToneChange(this);
}

void TfrmKeyer::edtToneExit() {
  long value = 0;
  const int position =
      ParseWhole(FView.edtToneText(), value) ? SnapTone(value) : FView.udTonePosition();
  FView.SetudTonePosition(position);
  const std::string text = std::to_string(position);
  if (FView.edtToneText() != text) FView.SetedtToneText(text);
  FKeyer->edtToneChange(this);
}

void TfrmKeyer::ComboBox2Change() {
  FKeyer->ComboBox2Change(this);
}

void TfrmKeyer::UpdateLineCheckBoxes() {
  const uint32_t m = FSerialPort1->ModemState() & 0xFF;
  for (int bit = 0; bit < 8; ++bit)
    FView.SetCheckBoxChecked(bit + 1, (m >> bit) & 1);
  FView.SetCheckBoxChecked(9, FSerialPort1->DTRState());
  // Of the modem-control byte the component knows only RTS besides DTR.
  FView.SetCheckBoxChecked(10, FSerialPort1->RTSState());
  ShowPortState();
}

void TfrmKeyer::ShowPortState() {
  // A closed port's lines are unknown: greyed, not shown as closed contacts.
  const bool open = FSerialPort1->Active() && !FPortLost;
  for (int n = 1; n <= 8; ++n) {
    if (!open) FView.SetCheckBoxChecked(n, false);
    FView.SetCheckBoxEnabled(n, open);
  }
}

void TfrmKeyer::FillDriverList() {
  FView.SetcbASIOdriverItems(FASIOHost1->DriverList());
  FASIOHost1->SetDriverIndex(0);
  FView.SetcbASIOdriverItemIndex(FASIOHost1->DriverList().empty() ? -1 : 0);
  ShowDriverInfo();
}

std::string TfrmKeyer::LatencyText() {
  asio::TASIOHost& host = *FASIOHost1;
  const uint32_t size = host.BufferSize();
  const int32_t latency = host.OutputLatency();
  const float ms = static_cast<float>(latency / host.SampleRate() * 1000.0);
  char text[128];
  std::snprintf(text, sizeof text, "Buffer size %u samples, latency %d samples (%-6.2fmS)", size,
                latency, static_cast<double>(ms));
  return text;
}

void TfrmKeyer::ShowDriverInfo() {
  FView.SetlabLatencyCaption(LatencyText());
  const auto& outputs = FASIOHost1->OutputChannelInfoList();
  const auto name = [&](size_t i) {
    return std::string(outputs[i].name, strnlen(outputs[i].name, sizeof outputs[i].name));
  };
  std::vector<std::string> pairs;
  const int32_t count = FASIOHost1->OutputChannels() / 2;
  for (int32_t i = 0; i < count && static_cast<size_t>(2 * i + 1) < outputs.size(); ++i)
    pairs.push_back(name(static_cast<size_t>(2 * i)) + " / " +
                    name(static_cast<size_t>(2 * i + 1)));
  FView.SetcbASIOoutItems(pairs);
  FView.SetcbASIOoutItemIndex(pairs.empty() ? -1 : 0);
  FASIOHost1->SetOutputChannelOffset(0);
}

TfrmKeyer::TPaddleKey TfrmKeyer::PaddleKeyOf(TFormKey Key) {
  switch (Key) {
    case kyBracketLeft:
    case kyLeftCtrl:
      return TPaddleKey::Dit;
    case kyBracketRight:
    case kyRightCtrl:
      return TPaddleKey::Dah;
    case kyOther:
      break;
  }
  return TPaddleKey::None;
}

void TfrmKeyer::PaddleKey(TPaddleKey Key, bool Pressed) {
  // A closed contact makes its line inactive.
  if (Key == TPaddleKey::Dit && FKeyDit != Pressed) {
    FKeyDit = Pressed;
    FKeyChanged = FKeyChanged || FSerialPort1->CommPort() == kKeyboardPaddle;
    FKeyboardPort->SetDSR(!Pressed);
  }
  if (Key == TPaddleKey::Dah && FKeyDah != Pressed) {
    FKeyDah = Pressed;
    FKeyChanged = FKeyChanged || FSerialPort1->CommPort() == kKeyboardPaddle;
    FKeyboardPort->SetCTS(!Pressed);
  }
}

bool TfrmKeyer::KeyEvent(TFormKey Key, bool Pressed, bool AutoRepeat) {
  if (FSerialPort1->CommPort() != kKeyboardPaddle || !FView.IsActiveWindow()) return false;
  const TPaddleKey paddle = PaddleKeyOf(Key);
  if (paddle == TPaddleKey::None) return false;
  if (!AutoRepeat) PaddleKey(paddle, Pressed);
  return true;
}

void TfrmKeyer::AwaitKeyboardPaddle(uint32_t Milliseconds) {
  // Until the keyer holds the keys' state: the worker may first be held by
  // an earlier hand-off, which the pump must run to free it.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
  for (;;) {
    core::MainThread::CheckSynchronize();
    if (FKeyer->DitPressed() == FKeyDit && FKeyer->DahPressed() == FKeyDah) return;
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    core::MainThread::WaitForCalls(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
  }
}

void TfrmKeyer::WindowDeactivated() {
  PaddleKey(TPaddleKey::Dit, false);
  PaddleKey(TPaddleKey::Dah, false);
}

void TfrmKeyer::SerialPort1ProcessError(core::TObject*, uint32_t Place, uint32_t Code,
                                        const std::string& Msg, uint8_t Noise) {
  // A failed open is told in words once it is known (PostPortStatus);
  // progress steps are the component's own business.
  if (Place == kPlaceOpen) {
    FOpenError = Code;
    return;
  }
  if (Place == kPlaceLost) {
    // The device hung up or went away: its lines are unknown until it is
    // back, and it is looked for again as a port that would not open.
    FPortLost = true;
    FReportedError = Code;
    core::StatusChannel().Post(core::ssSerial, core::svError, static_cast<int32_t>(Code),
                               PortFailureText(FSerialPort1->CommPort(), Code));
    ShowPortState();
    SchedulePortRetry();
    return;
  }
  if (Noise >= 2) return;
  const char* port = FSerialPort1 ? FSerialPort1->CommPort().c_str() : "";
  core::StatusChannel().PostF(core::ssSerial, Noise == 0 ? core::svError : core::svWarning,
                              static_cast<int32_t>(Code),
                              Code != 0 ? "%s: %s (error %u)" : "%s: %s", port, Msg.c_str(), Code);
}

void TfrmKeyer::CheckStatus() {
  core::TStatusChannel& channel = core::StatusChannel();
  const uint64_t dropped = channel.TakeDropped();
  if (!channel.HasRecords() && dropped == 0) return;
  const auto keep = [this](const core::TStatusRecord& Record) {
    FStatusHistory.push_back(TStatusEntry{Record, WallClock()});
    if (FStatusHistory.size() > kStatusHistory) FStatusHistory.pop_front();
  };
  core::TStatusRecord record;
  bool shown = false;
  while (channel.Read(record)) {
    // Progress steps are kept out of the line and its history.
    if (record.Severity == core::svProgress) continue;
    keep(record);
    shown = true;
  }
  if (dropped > 0) {
    // Told after what did arrive, so it is what the line shows.
    core::TStatusRecord lost;
    lost.Source = core::ssApp;
    lost.Severity = core::svWarning;
    std::snprintf(lost.Text, sizeof lost.Text, "%llu status messages were lost",
                  static_cast<unsigned long long>(dropped));
    keep(lost);
    shown = true;
  }
  if (shown) ShowStatus();
}

void TfrmKeyer::ShowStatus() {
  if (FStatusHistory.empty()) return;
  std::vector<std::string> recent;
  for (auto it = FStatusHistory.rbegin();
       it != FStatusHistory.rend() && recent.size() < kStatusRecent; ++it)
    recent.push_back(it->Time + "  " + std::string(it->Record.TextView()));
  const core::TStatusRecord& latest = FStatusHistory.back().Record;
  FView.SetStatusLine(std::string(latest.TextView()), latest.Severity, recent);
}

}  // namespace app
