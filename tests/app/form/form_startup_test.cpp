// The form after start-up, its settings handlers and its shutdown, without
// a toolkit.
#include <thread>

#include "FormFixture.h"

namespace app::testing {
namespace {

using asio::test::TDriverOp;

TEST_F(FormFixture, StartUpLeavesTheDocumentedState) {
  Create();
  TfrmKeyer& f = *Form;
  keyer::TKeyerEngine& k = f.Keyer();
  // COM1 open with DTR and RTS raised, shown in the DTR box.
  EXPECT_TRUE(f.SerialPort1().Active());
  EXPECT_EQ(f.SerialPort1().CommPort(), "COM1");
  EXPECT_TRUE(Devices.Port("COM1")->DTR());
  EXPECT_TRUE(Devices.Port("COM1")->RTS());
  EXPECT_TRUE(View.CheckBox[9]);
  EXPECT_TRUE(View.CheckBox[10]);
  EXPECT_FALSE(View.CheckBoxEnabled[15]);
  // Port list: COM1..COM12, the devices found, the keyboard paddle.
  ASSERT_EQ(View.ComboBox1Items.size(), 14u);
  EXPECT_EQ(View.ComboBox1Items[11], "COM12");
  EXPECT_EQ(View.ComboBox1Items[12], "/dev/serial/by-id/usb-Test_Paddle-if00");
  EXPECT_EQ(View.ComboBox1Items[13], kKeyboardPaddle);
  EXPECT_EQ(View.ComboBox1Index, 0);
  // Speed, mode and tone.
  EXPECT_EQ(View.labWPM, "20 WPM ( 50.0mS dit)");
  EXPECT_EQ(k.WPM(), 20);
  EXPECT_EQ(View.Mode, kmIambicB);
  EXPECT_TRUE(k.IambicB());
  EXPECT_FALSE(k.StraightKey());
  EXPECT_EQ(k.Tone(), 700);
  EXPECT_EQ(View.edtTone, "700");
  EXPECT_EQ(View.udTone, 700);
  EXPECT_EQ(View.ComboBox2Items,
            (std::vector<std::string>{"25", "50", "100", "150", "200", "250"}));
  EXPECT_EQ(View.ComboBox2Text(), "150");
  EXPECT_EQ(k.CounterFrequency(), Clock.QueryPerformanceFrequency());
  // Driver 0 loaded, its buffers and outputs shown, the host running.
  EXPECT_EQ(View.cbASIOdriverItems, std::vector<std::string>{"Substitute 1"});
  EXPECT_EQ(View.cbASIOdriverIndex, 0);
  EXPECT_EQ(f.ASIOHost1().DriverIndex(), 0);
  EXPECT_TRUE(f.ASIOHost1().Active());
  EXPECT_EQ(View.labLatency, "Buffer size 48 samples, latency 512 samples (10.67 mS)");
  ASSERT_EQ(View.cbASIOoutItems.size(), 1u);
  EXPECT_EQ(View.cbASIOoutIndex, 0);
  // The stored filter: Butterworth low-pass, 150 Hz at 48000 Hz.
  EXPECT_EQ(f.dspIIRFilter1().Frequency1(), 150);
  EXPECT_EQ(f.dspIIRFilter1().SampleRate(), 48000);
  EXPECT_NEAR(static_cast<double>(f.dspIIRFilter1().InputScale()), 0.009722340545, 1e-12);
}

TEST_F(FormFixture, LatencyLabelsAndOutputPairs) {
  Factory.Config.MinSize = 64;
  Factory.Config.PreferredSize = 512;
  Factory.Config.OutputChannels = 5;
  Factory.Config.NamePrefix = "Out";
  Create();
  EXPECT_EQ(View.labLatency, "Buffer size 512 samples, latency 512 samples (10.67 mS)");
  // Five outputs: two pairs, the odd last channel left out.
  ASSERT_EQ(View.cbASIOoutItems.size(), 2u);
  const auto& info = Form->ASIOHost1().OutputChannelInfoList();
  EXPECT_EQ(View.cbASIOoutItems[1], std::string(info[2].name) + " / " + info[3].name);
}

TEST_F(FormFixture, WithoutDriversTheListsStayEmptyAndTheHostInactive) {
  Create(0);
  EXPECT_EQ(View.labLatency, "Buffer size 4096 samples, latency 0 samples (0.00  mS)");
  EXPECT_TRUE(View.cbASIOdriverItems.empty());
  EXPECT_EQ(View.cbASIOdriverIndex, -1);
  EXPECT_TRUE(View.cbASIOoutItems.empty());
  EXPECT_FALSE(Form->ASIOHost1().Active());
  EXPECT_EQ(Form->ASIOHost1().DriverIndex(), -1);
}

TEST_F(FormFixture, PortsFoundByNameAmongCOM1ToCOM12AreListedOnce) {
  Create(1, nullptr, {"COM3", "COM14", "/dev/ttyUSB0"});
  ASSERT_EQ(View.ComboBox1Items.size(), 15u);
  EXPECT_EQ(View.ComboBox1Items[12], "COM14");
  EXPECT_EQ(View.ComboBox1Items[13], "/dev/ttyUSB0");
}

TEST_F(FormFixture, ChoosingAPortThatFailsLeavesItClosedAndALaterChoiceOpensAgain) {
  Create();
  TfrmKeyer& f = *Form;
  ChoosePort(2);  // COM3 does not exist
  EXPECT_FALSE(f.SerialPort1().Active());
  EXPECT_FALSE(Devices.Port("COM1")->IsOpen());
  EXPECT_FALSE(Devices.Port("COM1")->DTR());
  EXPECT_EQ(View.CheckBox[9], f.SerialPort1().DTRState());
  // DTR cannot be driven while closed: the box goes back to the state.
  const bool dtr = f.SerialPort1().DTRState();
  View.CheckBox[9] = !dtr;
  f.CheckBox9Click();
  EXPECT_EQ(View.CheckBox[9], dtr);
  // A closed port is opened by the next choice.
  ChoosePort(1);  // COM2
  EXPECT_TRUE(f.SerialPort1().Active());
  EXPECT_TRUE(Devices.Port("COM2")->IsOpen());
  EXPECT_TRUE(Devices.Port("COM2")->DTR());
  EXPECT_TRUE(Devices.Port("COM2")->RTS());
  // With the port open the box lowers DTR.
  View.CheckBox[9] = false;
  f.CheckBox9Click();
  EXPECT_FALSE(Devices.Port("COM2")->DTR());
  EXPECT_FALSE(View.CheckBox[9]);
}

TEST_F(FormFixture, PortFailuresTravelTheStatusChannel) {
  Create();
  Form->CheckStatus();
  const size_t before = Form->StatusHistory().size();
  ChoosePort(2);  // COM3 does not exist
  Form->CheckStatus();
  ASSERT_GT(Form->StatusHistory().size(), before);
  bool error = false;
  for (size_t i = before; i < Form->StatusHistory().size(); ++i) {
    const core::TStatusRecord& r = Form->StatusHistory()[i].Record;
    EXPECT_EQ(r.Source, core::ssSerial);
    error = error || r.Severity == core::svError;
  }
  EXPECT_TRUE(error);
}

TEST_F(FormFixture, SettingsReachTheEngineAndTheFilter) {
  Create();
  TfrmKeyer& f = *Form;
  View.tbWPM = 60;
  f.tbWPMChange();
  EXPECT_EQ(View.labWPM, "60 WPM ( 16.7mS dit)");
  View.ComboBox2Index = 5;
  f.ComboBox2Change();
  EXPECT_EQ(f.dspIIRFilter1().Frequency1(), 250);
  f.rbIambicAClick();
  EXPECT_FALSE(f.Keyer().IambicB());
  f.rbStraightKeyClick();
  EXPECT_TRUE(f.Keyer().StraightKey());
  // The up-down control's upper arrow raises the tone by one step.
  f.udToneClick(btNext);
  EXPECT_EQ(f.Keyer().Tone(), 710);
  EXPECT_EQ(View.udTone, 710);
  EXPECT_EQ(View.edtTone, "710");
  // The edit box accepts only numbers in range, snapped to the step.
  for (const char* bad : {"", "abc", "7", "1200", "-600", "8OO", "7 10"}) {
    View.edtTone = bad;
    f.edtToneChange();
    EXPECT_EQ(f.Keyer().Tone(), 710) << bad;
    EXPECT_EQ(View.udTone, 710) << bad;
  }
  View.edtTone = "850";
  f.edtToneChange();
  EXPECT_EQ(f.Keyer().Tone(), 850);
  View.edtTone = " 855 ";
  f.edtToneChange();
  EXPECT_EQ(f.Keyer().Tone(), 860);
  EXPECT_EQ(View.udTone, 860);
}

TEST_F(FormFixture, LatencyChangeFromTheDriverThreadReachesTheLabel) {
  Create();
  asio::test::TSubstituteDriver* driver = Factory.Last();
  ASSERT_NE(driver, nullptr);
  driver->SetLatencies(100, 960);
  std::thread([&] { driver->Message(asio::kAsioLatenciesChanged, 0); }).join();
  ASSERT_TRUE(PumpUntil([&] { return View.labLatency.find("latency 960") != std::string::npos; }));
  EXPECT_EQ(View.labLatency, "Buffer size 48 samples, latency 960 samples (20.00 mS)");
}

TEST_F(FormFixture, ActivationRunsOneKeyingLoopUntilTheWindowCloses) {
  Create();
  TfrmKeyer& f = *Form;
  int sleeps = 0;
  bool nestedReturned = false;
  Clock.SetOnSleep([&](uint32_t) {
    ++sleeps;
    if (sleeps == 3) {
      // Another activation, e.g. after the About box: no second loop.
      f.FormActivate();
      nestedReturned = true;
    }
    if (sleeps == 10) f.Exit1Click();
  });
  f.FormActivate();
  EXPECT_TRUE(nestedReturned);
  EXPECT_TRUE(f.Closing());
  EXPECT_EQ(View.CloseRequests, 1);
  EXPECT_FALSE(f.ASIOHost1().Active());
  EXPECT_GE(sleeps, 10);
}

TEST_F(FormFixture, AboutBoxAndMenu) {
  Create();
  Form->About1Click();
  EXPECT_EQ(View.AboutShown, 1);
  const auto lines = AboutLines();
  EXPECT_NE(lines[0].find(kWindowCaption), std::string::npos);
  EXPECT_NE(lines[0].find(ProgramVersion()), std::string::npos);
  for (const std::string& line : lines)
    EXPECT_FALSE(line.empty());
}

TEST_F(FormFixture, DestructionClosesThePortAndStopsAndUnloadsTheDriver) {
  Create();
  asio::test::TSubstituteDriver* driver = Factory.Last();
  ASSERT_TRUE(Devices.Port("COM1")->IsOpen());
  Form.reset();
  EXPECT_FALSE(Devices.Port("COM1")->IsOpen());
  EXPECT_GE(driver->Calls(TDriverOp::Stop), 1u);
  EXPECT_EQ(driver->Calls(TDriverOp::DisposeBuffers), 1u);
  const std::vector<TDriverOp> log = driver->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), TDriverOp::DisposeBuffers);
}

TEST(FormKeys, BracketsAndCtrlKeysAreThePaddle) {
  using K = TfrmKeyer::TPaddleKey;
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(kyBracketLeft), K::Dit);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(kyLeftCtrl), K::Dit);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(kyBracketRight), K::Dah);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(kyRightCtrl), K::Dah);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(kyOther), K::None);
}

TEST_F(FormFixture, KeysCountOnlyForTheKeyboardPaddleInTheActiveWindow) {
  Create();
  serial::TSerialPort& port = Form->SerialPort1();
  // COM1 is the port: keys are left to the window.
  EXPECT_FALSE(Form->KeyEvent(kyBracketRight, true, false));
  ChoosePort(13);
  ASSERT_EQ(port.CommPort(), kKeyboardPaddle);
  ASSERT_TRUE(PumpUntil([&] { return port.CTSState() && port.DSRState(); }));
  EXPECT_TRUE(Form->KeyEvent(kyBracketRight, true, false));
  // The dah contact closed: its line goes inactive.
  EXPECT_TRUE(PumpUntil([&] { return !port.CTSState(); }));
  EXPECT_FALSE(Form->KeyEvent(kyOther, true, false));
  // An auto-repeated release is the key still held.
  EXPECT_TRUE(Form->KeyEvent(kyBracketRight, false, true));
  EXPECT_TRUE(Form->KeyEvent(kyLeftCtrl, true, false));
  EXPECT_TRUE(PumpUntil([&] { return !port.DSRState(); }));
  EXPECT_FALSE(port.CTSState());
  // Losing the focus opens both contacts.
  Form->WindowDeactivated();
  EXPECT_TRUE(PumpUntil([&] { return port.CTSState() && port.DSRState(); }));
  View.Active = false;
  EXPECT_FALSE(Form->KeyEvent(kyBracketLeft, true, false));
}

}  // namespace
}  // namespace app::testing
