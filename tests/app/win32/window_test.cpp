// The Win32 window over the form: built from the control table in the
// form's start-up state, setters that leave the handlers alone, the port
// list chosen by name.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "SubstituteDriver.h"
#include "app/form/FormLayout.h"
#include "asio/DriverCatalogue.h"
#include "core/MainThread.h"
#include "core/StatusChannel.h"
#include "serial/SimulatedPort.h"

// The system's headers last.
#include "app/win32/fKeyerWindow.h"

namespace {

class Win32Window : public ::testing::Test {
 protected:
  void SetUp() override {
    core::StatusChannel().Drain();
    Devices.AddPort("COM1");
    Devices.AddPort("COM2");
    Catalogue = std::make_unique<asio::DriverCatalogue::TScopedCatalogue>(
        std::vector<asio::TCatalogueEntry>{
            Factory.Entry("Substitute 1", asio::test::TestClassId(1))});
    app::TKeyerPlatform platform;
    platform.Devices = &Devices;
    Window = std::make_unique<app::win32::TfrmKeyerWindow>(platform);
  }
  void TearDown() override {
    Window.reset();
    Catalogue.reset();
    core::MainThread::CheckSynchronize();
  }
  bool Shows(const std::string& Line) {
    return Window->DumpState().find(Line + "\n") != std::string::npos;
  }

  serial::TSimulatedPortDriver Devices;
  asio::test::TSubstituteFactory Factory;
  std::unique_ptr<asio::DriverCatalogue::TScopedCatalogue> Catalogue;
  std::unique_ptr<app::win32::TfrmKeyerWindow> Window;
};

TEST_F(Win32Window, StartsInTheFormsStateAndItsSettersRaiseNoHandler) {
  for (const char* line :
       {"Caption=Orlim paddle keyer test rig", "ComboBox1=COM1", "cbASIOdriver=Substitute 1",
        "ComboBox2=150", "edtTone=700", "udTone=700", "tbWPM=20", "labWPM=20 WPM ( 50.0mS dit)",
        "rbIambicB=1", "rbStraightKey=0", "CheckBox9=1", "CheckBox15=0 disabled"})
    EXPECT_TRUE(Shows(line)) << line << "\n" << Window->DumpState();

  // Were the tone box's change handler raised, the tone (and the arrows)
  // would follow the text; were the speed bar's, the caption would.
  Window->SetedtToneText("900");
  EXPECT_TRUE(Shows("edtTone=900"));
  EXPECT_TRUE(Shows("udTone=700"));
  Window->SettbWPMPosition(30);
  EXPECT_TRUE(Shows("tbWPM=30"));
  EXPECT_TRUE(Shows("labWPM=20 WPM ( 50.0mS dit)"));

  // The form's own step moves the arrows and the text together.
  Window->Form().udToneClick(app::btNext);
  EXPECT_TRUE(Shows("udTone=710")) << Window->DumpState();
  EXPECT_TRUE(Shows("edtTone=710"));
}

TEST_F(Win32Window, TheSpeedCaptionFitsItsSlotAtEverySpeed) {
  for (int wpm = app::kWPMMin; wpm <= app::kWPMMax; ++wpm) {
    Window->SettbWPMPosition(wpm);
    Window->Form().tbWPMChange();
    const std::string state = Window->DumpState();
    const size_t at = state.find("labWPM=");
    ASSERT_NE(at, std::string::npos);
    const std::string line = state.substr(at, state.find('\n', at) - at);
    EXPECT_EQ(line.find("clipped"), std::string::npos) << line;
    EXPECT_NE(line.find(std::to_string(wpm) + " WPM"), std::string::npos) << line;
  }
}

TEST_F(Win32Window, APortIsChosenByItsListEntry) {
  EXPECT_FALSE(Window->ChoosePort("COM99"));
  EXPECT_TRUE(Shows("ComboBox1=COM1"));
  ASSERT_TRUE(Window->ChoosePort(app::kKeyboardPaddle));
  EXPECT_TRUE(Shows("ComboBox1=Keyboard paddle"));
  EXPECT_EQ(Window->Form().SerialPort1().CommPort(), app::kKeyboardPaddle);
  ASSERT_TRUE(Window->ChoosePort("COM2"));
  EXPECT_EQ(Window->Form().SerialPort1().CommPort(), "COM2");
}

}  // namespace
