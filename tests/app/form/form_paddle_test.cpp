// The road of one paddle closure through the toolkit-free form: a line
// change on the serial port reaches the keyer through the worker thread and
// a pump point of the keying loop, and the driver's buffers carry the keyed,
// filtered tone.
#include "FormFixture.h"
#include "PaddleRoad.h"

namespace app::testing {
namespace {

class FormPaddleRoad : public FormFixture {
 protected:
  void Key(std::function<void()> Press, std::function<void()> Release) {
    asio::test::TSubstituteDriver* driver = Factory.Last();
    ASSERT_NE(driver, nullptr);
    Road = std::make_unique<TPaddleRoad>(*driver, Clock);
    Road->Key({std::move(Press), std::move(Release),
               [this] { return Form->Keyer().DahPressed(); }, [this] { Form->Exit1Click(); },
               [this] { Form->FormActivate(); }});
  }
  std::unique_ptr<TPaddleRoad> Road;
};

TEST_F(FormPaddleRoad, ACtsChangeOnThePortKeysOneFilteredDah) {
  Create();
  serial::TSimulatedPort& port = *Devices.Port("COM1");
  port.SetCTS(true);  // contacts open: lines active
  port.SetDSR(true);
  Key([&] { port.SetCTS(false); }, [&] { port.SetCTS(true); });
  Road->ExpectOneDah();
  EXPECT_FALSE(View.CheckBox[5]);
}

TEST_F(FormPaddleRoad, TheKeyboardPaddleKeysTheSameWay) {
  Create();
  ChoosePort(13);
  ASSERT_EQ(Form->SerialPort1().CommPort(), kKeyboardPaddle);
  Key([&] { Form->KeyEvent(kyBracketRight, true, false); },
      [&] { Form->KeyEvent(kyBracketRight, false, false); });
  Road->ExpectOneDah();
}

}  // namespace
}  // namespace app::testing
