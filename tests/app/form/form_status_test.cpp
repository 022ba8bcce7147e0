// What the window shows must be what the rig does: the driver chosen is the
// driver loaded, a closed port shows no line states and says why, the tone
// box shows the tone that plays, and the status line tells each change.
#include <thread>

#ifdef __linux__
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "FormFixture.h"
#ifdef __linux__
#include "serial/linux/LinuxPort.h"
#endif

namespace app::testing {
namespace {

class FormStatus : public FormFixture {
 protected:
  // The status line after the records posted so far have been read.
  std::string Status() {
    Form->CheckStatus();
    return View.StatusText;
  }
};

TEST_F(FormStatus, ChoosingADriverLoadsItAndTypingSelectsNothing) {
  Create(2);
  TfrmKeyer& f = *Form;
  ASSERT_EQ(View.cbASIOdriverItems.size(), 2u);
  // Typing a driver's name is not choosing it.
  View.cbASIOdriverEditText = "Substitute 2";
  f.cbASIOdriverChange();
  EXPECT_EQ(f.ASIOHost1().DriverIndex(), 0);
  EXPECT_EQ(Factory.Created(), 1u);
  // Choosing the item loads that driver and keeps the host running.
  Factory.Config.PreferredSize = 96;
  View.cbASIOdriverIndex = 1;
  f.cbASIOdriverChange();
  EXPECT_EQ(f.ASIOHost1().DriverIndex(), 1);
  EXPECT_EQ(f.ASIOHost1().DriverName(), "Substitute 2");
  EXPECT_EQ(Factory.Created(), 2u);
  EXPECT_TRUE(f.ASIOHost1().Active());
  EXPECT_EQ(View.labLatency, "Buffer size 96 samples, latency 512 samples (10.67 mS)");
  EXPECT_EQ(Status(), "Substitute 2 running");
  // The same item again changes nothing.
  f.cbASIOdriverChange();
  EXPECT_EQ(Factory.Created(), 2u);
}

TEST_F(FormStatus, AClosedPortShowsNoLineStatesAndSaysWhy) {
  Create();
  TfrmKeyer& f = *Form;
  EXPECT_EQ(Status(), "COM1 open");
  for (int n = 1; n <= 8; ++n)
    EXPECT_TRUE(View.CheckBoxEnabled[n]) << n;
  ChoosePort(2);  // COM3 does not exist
  ASSERT_FALSE(f.SerialPort1().Active());
  EXPECT_EQ(Status().rfind("COM3: cannot open", 0), 0u) << View.StatusText;
  EXPECT_EQ(View.StatusSeverity, core::svError);
  // State unknown: greyed and clear, never "both paddles closed".
  for (int n = 1; n <= 8; ++n) {
    EXPECT_FALSE(View.CheckBoxEnabled[n]) << n;
    EXPECT_FALSE(View.CheckBox[n]) << n;
  }
  EXPECT_TRUE(View.CheckBoxEnabled[9]);
  ChoosePort(1);
  EXPECT_EQ(Status(), "COM2 open");
  EXPECT_EQ(View.StatusSeverity, core::svInfo);
  for (int n = 1; n <= 8; ++n)
    EXPECT_TRUE(View.CheckBoxEnabled[n]) << n;
  // The recent records, newest first, each with its time.
  ASSERT_GE(View.StatusRecent.size(), 3u);
  EXPECT_NE(View.StatusRecent[0].find("COM2 open"), std::string::npos);
  EXPECT_NE(View.StatusRecent[1].find("COM3: cannot open"), std::string::npos);
  EXPECT_EQ(View.StatusRecent[0][2], ':');
}

TEST_F(FormStatus, APortThatAppearsLaterIsOpenedByItself) {
  Create();
  ChoosePort(2);  // COM3, not there yet
  ASSERT_FALSE(Form->SerialPort1().Active());
  const int updates = (Status(), View.StatusLineUpdates);
  Devices.AddPort("COM3");
  ASSERT_TRUE(PumpUntil([&] { return Form->SerialPort1().Active(); }));
  EXPECT_TRUE(Devices.Port("COM3")->DTR());
  EXPECT_EQ(Status(), "COM3 open");
  EXPECT_GT(View.StatusLineUpdates, updates);
}

TEST_F(FormStatus, TheToneBoxAlwaysShowsTheToneThatPlays) {
  Create();
  TfrmKeyer& f = *Form;
  keyer::TKeyerEngine& k = f.Keyer();
  // Up raises, down lowers, ten at a time, with no wrap at either end.
  f.udToneClick(btNext);
  EXPECT_EQ(k.Tone(), 710);
  f.udToneClick(btPrev);
  f.udToneClick(btPrev);
  EXPECT_EQ(k.Tone(), 690);
  EXPECT_EQ(View.edtTone, "690");
  View.udTone = 1000;
  f.udToneClick(btNext);
  EXPECT_EQ(k.Tone(), 1000);
  View.udTone = 500;
  f.udToneClick(btPrev);
  EXPECT_EQ(k.Tone(), 500);
  EXPECT_EQ(View.edtTone, "500");
  // What editing leaves behind is brought into range when it ends.
  struct Case {
    const char* Typed;
    int32_t Tone;
  };
  for (const Case c : {Case{"1200", 1000}, Case{"-600", 500}, Case{"abc", 500}, Case{"", 500},
                       Case{"734", 730}, Case{"99999999999999999999", 1000}, Case{" 905 ", 910}}) {
    View.edtTone = c.Typed;
    f.edtToneChange();
    f.edtToneExit();
    EXPECT_EQ(k.Tone(), c.Tone) << c.Typed;
    EXPECT_EQ(View.udTone, c.Tone) << c.Typed;
    EXPECT_EQ(View.edtTone, std::to_string(c.Tone)) << c.Typed;
  }
}

TEST_F(FormStatus, ClickingTheCheckedModeChangesNothing) {
  Create();
  TfrmKeyer& f = *Form;
  keyer::TKeyerEngine& k = f.Keyer();
  ASSERT_TRUE(k.QueueElement(100, 100));
  ASSERT_TRUE(k.QueueElement(100, 100));
  f.rbIambicBClick();  // already iambic B
  EXPECT_EQ(k.ElementCount(), 2);
  f.rbIambicAClick();  // a real change empties the queue
  EXPECT_EQ(k.ElementCount(), 0);
  ASSERT_TRUE(k.QueueElement(100, 100));
  f.rbIambicAClick();
  EXPECT_EQ(k.ElementCount(), 1);
  f.rbStraightKeyClick();
  f.rbStraightKeyClick();
  EXPECT_TRUE(k.StraightKey());
  f.rbIambicBClick();
  EXPECT_FALSE(k.StraightKey());
  EXPECT_TRUE(k.IambicB());
  EXPECT_EQ(k.ElementCount(), 0);
}

TEST_F(FormStatus, LostStatusRecordsAreCounted) {
  Create();
  for (uint32_t i = 0; i < core::TStatusChannel::kCapacity + 5; ++i)
    core::StatusChannel().Post(core::ssApp, core::svInfo, 0, "flood");
  // Whatever was waiting fills the channel: at least the five over its
  // size are lost, and the line says how many.
  const std::string text = Status();
  EXPECT_NE(text.find(" status messages were lost"), std::string::npos) << text;
  EXPECT_GE(std::stoi(text), 5);
  EXPECT_EQ(View.StatusSeverity, core::svWarning);
}

TEST_F(FormStatus, TheConsoleIsNamedAsSuch) {
  Devices.InjectFailure(serial::poCreateFile, serial::ERROR_PORT_IS_CONSOLE);
  Create();
  EXPECT_FALSE(Form->SerialPort1().Active());
  EXPECT_EQ(Status(), "COM1 is the system console and is never opened");
  EXPECT_EQ(View.StatusSeverity, core::svError);
}

TEST_F(FormStatus, ALostDeviceIsShownAndTakenUpAgainWhenItReturns) {
  Create();
  ASSERT_EQ(Status(), "COM1 open");
  // The adapter is pulled: the worker's wait and its look at the lines fail
  // as for a hung-up line, whichever of them the worker is at.
  Devices.InjectFailure(serial::poWaitCommEvent, serial::ERROR_DEVICE_NOT_CONNECTED, -1);
  Devices.InjectFailure(serial::poGetCommModemStatus, serial::ERROR_DEVICE_NOT_CONNECTED, -1);
  Devices.InjectFailure(serial::poCreateFile, serial::ERROR_FILE_NOT_FOUND, -1);
  Devices.Port("COM1")->SetCTS(false);  // completes the pending wait
  ASSERT_TRUE(PumpUntil([&] { return Status() == "COM1: the device hung up or went away"; }))
      << View.StatusText;
  for (int n = 1; n <= 8; ++n)
    EXPECT_FALSE(View.CheckBoxEnabled[n]) << n;
  // While it is away, tries to open it fail with words of their own.
  ASSERT_TRUE(PumpUntil([&] { return Status() == "COM1: cannot open: no such device"; }))
      << View.StatusText;
  // Plugged back in: opened by itself.
  Devices.ClearFailures();
  ASSERT_TRUE(PumpUntil([&] { return Status() == "COM1 open"; })) << View.StatusText;
  EXPECT_TRUE(Form->SerialPort1().Active());
  EXPECT_TRUE(Devices.Port("COM1")->DTR());
  for (int n = 1; n <= 8; ++n)
    EXPECT_TRUE(View.CheckBoxEnabled[n]) << n;
}

#ifdef __linux__
// The real port driver, on a pseudo-terminal that another program holds
// exclusively.
TEST_F(FormStatus, APortInUseElsewhereIsSaidToBe) {
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_EQ(ioctl(slave, TIOCEXCL), 0);
  serial::TLinuxPortDriver devices;
  Create(1, &devices, {name});
  ChoosePort(12);
  EXPECT_FALSE(Form->SerialPort1().Active());
  EXPECT_EQ(Status(), std::string(name) + ": in use by another program") << View.StatusText;
  for (int n = 1; n <= 8; ++n)
    EXPECT_FALSE(View.CheckBoxEnabled[n]) << n;
  Form.reset();
  close(slave);
  close(master);
}
#endif

TEST_F(FormStatus, ADriverThatFailsToInitialiseIsNamedWithItsOwnWords) {
  Create(2);
  Factory.Config.InitFails = true;
  Factory.Config.ErrorMessage = "the device is in use by another program";
  View.cbASIOdriverIndex = 1;
  Form->cbASIOdriverChange();
  EXPECT_EQ(Status(),
            "Audio driver \"Substitute 2\" failed to initialise: the device is in use by another "
            "program");
  EXPECT_EQ(View.StatusSeverity, core::svError);
  EXPECT_FALSE(Form->ASIOHost1().Active());
  // Nothing claims the driver runs, and a working choice recovers.
  for (const auto& e : Form->StatusHistory())
    EXPECT_EQ(std::string(e.Record.Text).find("Substitute 2 running"), std::string::npos);
  Factory.Config.InitFails = false;
  View.cbASIOdriverIndex = 0;
  Form->cbASIOdriverChange();
  EXPECT_EQ(Status(), "Substitute 1 running");
  EXPECT_TRUE(Form->ASIOHost1().Active());
}

}  // namespace
}  // namespace app::testing
