// The road of one paddle closure: a line change on the serial port reaches
// the keyer through the worker thread and a pump point of the keying loop,
// and the driver's buffers carry the keyed, filtered tone.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <cmath>
#include <cstring>
#include <numbers>

#include "WindowFixture.h"
#include "dsp/dspIIRFilters.h"
#include "keyer/Envelope.h"

namespace app::testing {
namespace {

constexpr int kHalf = 48;   // samples per buffer half: 1 ms at 48000 Hz
constexpr int kDah = 7200;  // three dits at 20 WPM

class PaddleRoad : public WindowFixture {
 protected:
  // Runs the keying loop. Every virtual millisecond the driver plays one
  // buffer half, whose output channel 0 is recorded. Press and Release
  // change the paddle; each waits (in real time) until the keyer has seen
  // the change at a pump point before the next step.
  void Key(std::function<void()> Press, std::function<void()> Release) {
    TfrmKeyer& w = *Window;
    asio::test::TSubstituteDriver* driver = Factory.Last();
    ASSERT_NE(driver, nullptr);
    int phase = 0;
    int index = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Clock.SetOnSleep([&](uint32_t ms) {
      if (phase >= 0 && std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the paddle change never reached the keyer (phase " << phase << ")";
        phase = -1;
        w.close();
      }
      if (phase < 0) return;
      for (uint32_t i = 0; i < ms; ++i) {
        driver->BufferSwitch(index);
        const float* half = reinterpret_cast<const float*>(driver->Half(false, 0, index));
        Output.insert(Output.end(), half, half + kHalf);
        const float* other = reinterpret_cast<const float*>(driver->Half(false, 1, index));
        EXPECT_EQ(std::memcmp(half, other, kHalf * sizeof(float)), 0);
        index ^= 1;
      }
      switch (phase) {
        case 0:
          Press();
          phase = 1;
          break;
        case 1:  // give the worker thread time to deliver the press
          if (w.DahPressed()) {
            Release();
            phase = 2;
          } else {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
          break;
        case 2:
          if (!w.DahPressed()) {
            phase = 3;
            EndAtMs = Clock.Seconds() * 1000 + 400;
          } else {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
          break;
        default:
          if (Clock.Seconds() * 1000 >= EndAtMs) w.close();
      }
    });
    w.FormActivate(&w);
  }

  // The expected output: the oscillator times the stored filter's response
  // to a key of 0.7 over [Start, Start + Length).
  static std::vector<float> Expected(size_t Total, size_t Start, size_t Length) {
    dsp::TdspIIRFilter filter;
    keyer::StoreEnvelopeFilter(filter);
    std::vector<float> out(Total);
    for (size_t i = 0; i < Total; ++i) {
      const bool down = i >= Start && i < Start + Length;
      const float envelope = static_cast<float>(filter.ProcessSample(down ? 0.7L : 0.0L));
      const float s = static_cast<float>(
          std::sin(700.0 * 2.0 * std::numbers::pi * static_cast<double>(i + 1) / 48000.0));
      out[i] = s * envelope;
    }
    return out;
  }

  void ExpectOneDah() {
    size_t first = 0;
    while (first < Output.size() && Output[first] == 0.0f)
      ++first;
    ASSERT_LT(first, Output.size()) << "no tone";
    EXPECT_EQ(first % kHalf, 0u) << "the mark starts at a buffer start";
    const std::vector<float> want = Expected(Output.size(), first, kDah);
    EXPECT_EQ(Output, want);
    EXPECT_FALSE(Window->CheckBox[5]->isChecked());
  }

  std::vector<float> Output;
  double EndAtMs = 0;
};

TEST_F(PaddleRoad, ACtsChangeOnThePortKeysOneFilteredDah) {
  Create();
  serial::TSimulatedPort& port = *Devices.Port("COM1");
  port.SetCTS(true);  // contacts open: lines active
  port.SetDSR(true);
  Key([&] { port.SetCTS(false); }, [&] { port.SetCTS(true); });
  ExpectOneDah();
}

TEST_F(PaddleRoad, TheKeyboardPaddleKeysTheSameWay) {
  Create();
  TfrmKeyer& w = *Window;
  w.ComboBox1->setCurrentIndex(w.ComboBox1->count() - 1);
  ASSERT_EQ(w.SerialPort1().CommPort(), kKeyboardPaddle);
  ASSERT_TRUE(w.SerialPort1().Active());
  w.show();
  QApplication::setActiveWindow(&w);
  const auto send = [&](QEvent::Type type) {
    QKeyEvent event(type, Qt::Key_BracketRight, Qt::NoModifier, "]");
    QApplication::sendEvent(w.ComboBox1, &event);
  };
  if (!w.isActiveWindow()) GTEST_SKIP() << "the offscreen platform gave the window no focus";
  Key([&] { send(QEvent::KeyPress); }, [&] { send(QEvent::KeyRelease); });
  ExpectOneDah();
}

TEST(PaddleKeys, BracketsAndTheTwoCtrlKeys) {
  using K = TfrmKeyer::TPaddleKey;
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(Qt::Key_BracketLeft, 0, 0), K::Dit);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(Qt::Key_BracketRight, 0, 0), K::Dah);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(Qt::Key_Control, 0xffe3, 0), K::Dit);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(Qt::Key_Control, 0xffe4, 0), K::Dah);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(Qt::Key_Control, 0, 105), K::Dah);
  EXPECT_EQ(TfrmKeyer::PaddleKeyOf(Qt::Key_A, 0, 0), K::None);
}

}  // namespace
}  // namespace app::testing
