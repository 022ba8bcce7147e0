// The road of one paddle closure through the Qt window: a line change on
// the serial port, or a key of the keyboard paddle, reaches the keyer, and
// the driver's buffers carry the keyed, filtered tone.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>

#include "PaddleRoad.h"
#include "WindowFixture.h"

namespace app::testing {
namespace {

class PaddleRoad : public WindowFixture {
 protected:
  void Key(std::function<void()> Press, std::function<void()> Release) {
    asio::test::TSubstituteDriver* driver = Factory.Last();
    ASSERT_NE(driver, nullptr);
    Road = std::make_unique<TPaddleRoad>(*driver, Clock);
    qt::TfrmKeyerWindow& w = *Window;
    Road->Key({std::move(Press), std::move(Release), [&w] { return w.Form().Keyer().DahPressed(); },
               [&w] { w.close(); }, [&w] { w.Form().FormActivate(); }});
  }
  std::unique_ptr<TPaddleRoad> Road;
};

TEST_F(PaddleRoad, ACtsChangeOnThePortKeysOneFilteredDah) {
  Create();
  serial::TSimulatedPort& port = *Devices.Port("COM1");
  port.SetCTS(true);  // contacts open: lines active
  port.SetDSR(true);
  Key([&] { port.SetCTS(false); }, [&] { port.SetCTS(true); });
  Road->ExpectOneDah();
  EXPECT_FALSE(Window->CheckBox[5]->isChecked());
}

TEST_F(PaddleRoad, TheKeyboardPaddleKeysTheSameWay) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  w.ComboBox1->setCurrentIndex(w.ComboBox1->count() - 1);
  ASSERT_EQ(w.Form().SerialPort1().CommPort(), kKeyboardPaddle);
  ASSERT_TRUE(w.Form().SerialPort1().Active());
  w.show();
  QApplication::setActiveWindow(&w);
  const auto send = [&](QEvent::Type type) {
    QKeyEvent event(type, Qt::Key_BracketRight, Qt::NoModifier, "]");
    QApplication::sendEvent(w.ComboBox1, &event);
  };
  if (!w.isActiveWindow()) GTEST_SKIP() << "the offscreen platform gave the window no focus";
  Key([&] { send(QEvent::KeyPress); }, [&] { send(QEvent::KeyRelease); });
  Road->ExpectOneDah();
}

TEST(PaddleKeys, BracketsAndTheTwoCtrlKeys) {
  using W = qt::TfrmKeyerWindow;
  EXPECT_EQ(W::FormKeyOf(Qt::Key_BracketLeft, 0, 0), kyBracketLeft);
  EXPECT_EQ(W::FormKeyOf(Qt::Key_BracketRight, 0, 0), kyBracketRight);
  EXPECT_EQ(W::FormKeyOf(Qt::Key_Control, 0xffe3, 0), kyLeftCtrl);
  EXPECT_EQ(W::FormKeyOf(Qt::Key_Control, 0xffe4, 0), kyRightCtrl);
  EXPECT_EQ(W::FormKeyOf(Qt::Key_Control, 0, 105), kyRightCtrl);
  EXPECT_EQ(W::FormKeyOf(Qt::Key_A, 0, 0), kyOther);
}

}  // namespace
}  // namespace app::testing
