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
    Road->Key({std::move(Press), std::move(Release), [this] { return Form->Keyer().DahPressed(); },
               [this] { Form->Exit1Click(); }, [this] { Form->FormActivate(); }});
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

// A key handled at a pump point reaches the keyer at that same pump point,
// as a real line change queued before it would. Handled one pump late, a
// dit paddle released after the half-dit test point gave one dit more than
// the keyer owes whenever the next pump came at once (the loop's next pass).
TEST_F(FormFixture, AKeyboardReleaseIsSeenAtThePumpThatHandledTheKey) {
  Create();
  ChoosePort(13);
  ASSERT_EQ(Form->SerialPort1().CommPort(), kKeyboardPaddle);
  // A worker that has just opened the port arms its first wait within its
  // poll time; a round trip of the dah key shows it is serving the port.
  serial::TSerialPort& port = Form->SerialPort1();
  Form->KeyEvent(kyBracketRight, true, false);
  ASSERT_TRUE(PumpUntil([&] { return !port.CTSState(); }));
  Form->KeyEvent(kyBracketRight, false, false);
  ASSERT_TRUE(PumpUntil([&] { return port.CTSState() && !Form->Keyer().DahPressed(); }));
  Form->Keyer().rbIambicBClick();  // forget the dah it owes
  bool pressed = false, released = false;
  double releasedAtMs = 0;
  Pump.OnPump = [&] {
    const double now = Clock.Seconds() * 1000;
    if (!pressed) {
      pressed = Form->KeyEvent(kyBracketLeft, true, false);
    } else if (!released && now >= 150) {
      released = Form->KeyEvent(kyBracketLeft, false, false);
      releasedAtMs = now;
    }
  };
  Clock.SetOnSleep([&](uint32_t) {
    if (Clock.Seconds() * 1000 >= 400) Form->Exit1Click();
  });
  Form->FormActivate();
  Pump.OnPump = nullptr;
  ASSERT_TRUE(released);
  // Nothing plays the queue here, so it holds every dit sent: the one at
  // 0 ms and the one at 100 ms, during which the release came (at the
  // pump that ends it, 200 ms).
  EXPECT_DOUBLE_EQ(releasedAtMs, 200.0);
  EXPECT_EQ(Form->Keyer().ElementCount(), 2);
  EXPECT_FALSE(Form->Keyer().DitPressed());
}

}  // namespace
}  // namespace app::testing
