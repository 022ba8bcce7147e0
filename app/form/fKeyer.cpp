#include "app/form/fKeyer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/form/FormLayout.h"
#include "core/MainThread.h"
#include "keyer/Envelope.h"

namespace app {

// The pump the keying loop uses: the front end's, followed by a look at the
// status channel. With a test's virtual clock the idle wait passes in
// virtual time (unless a main-thread call already waits).
class TfrmKeyer::TFormPump final : public core::IMessagePump {
 public:
  TFormPump(TfrmKeyer& Form, core::IMessagePump& Pump, core::IClock& Clock)
      : FForm(Form), FPump(Pump), FClock(Clock), FRealTime(&Clock == &core::SystemClock()) {}

  void ProcessMessages() override {
    FPump.ProcessMessages();
    FForm.CheckStatus();
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

std::vector<std::string> PortItems(const std::vector<std::string>& DevicePaths) {
  std::vector<std::string> items;
  for (int n = 1; n <= 12; ++n)
    items.push_back("COM" + std::to_string(n));
  items.insert(items.end(), DevicePaths.begin(), DevicePaths.end());
  items.push_back(kKeyboardPaddle);
  return items;
}

}  // namespace

TfrmKeyer::TfrmKeyer(IKeyerFormView& View, core::IMessagePump& Pump, TKeyerPlatform Platform)
    : FView(View), FClock(Platform.Clock ? *Platform.Clock : core::SystemClock()) {
  FPump = std::make_unique<TFormPump>(*this, Pump, FClock);
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
  FormDestroy();
  // Stop the driver before anything its thread touches goes away.
  FASIOHost1->SetActive(false);
  FSerialPort1.reset();
  FASIOHost1.reset();
  FKeyer.reset();
  FdspIIRFilter1.reset();
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
    FKeyer->ASIOHost1BufferSwitch(sender, in, out);
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
  std::string name = FView.ComboBox1Text();
  if (name.size() > 255) name.resize(255);
  FSerialPort1->SetCommPort(name);
  // A closed port is opened, or after one failed open no choice would
  // ever open a port again.
  if (!FSerialPort1->Active()) FSerialPort1->SetActive(true);
  FSerialPort1->SetDTRState(true);
  UpdateLineCheckBoxes();
}

void TfrmKeyer::cbASIOdriverChange() {
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

void TfrmKeyer::rbStraightKeyClick() {
  FKeyer->rbStraightKeyClick(this);
}

void TfrmKeyer::rbIambicAClick() {
  FKeyer->rbIambicAClick(this);
}

void TfrmKeyer::rbIambicBClick() {
  FKeyer->rbIambicBClick(this);
}

void TfrmKeyer::tbWPMChange() {
  FKeyer->tbWPMChange(this);
}

void TfrmKeyer::udToneClick() {
  const std::string text = std::to_string(FView.udTonePosition());
  if (FView.edtToneText() != text) FView.SetedtToneText(text);
  FKeyer->udToneClick(this);
}

// The edit box is the up-down control's buddy: a number in range moves the
// position (to the nearest step); anything else leaves it where it was.
void TfrmKeyer::edtToneChange() {
  const std::string text = FView.edtToneText();
  const char* first = text.c_str();
  while (*first == ' ')
    ++first;
  char* end = nullptr;
  const long value = std::strtol(first, &end, 10);
  while (end != nullptr && *end == ' ')
    ++end;
  if (end == first || end == nullptr || *end != '\0') return;
  if (value < kToneMin || value > kToneMax) return;
  const int snapped = std::min<int>(
      kToneMax, kToneMin + (static_cast<int>(value) - kToneMin + kToneStep / 2) / kToneStep *
                               kToneStep);
  if (snapped != FView.udTonePosition()) FView.SetudTonePosition(snapped);
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
    pairs.push_back(name(static_cast<size_t>(2 * i)) + " / " + name(static_cast<size_t>(2 * i + 1)));
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
  if (Key == TPaddleKey::Dit) FKeyboardPort->SetDSR(!Pressed);
  if (Key == TPaddleKey::Dah) FKeyboardPort->SetCTS(!Pressed);
}

bool TfrmKeyer::KeyEvent(TFormKey Key, bool Pressed, bool AutoRepeat) {
  if (FSerialPort1->CommPort() != kKeyboardPaddle || !FView.IsActiveWindow()) return false;
  const TPaddleKey paddle = PaddleKeyOf(Key);
  if (paddle == TPaddleKey::None) return false;
  if (!AutoRepeat) PaddleKey(paddle, Pressed);
  return true;
}

void TfrmKeyer::WindowDeactivated() {
  PaddleKey(TPaddleKey::Dit, false);
  PaddleKey(TPaddleKey::Dah, false);
}

void TfrmKeyer::SerialPort1ProcessError(core::TObject*, uint32_t Place, uint32_t Code,
                                        const std::string& Msg, uint8_t Noise) {
  const core::TStatusSeverity severity =
      Noise == 0 ? core::svError : Noise == 1 ? core::svWarning : core::svProgress;
  core::StatusChannel().PostF(core::ssSerial, severity, static_cast<int32_t>(Code), "%s: %s",
                              FSerialPort1 ? FSerialPort1->CommPort().c_str() : "", Msg.c_str());
  (void)Place;
}

void TfrmKeyer::CheckStatus() {
  core::TStatusChannel& channel = core::StatusChannel();
  if (!channel.HasRecords()) return;
  core::TStatusRecord record;
  bool any = false;
  while (channel.Read(record)) {
    FStatusHistory.push_back(record);
    if (FStatusHistory.size() > kStatusHistory) FStatusHistory.pop_front();
    any = true;
  }
  if (any) ShowStatus();
}

void TfrmKeyer::ShowStatus() {}

}  // namespace app
