// The buffer fill, sample for sample, against key levels and oscillator
// values computed here independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "FakeKeyerServices.h"

namespace keyer::testing {
namespace {

class BufferFill : public ::testing::Test {
 protected:
  BufferFill() : engine(fake.Services()) {
    fake.Engine = &engine;
    engine.ReadCounterFrequency();
    engine.tbWPMChange();
    engine.SelectInitialMode();
  }

  // Runs n buffers of size and answers channel 0 of all of them.
  std::vector<float> Fill(uint32_t Size, int Buffers) {
    fake.AudioBufferSize = Size;
    std::vector<float> all;
    for (int b = 0; b < Buffers; ++b) {
      fake.FillOne();
      all.insert(all.end(), fake.Out[0].begin(), fake.Out[0].end());
      EXPECT_EQ(fake.Out[0], fake.Out[1]);
    }
    return all;
  }

  // Expected output for key-down intervals [from, to) of sample positions,
  // with the identity envelope, starting at oscillator index First + 1.
  static std::vector<float> Expected(int Total, std::vector<std::pair<int, int>> Down,
                                     int32_t First = 0, int32_t Tone = 700) {
    std::vector<float> out(static_cast<size_t>(Total), 0.0f);
    const float level = static_cast<float>(TKeyerEngine::kKeyLevel);
    for (int i = 0; i < Total; ++i) {
      bool down = false;
      for (auto [from, to] : Down)
        down = down || (i >= from && i < to);
      const int32_t n =
          static_cast<int32_t>(static_cast<uint32_t>(First) + 1u + static_cast<uint32_t>(i));
      out[static_cast<size_t>(i)] = Oscillator(Tone, n) * (down ? level : 0.0f);
    }
    return out;
  }

  TFakeKeyerServices fake;
  TKeyerEngine engine;
};

TEST_F(BufferFill, MarksStartAtBufferStartsAndEndAtTheirExactSample) {
  ASSERT_TRUE(engine.QueueElement(100, 50));
  ASSERT_TRUE(engine.QueueElement(30, 50));
  // Element 1: mark 0..99, space 100..149. Element 2 becomes head at 150,
  // mid-buffer: its space runs from there, its mark waits for the buffer
  // at 192, then the rest of its space, 8 samples, ends it at 229.
  EXPECT_EQ(Fill(64, 5), Expected(320, {{0, 100}, {192, 222}}));
  EXPECT_EQ(engine.ElementCount(), 0);
  EXPECT_FALSE(engine.KeyDown());
  EXPECT_EQ(engine.SampleCount(), 320);
}

TEST_F(BufferFill, ASpaceShorterThanTheRestOfItsBufferLeavesWithoutSounding) {
  ASSERT_TRUE(engine.QueueElement(10, 10));
  ASSERT_TRUE(engine.QueueElement(5, 20));  // head at sample 20, gone at 39
  ASSERT_TRUE(engine.QueueElement(7, 30));  // head at 40; 6 samples of space left at 64
  EXPECT_EQ(Fill(64, 2), Expected(128, {{0, 10}, {64, 71}}));
  EXPECT_EQ(engine.ElementCount(), 0);
}

TEST_F(BufferFill, AnElementQueuedWhileIdleWaitsForTheNextBuffer) {
  Fill(32, 1);
  ASSERT_TRUE(engine.QueueElement(40, 10));
  EXPECT_EQ(Fill(32, 3), Expected(96, {{0, 40}}, 32));
}

TEST_F(BufferFill, NinthElementIsLost) {
  for (int i = 0; i < 8; ++i)
    EXPECT_TRUE(engine.QueueElement(10 + i, 5));
  EXPECT_FALSE(engine.QueueElement(99, 5));
  EXPECT_EQ(engine.ElementCount(), 8);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(engine.QueuedElement(i).MarkSamples, 10 + i);
  // Once one has left, there is room again.
  Fill(16, 1);  // element 0: mark 10, space 5 ends at sample 14
  EXPECT_EQ(engine.ElementCount(), 7);
  EXPECT_TRUE(engine.QueueElement(99, 5));
  EXPECT_EQ(engine.ElementCount(), 8);
}

TEST_F(BufferFill, EmptyQueueGivesTheDecayingResponseAndThenSilence) {
  core::Extended state = 1.0L;
  fake.Envelope = [&](core::Extended x) { return state = x + state * 0.5L; };
  const std::vector<float> out = Fill(64, 1);
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(out[static_cast<size_t>(i)],
              Oscillator(700, i + 1) * static_cast<float>(std::ldexp(1.0L, -(i + 1))));
  EXPECT_EQ(engine.Envelope(), static_cast<float>(std::ldexp(1.0L, -64)));
}

TEST_F(BufferFill, StraightKeyFollowsKeyDownAndLeavesTheQueueAlone) {
  ASSERT_TRUE(engine.QueueElement(5, 5));
  engine.rbStraightKeyClick();
  // One pass of the loop with the dah closed sets the key.
  fake.Press(0, true);
  fake.OnPump = [&] { engine.SetClosing(); };
  engine.KeyingLoop();
  ASSERT_TRUE(engine.KeyDown());
  EXPECT_EQ(Fill(32, 2), Expected(64, {{0, 64}}));
  EXPECT_EQ(engine.ElementCount(), 1);
  EXPECT_EQ(engine.QueuedElement(0).MarkSamples, 5);
  // Choosing iambic discards the queue; the first buffer finds the key down
  // and nothing queued and lifts it.
  engine.rbIambicBClick();
  EXPECT_EQ(engine.ElementCount(), 0);
  EXPECT_EQ(Fill(32, 1), Expected(32, {}, 64));
  EXPECT_FALSE(engine.KeyDown());
}

TEST_F(BufferFill, StraightKeyWithElementsQueuedLeavesThemUnplayedUntilAClickDiscardsThem) {
  engine.rbStraightKeyClick();
  ASSERT_TRUE(engine.QueueElement(5, 5));
  ASSERT_TRUE(engine.QueueElement(6, 6));
  Fill(16, 4);
  EXPECT_EQ(engine.ElementCount(), 2);
  engine.rbIambicAClick();
  EXPECT_EQ(engine.ElementCount(), 0);
  EXPECT_EQ(Fill(16, 2), Expected(32, {}, 64));
}

TEST_F(BufferFill, IambicClickDiscardsAnElementThatSoundsAndKeepsLaterOnes) {
  ASSERT_TRUE(engine.QueueElement(100, 10));
  Fill(32, 1);  // the mark sounds
  engine.rbIambicBClick();
  EXPECT_FALSE(engine.DitMemory());
  ASSERT_TRUE(engine.QueueElement(20, 10));  // queued after the click
  EXPECT_EQ(engine.ElementCount(), 1);
  // The new head continues the key that is down; it runs its mark out.
  EXPECT_EQ(Fill(32, 2), Expected(64, {{0, 20}}, 32));
  EXPECT_EQ(engine.ElementCount(), 0);
}

TEST_F(BufferFill, OscillatorIndexWrapsAtThirtyTwoBits) {
  ASSERT_TRUE(engine.QueueElement(1000, 10));
  engine.SetSampleCount(INT32_MAX - 2);
  const std::vector<float> out = Fill(4, 1);
  const int32_t want[] = {INT32_MAX - 1, INT32_MAX, INT32_MIN, INT32_MIN + 1};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(out[static_cast<size_t>(i)],
              Oscillator(700, want[i]) * static_cast<float>(TKeyerEngine::kKeyLevel));
  EXPECT_EQ(engine.SampleCount(), INT32_MIN + 1);
}

TEST_F(BufferFill, AToneChangeSoundsFromTheNextSample) {
  ASSERT_TRUE(engine.QueueElement(1000, 10));
  // The tone changes while sample 5 of the buffer is being filtered, as a
  // click on the main thread may land in the middle of a buffer.
  int samples = 0;
  fake.Envelope = [&](core::Extended x) {
    if (++samples == 6) {
      fake.udTone = 1000;
      engine.udToneClick();
    }
    return x;
  };
  const std::vector<float> out = Fill(16, 1);
  const std::vector<float> before = Expected(16, {{0, 16}}, 0, 700);
  const std::vector<float> after = Expected(16, {{0, 16}}, 0, 1000);
  for (size_t i = 0; i < 16; ++i)
    EXPECT_EQ(out[i], i <= 5 ? before[i] : after[i]) << i;
}

TEST_F(BufferFill, WritesOnlyTheChannelsAndSamplesItIsHanded) {
  ASSERT_TRUE(engine.QueueElement(10, 10));
  fake.AudioBufferSize = 32;
  // The frame count comes from the arrays handed in, not from the host's
  // figure: a single channel of 8 samples is one buffer of 8.
  dsp::TArrayOfSingleArray out(1, dsp::TSingleArray(8, -5.0f));
  engine.ASIOHost1BufferSwitch(nullptr, {}, out);
  const std::vector<float> want = Expected(8, {{0, 8}});
  EXPECT_EQ(out[0], want);
  EXPECT_EQ(engine.ElementCount(), 1);
  EXPECT_EQ(engine.QueuedElement(0).MarkSamples, 2);
  EXPECT_EQ(engine.SampleCount(), 8);

  // Without an output channel the queue and oscillator still run for the
  // host's buffer size: the element ends.
  dsp::TArrayOfSingleArray none;
  engine.ASIOHost1BufferSwitch(nullptr, {}, none);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(engine.ElementCount(), 0);
  EXPECT_EQ(engine.SampleCount(), 40);

  // A second channel shorter than the first is written only as far as it goes.
  dsp::TArrayOfSingleArray uneven{dsp::TSingleArray(32, -5.0f), dsp::TSingleArray(4, -5.0f)};
  engine.ASIOHost1BufferSwitch(nullptr, {}, uneven);
  EXPECT_EQ(uneven[1].size(), 4u);
  EXPECT_TRUE(std::equal(uneven[1].begin(), uneven[1].end(), uneven[0].begin()));

  dsp::TArrayOfSingleArray three(3, dsp::TSingleArray(32, -5.0f));
  engine.ASIOHost1BufferSwitch(nullptr, {}, three);
  EXPECT_EQ(three[2], dsp::TSingleArray(32, -5.0f));
  EXPECT_EQ(three[0], three[1]);
}

TEST(KeyerSettings, SpeedLabelAndModes) {
  TFakeKeyerServices fake;
  TKeyerEngine engine(fake.Services());
  EXPECT_EQ(engine.WPM(), 20);
  EXPECT_DOUBLE_EQ(engine.DitTime(), 0.05);
  EXPECT_TRUE(engine.IambicB());
  EXPECT_EQ(engine.Tone(), 700);
  engine.tbWPMChange();
  EXPECT_EQ(fake.labWPM, "20 WPM ( 50.0mS dit)");
  fake.tbWPM = 5;
  engine.tbWPMChange();
  EXPECT_EQ(fake.labWPM, "5 WPM (200.0mS dit)");
  EXPECT_DOUBLE_EQ(engine.DitTime(), 0.2);
  fake.tbWPM = 60;
  engine.tbWPMChange();
  EXPECT_EQ(fake.labWPM, "60 WPM ( 16.7mS dit)");

  // Paddle handlers show the paddle (closed = line inactive) and arm the
  // memory; only A/B clicks and the element's end clear it.
  fake.CTS = false;
  engine.SerialPort1CTSEvent(nullptr);
  EXPECT_TRUE(engine.DahPressed());
  EXPECT_TRUE(fake.CheckBox5);
  fake.CTS = true;
  engine.SerialPort1CTSEvent(nullptr);
  EXPECT_FALSE(fake.CheckBox5);
  EXPECT_TRUE(engine.DahMemory());
  fake.DSR = false;
  engine.SerialPort1DSREvent(nullptr);
  EXPECT_TRUE(engine.DitMemory());
  EXPECT_TRUE(fake.CheckBox6);
  engine.rbStraightKeyClick();
  EXPECT_TRUE(engine.StraightKey());
  EXPECT_TRUE(engine.DitMemory());
  EXPECT_TRUE(engine.DahMemory());
  engine.rbIambicAClick();
  EXPECT_FALSE(engine.StraightKey());
  EXPECT_FALSE(engine.IambicB());
  EXPECT_FALSE(engine.DitMemory());
  EXPECT_FALSE(engine.DahMemory());

  // The key filter takes the combo box's number; other text is ignored.
  fake.ComboBox2 = "250";
  engine.ComboBox2Change();
  EXPECT_EQ(fake.FilterFrequency1, 250);
  fake.ComboBox2 = "fast";
  engine.ComboBox2Change();
  EXPECT_EQ(fake.FilterFrequency1, 250);
}

}  // namespace
}  // namespace keyer::testing
