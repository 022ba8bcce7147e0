// The keying loop under a virtual clock: paddle events are delivered only
// at the loop's pump points, and buffers of 48 samples (1 ms) run as
// virtual time passes, so every element can be read back from the key
// levels the buffer fill fed to the envelope.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeKeyerServices.h"

namespace keyer::testing {
namespace {

constexpr int kDit = 2400;  // samples at 20 WPM and 48000 Hz
constexpr int kDah = 7200;

class KeyingLoop : public ::testing::Test {
 protected:
  KeyingLoop() : engine(fake.Services()) {
    fake.Engine = &engine;
    fake.AudioBufferSize = 48;
    engine.ReadCounterFrequency();
    engine.tbWPMChange();
    engine.SelectInitialMode();
  }

  // Runs the loop until CloseAtMs and answers the sounded mark lengths.
  std::vector<int> Run(double CloseAtMs) {
    fake.CloseAtMs = CloseAtMs;
    engine.FormActivate();
    return fake.MarkRuns();
  }

  void Squeeze(double AtMs) {
    fake.Press(AtMs, true);
    fake.Press(AtMs, false);
  }
  void ReleaseBoth(double AtMs) {
    fake.Release(AtMs, true);
    fake.Release(AtMs, false);
  }

  TFakeKeyerServices fake;
  TKeyerEngine engine;
};

using Marks = std::vector<int>;

TEST_F(KeyingLoop, HeldDahGivesDahsOfThreeDitsEachFollowedByAtLeastADit) {
  fake.Press(0, true);
  fake.Release(1000, true);
  EXPECT_EQ(Run(1500), (Marks{kDah, kDah, kDah, kDah, kDah}));
  // Mark plus space is four dits; the loop times them exactly.
  int down = 0;
  for (size_t i = 0; i < 5 * 9600; ++i)
    down += fake.KeyLevels[i] > 0;
  EXPECT_EQ(down, 5 * kDah);
}

TEST_F(KeyingLoop, HeldDitGivesDits) {
  fake.Press(0, false);
  fake.Release(500, false);
  EXPECT_EQ(Run(800), (Marks{kDit, kDit, kDit, kDit, kDit}));
}

TEST_F(KeyingLoop, SqueezeFromIdleStartsWithDahAndAlternates) {
  Squeeze(0);
  ReleaseBoth(690);  // during the third dah
  EXPECT_EQ(Run(1500), (Marks{kDah, kDit, kDah, kDit, kDah, kDit}));
}

TEST_F(KeyingLoop, ModeAStopsWithTheElementDuringWhichThePaddlesWereReleased) {
  engine.rbIambicAClick();
  Squeeze(0);
  ReleaseBoth(690);
  EXPECT_EQ(Run(1500), (Marks{kDah, kDit, kDah, kDit, kDah}));
}

TEST_F(KeyingLoop, ReleaseDuringDitAfterTheModeBTestPoint) {
  // The dit runs from 200 to 300 ms; mode B tests the squeeze at 225 ms.
  Squeeze(0);
  ReleaseBoth(240);
  EXPECT_EQ(Run(1000), (Marks{kDah, kDit, kDah}));
}

TEST_F(KeyingLoop, ReleaseDuringDitAfterTheModeBTestPointInModeA) {
  engine.rbIambicAClick();
  Squeeze(0);
  ReleaseBoth(240);
  EXPECT_EQ(Run(1000), (Marks{kDah, kDit}));
}

TEST_F(KeyingLoop, ReleaseDuringDitBeforeTheModeBTestPoint) {
  Squeeze(0);
  ReleaseBoth(210);
  EXPECT_EQ(Run(1000), (Marks{kDah, kDit}));
}

TEST_F(KeyingLoop, PaddleTappedInsideAnElementStillOwesItsElementInBothModes) {
  for (bool modeB : {true, false}) {
    TFakeKeyerServices f;
    TKeyerEngine e(f.Services());
    f.Engine = &e;
    f.AudioBufferSize = 48;
    e.ReadCounterFrequency();
    e.tbWPMChange();
    if (modeB)
      e.rbIambicBClick();
    else
      e.rbIambicAClick();
    f.Press(0, false);
    f.Release(50, false);
    f.Press(30, true);  // tapped and released while the dit sounds
    f.Release(60, true);
    f.CloseAtMs = 800;
    e.FormActivate();
    EXPECT_EQ(f.MarkRuns(), (Marks{kDit, kDah})) << (modeB ? "mode B" : "mode A");
    EXPECT_FALSE(f.CheckBox5);
    EXPECT_FALSE(f.CheckBox6);
  }
}

TEST_F(KeyingLoop, APaddleEventEndsTheIdleWaitAtOnce) {
  // 2 ms into the 5 ms idle wait: the element is queued at 2 ms and its
  // mark starts with the buffer that begins there (sample 96).
  fake.Press(2, false);
  fake.Release(3, false);
  double seenAt = -1;
  fake.OnPump = [&] {
    if (seenAt < 0 && engine.DitMemory()) seenAt = fake.NowMs();
  };
  EXPECT_EQ(Run(300), (Marks{kDit}));
  EXPECT_DOUBLE_EQ(seenAt, 2.0);
  const auto first =
      std::find_if(fake.KeyLevels.begin(), fake.KeyLevels.end(), [](float k) { return k > 0; });
  EXPECT_EQ(first - fake.KeyLevels.begin(), 96);
}

TEST_F(KeyingLoop, EventsDuringAnElementWaitForItsNextPumpPoint) {
  // A dah closed 10 ms into a dit is seen at the dit's half-dit pump (25 ms),
  // never inside a wait, and follows the dit.
  fake.Press(0, false);
  fake.Release(1, false);
  fake.Press(10, true);
  fake.Release(11, true);
  double seenAt = -1;
  fake.OnPump = [&] {
    if (seenAt < 0 && engine.DahMemory()) seenAt = fake.NowMs();
  };
  EXPECT_EQ(Run(400), (Marks{kDit, kDah}));
  EXPECT_DOUBLE_EQ(seenAt, 25.0);
}

TEST_F(KeyingLoop, StraightKeyFollowsTheDahLineAndNeverSleeps) {
  engine.rbStraightKeyClick();
  fake.PumpAdvanceMs = 0.25;
  fake.Press(10, true);
  fake.Release(60, true);
  fake.Press(70, false);  // the dit line is ignored
  fake.Release(90, false);
  const Marks marks = Run(120);
  EXPECT_EQ(fake.Clock.SleepCalls(), 0u);
  ASSERT_EQ(marks.size(), 1u);
  // The key changes between buffers of 48 samples.
  EXPECT_NEAR(marks[0], 50 * 48, 48);
  EXPECT_EQ(engine.ElementCount(), 0);
}

TEST_F(KeyingLoop, ElementLengthsUseTheHostRate) {
  fake.AudioBufferSize = 0;  // nothing consumes: the queue keeps what was queued
  for (double rate : {48000.0, 44100.0}) {
    TFakeKeyerServices f;
    TKeyerEngine e(f.Services());
    f.Engine = &e;
    f.Rate = rate;
    e.ReadCounterFrequency();
    e.tbWPMChange();
    f.Press(0, true);
    f.Release(150, true);
    f.Press(250, false);
    f.Release(260, false);
    f.CloseAtMs = 400;
    e.FormActivate();
    ASSERT_EQ(e.ElementCount(), 2);
    const int dit = static_cast<int>(rate * 0.05);
    EXPECT_EQ(e.QueuedElement(0).MarkSamples, 3 * dit);
    EXPECT_EQ(e.QueuedElement(0).SpaceSamples, dit);
    EXPECT_EQ(e.QueuedElement(1).MarkSamples, dit);
    EXPECT_EQ(e.QueuedElement(1).SpaceSamples, dit);
  }
}

TEST_F(KeyingLoop, SecondActivationDoesNotStartASecondLoop) {
  int activations = 0;
  bool returnedWhileOpen = false;
  fake.OnPump = [&] {
    if (activations++ == 3) {
      engine.FormActivate();  // e.g. after a dialog closes
      returnedWhileOpen = !engine.Closing();
    }
  };
  Run(50);
  EXPECT_TRUE(returnedWhileOpen);
  EXPECT_TRUE(engine.LoopRunning());
  // A closed loop is not entered again either.
  const int pumps = fake.Pumps;
  engine.FormActivate();
  EXPECT_EQ(fake.Pumps, pumps);
}

TEST_F(KeyingLoop, IdlePassesSleepFiveMilliseconds) {
  // Passes at 0, 5, ... 100 ms; the one at 100 sees the close and still sleeps.
  Run(100);
  EXPECT_EQ(fake.Clock.SleepMilliseconds(), 105u);
  EXPECT_EQ(fake.Clock.SleepCalls(), 21u);
}

TEST(KeyerWaits, WaitsEndExactlyAtTheirTruncatedTargets) {
  struct Case {
    int64_t Frequency;
    int32_t WPM;
    int64_t DitTicks;
    int64_t HalfDitTicks;
  };
  // 3579545 Hz: 178977.25 and 89488.625 ticks truncate.
  for (const Case c :
       {Case{3579545, 20, 178977, 89488}, Case{10000000, 60, 166666, 83333}, Case{10, 20, 0, 0}}) {
    TFakeKeyerServices f(c.Frequency);
    TKeyerEngine e(f.Services());
    f.tbWPM = c.WPM;
    e.tbWPMChange();
    e.ReadCounterFrequency();
    for (bool half : {false, true}) {
      const int64_t start = f.Clock.Ticks();
      half ? e.WaitHalfDit() : e.WaitDit();
      EXPECT_EQ(f.Clock.Ticks() - start, half ? c.HalfDitTicks : c.DitTicks) << c.Frequency;
    }
  }
}

TEST_F(KeyingLoop, AHeldDitAtThirtyWPMRepeatsEvery66Point67Milliseconds) {
  fake.tbWPM = 30;
  engine.tbWPMChange();
  std::vector<int64_t> queuedAt;
  int32_t count = 0;
  fake.AudioBufferSize = 0;  // keep the queue as it is filled
  fake.OnPump = [&] {
    if (engine.ElementCount() > count) queuedAt.push_back(fake.Clock.Ticks());
    count = engine.ElementCount();
  };
  fake.Press(0, false);
  fake.Release(300, false);
  Run(400);
  // Dits queued at 0, 66.67, 133.33, 200, 266.67 ms: half, half and whole
  // dit of 33.33 ms each, to the tick.
  ASSERT_EQ(queuedAt.size(), 5u);
  const int64_t element = 2 * (333333 / 2) + 333333;  // two half dits, one dit
  for (size_t i = 1; i < queuedAt.size(); ++i)
    EXPECT_EQ(queuedAt[i] - queuedAt[i - 1], element) << i;
}

}  // namespace
}  // namespace keyer::testing
