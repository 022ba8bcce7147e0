// The window after start-up, its settings handlers and its shutdown.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>

#include "WindowFixture.h"
#include "app/fHelpAbout.h"

namespace app::testing {
namespace {

using asio::test::TDriverOp;

TEST_F(WindowFixture, StartUpLeavesTheDocumentedState) {
  Create();
  TfrmKeyer& w = *Window;
  EXPECT_EQ(w.windowTitle().toStdString(), "Orlim paddle keyer test rig");
  EXPECT_EQ(w.geometry(), QRect(273, 146, 620, 400));
  // COM1 open with DTR and RTS raised, shown in the DTR box.
  EXPECT_TRUE(w.SerialPort1().Active());
  EXPECT_EQ(w.SerialPort1().CommPort(), "COM1");
  EXPECT_TRUE(Devices.Port("COM1")->DTR());
  EXPECT_TRUE(Devices.Port("COM1")->RTS());
  EXPECT_TRUE(w.CheckBox[9]->isChecked());
  EXPECT_FALSE(w.CheckBox[15]->isEnabled());
  EXPECT_EQ(w.CheckBox[13]->text().toStdString(), "Loopback ");
  // Port list: COM1..COM12, the devices found, the keyboard paddle.
  ASSERT_EQ(w.ComboBox1->count(), 14);
  EXPECT_EQ(w.ComboBox1->itemText(11).toStdString(), "COM12");
  EXPECT_EQ(w.ComboBox1->itemText(12).toStdString(), "/dev/serial/by-id/usb-Test_Paddle-if00");
  EXPECT_EQ(w.ComboBox1->itemText(13).toStdString(), kKeyboardPaddle);
  // Speed, mode and tone.
  EXPECT_EQ(w.labWPM->text().toStdString(), "20 WPM ( 50.0mS dit)");
  EXPECT_EQ(w.WPM(), 20);
  EXPECT_TRUE(w.rbIambicB->isChecked());
  EXPECT_TRUE(w.IambicB());
  EXPECT_FALSE(w.StraightKey());
  EXPECT_EQ(w.Tone(), 700);
  EXPECT_EQ(w.edtTone->text().toStdString(), "700");
  EXPECT_EQ(w.ComboBox2->currentText().toStdString(), "150");
  EXPECT_EQ(w.CounterFrequency(), Clock.QueryPerformanceFrequency());
  // Driver 0 loaded, its buffers and outputs shown, the host running.
  EXPECT_EQ(w.cbASIOdriver->count(), 1);
  EXPECT_EQ(w.ASIOHost1().DriverIndex(), 0);
  EXPECT_TRUE(w.ASIOHost1().Active());
  EXPECT_EQ(Latency(), "Buffer size 48 samples, latency 512 samples (10.67 mS)");
  ASSERT_EQ(w.cbASIOout->count(), 1);
  // The stored filter: Butterworth low-pass, 150 Hz at 48000 Hz.
  EXPECT_EQ(w.dspIIRFilter1().Frequency1(), 150);
  EXPECT_EQ(w.dspIIRFilter1().SampleRate(), 48000);
  EXPECT_NEAR(static_cast<double>(w.dspIIRFilter1().InputScale()), 0.009722340545, 1e-12);
}

TEST_F(WindowFixture, LatencyLabelForA512SampleDriver) {
  Factory.Config.MinSize = 64;
  Factory.Config.PreferredSize = 512;
  Create();
  EXPECT_EQ(Latency(), "Buffer size 512 samples, latency 512 samples (10.67 mS)");
}

TEST_F(WindowFixture, WithoutDriversTheListsStayEmptyAndTheHostInactive) {
  Create(0);
  EXPECT_EQ(Latency(), "Buffer size 4096 samples, latency 0 samples (0.00  mS)");
  EXPECT_EQ(Window->cbASIOdriver->count(), 0);
  EXPECT_EQ(Window->cbASIOout->count(), 0);
  EXPECT_FALSE(Window->ASIOHost1().Active());
  EXPECT_EQ(Window->ASIOHost1().DriverIndex(), -1);
}

TEST_F(WindowFixture, OutputPairsLeaveAnOddLastChannelOut) {
  Factory.Config.OutputChannels = 5;
  Factory.Config.NamePrefix = "Out";
  Create();
  ASSERT_EQ(Window->cbASIOout->count(), 2);
  const auto& info = Window->ASIOHost1().OutputChannelInfoList();
  EXPECT_EQ(Window->cbASIOout->itemText(1).toStdString(),
            std::string(info[2].name) + " / " + info[3].name);
  EXPECT_EQ(Window->cbASIOout->currentIndex(), 0);
}

TEST_F(WindowFixture, DriverEditTextNeverSelectsADriver) {
  Create(2);
  Window->cbASIOdriver->setEditText("Substitute 2");
  Window->cbASIOdriver->setCurrentIndex(1);
  EXPECT_EQ(Window->ASIOHost1().DriverIndex(), 0);
  EXPECT_EQ(Factory.Created(), 1u);
}

TEST_F(WindowFixture, ChoosingAPortThatFailsLeavesItClosedAndALaterChoiceOpensAgain) {
  Create();
  TfrmKeyer& w = *Window;
  w.ComboBox1->setCurrentIndex(2);  // COM3 does not exist
  EXPECT_FALSE(w.SerialPort1().Active());
  EXPECT_FALSE(Devices.Port("COM1")->IsOpen());
  EXPECT_FALSE(Devices.Port("COM1")->DTR());
  EXPECT_EQ(w.CheckBox[9]->isChecked(), w.SerialPort1().DTRState());
  // DTR cannot be driven while closed: the box goes back to the state.
  const bool dtr = w.SerialPort1().DTRState();
  w.CheckBox[9]->click();
  EXPECT_EQ(w.CheckBox[9]->isChecked(), dtr);
  // A closed port is opened by the next choice.
  w.ComboBox1->setCurrentIndex(1);  // COM2
  EXPECT_TRUE(w.SerialPort1().Active());
  EXPECT_TRUE(Devices.Port("COM2")->IsOpen());
  EXPECT_TRUE(Devices.Port("COM2")->DTR());
  EXPECT_TRUE(Devices.Port("COM2")->RTS());
  // With the port open the box lowers DTR.
  w.CheckBox[9]->click();
  EXPECT_FALSE(Devices.Port("COM2")->DTR());
  EXPECT_FALSE(w.CheckBox[9]->isChecked());
}

TEST_F(WindowFixture, SettingsReachTheEngineAndTheFilter) {
  Create();
  TfrmKeyer& w = *Window;
  w.tbWPM->setValue(60);
  EXPECT_EQ(w.labWPM->text().toStdString(), "60 WPM ( 16.7mS dit)");
  w.ComboBox2->setCurrentIndex(5);
  EXPECT_EQ(w.dspIIRFilter1().Frequency1(), 250);
  w.rbIambicA->click();
  EXPECT_FALSE(w.IambicB());
  w.rbStraightKey->click();
  EXPECT_TRUE(w.StraightKey());
  // The tone: the up-down control steps by 10; the edit box accepts only
  // numbers in range and leaves the tone where it was otherwise.
  w.udTone->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(w.Tone(), 710);
  EXPECT_EQ(w.edtTone->text().toStdString(), "710");
  for (const char* bad : {"", "abc", "7", "1200", "-600", "8OO"}) {
    w.edtTone->setText(bad);
    EXPECT_EQ(w.Tone(), 710) << bad;
  }
  w.edtTone->setText("850");
  EXPECT_EQ(w.Tone(), 850);
  w.edtTone->setText("855");
  EXPECT_EQ(w.Tone(), 860);
  w.udTone->setValue(1000);
  w.udTone->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(w.Tone(), 1000);
}

TEST_F(WindowFixture, LatencyChangeFromTheDriverThreadReachesTheLabel) {
  Create();
  asio::test::TSubstituteDriver* driver = Factory.Last();
  ASSERT_NE(driver, nullptr);
  driver->SetLatencies(100, 960);
  std::thread([&] { driver->Message(asio::kAsioLatenciesChanged, 0); }).join();
  ASSERT_TRUE(PumpUntil([&] { return Latency().find("latency 960") != std::string::npos; }));
  EXPECT_EQ(Latency(), "Buffer size 48 samples, latency 960 samples (20.00 mS)");
}

TEST_F(WindowFixture, ActivationRunsOneKeyingLoopUntilTheWindowCloses) {
  Create();
  TfrmKeyer& w = *Window;
  int sleeps = 0;
  bool nestedReturned = false;
  Clock.SetOnSleep([&](uint32_t) {
    ++sleeps;
    if (sleeps == 3) {
      // Another activation, e.g. after the About box: no second loop.
      w.FormActivate(&w);
      nestedReturned = true;
    }
    if (sleeps == 10) w.close();
  });
  w.FormActivate(&w);
  EXPECT_TRUE(nestedReturned);
  EXPECT_TRUE(w.Closing());
  EXPECT_FALSE(w.ASIOHost1().Active());
  EXPECT_GE(sleeps, 10);
}

TEST_F(WindowFixture, ShowingTheWindowStartsTheKeyingLoopWithoutAnActivation) {
  // No window manager gives the offscreen window the focus.
  Create();
  int sleeps = 0;
  Clock.SetOnSleep([&](uint32_t) {
    if (++sleeps == 5) Window->close();
  });
  Window->show();
  ASSERT_TRUE(PumpUntil([&] { return Window->LoopRunning() && Window->Closing(); }));
  EXPECT_GE(sleeps, 5);
}

TEST_F(WindowFixture, DestructionClosesThePortAndStopsAndUnloadsTheDriver) {
  Create();
  asio::test::TSubstituteDriver* driver = Factory.Last();
  ASSERT_TRUE(Devices.Port("COM1")->IsOpen());
  Window.reset();
  EXPECT_FALSE(Devices.Port("COM1")->IsOpen());
  EXPECT_GE(driver->Calls(TDriverOp::Stop), 1u);
  EXPECT_EQ(driver->Calls(TDriverOp::DisposeBuffers), 1u);
  const std::vector<TDriverOp> log = driver->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), TDriverOp::DisposeBuffers);
}

TEST(HelpAbout, BoxLayoutAndButton) {
  TfrmHelpAbout about;
  EXPECT_EQ(about.windowTitle().toStdString(), "Help | about");
  EXPECT_EQ(about.geometry(), QRect(246, 164, 322, 217));
  EXPECT_TRUE(about.btnOK->isDefault());
  EXPECT_EQ(about.btnOK->text().toStdString(), "OK");
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
  for (QLabel* line : about.Lines)
    EXPECT_FALSE(line->text().isEmpty());
  about.show();
  about.btnOK->click();
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ(about.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace app::testing
