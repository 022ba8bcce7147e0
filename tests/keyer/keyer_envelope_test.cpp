// The buffer fill with the window's envelope filter: Butterworth low-pass,
// order 1, 150 Hz at 48000 Hz, set up as the window stores it.
#include <gtest/gtest.h>

#include <memory>

#include "FakeKeyerServices.h"
#include "dsp/dspIIRFilters.h"
#include "keyer/Envelope.h"

namespace keyer::testing {
namespace {

class KeyerEnvelope : public ::testing::Test {
 protected:
  KeyerEnvelope() : engine(fake.Services()) {
    StoreEnvelopeFilter(filter);
    fake.Envelope = [this](core::Extended x) { return filter.ProcessSample(x); };
    fake.Engine = &engine;
    fake.AudioBufferSize = 64;
  }

  // Envelope values of n samples, read back from the output as out / sine.
  std::vector<double> Envelopes(int Buffers) {
    std::vector<double> env;
    for (int b = 0; b < Buffers; ++b) {
      const int32_t first = engine.SampleCount();
      fake.FillOne();
      for (int i = 0; i < 64; ++i) {
        const float s = Oscillator(700, first + i + 1);
        env.push_back(static_cast<double>(fake.Out[0][static_cast<size_t>(i)]) / s);
      }
    }
    return env;
  }

  dsp::TdspIIRFilter filter;
  TFakeKeyerServices fake;
  TKeyerEngine engine;
};

TEST_F(KeyerEnvelope, MarkRisesAndDecaysAlongTheFilterStepResponse) {
  ASSERT_TRUE(engine.QueueElement(1000, 2400));
  const std::vector<double> env = Envelopes(40);
  // The output is the sine times the envelope, rounded to single precision.
  EXPECT_NEAR(env[0], 0.006805638382, 1e-8);
  EXPECT_NEAR(env[1], 0.02028458168, 1e-7);
  EXPECT_NEAR(env[2], 0.03350143122, 1e-7);
  // First sample at or above each level (the rise), then the decay after
  // the mark ends at sample 1000.
  const auto firstAtLeast = [&](double level) {
    size_t i = 0;
    while (i < env.size() && env[i] < level * (1 - 1e-6))
      ++i;
    return static_cast<int>(i);
  };
  EXPECT_EQ(firstAtLeast(0.35), 35);
  EXPECT_EQ(firstAtLeast(0.63), 117);
  EXPECT_EQ(firstAtLeast(0.693), 235);
  EXPECT_NEAR(env[999], 0.7, 1e-4);
  EXPECT_LT(env[1000], env[999]);
  EXPECT_LT(std::abs(env[2000]), 1e-7);
  // The stored envelope follows the filter's last output.
  EXPECT_NEAR(engine.Envelope(), 0.0, 1e-12);
}

// Skipping the filter (and the sine) at rest changes no sample value: a
// fill that asks the filter whether it rests against one that never asks,
// over marks, long silences, a tone change and a redesign while resting.
TEST(KeyerEnvelopeAtRest, SkippingTheRestingFilterChangesNoSample) {
  struct TSide {
    TSide(bool Ask) {
      StoreEnvelopeFilter(filter);
      TKeyerServices services = fake.Services();
      services.Filter = EnvelopeFilterOf(filter);
      if (!Ask) services.Filter.AtRest = nullptr;
      engine = std::make_unique<TKeyerEngine>(services);
      fake.Engine = engine.get();
      fake.AudioBufferSize = 64;
    }
    dsp::TdspIIRFilter filter;
    TFakeKeyerServices fake;
    std::unique_ptr<TKeyerEngine> engine;
  };
  TSide asks(true), never(false);
  const auto both = [&](auto&& Step) {
    Step(asks);
    Step(never);
  };
  const auto run = [&](int Buffers) {
    for (int b = 0; b < Buffers; ++b) {
      both([](TSide& s) { s.fake.FillOne(); });
      for (size_t ch = 0; ch < 2; ++ch)
        for (size_t i = 0; i < 64; ++i)
          ASSERT_EQ(asks.fake.Out[ch][i], never.fake.Out[ch][i]) << "buffer " << b << " at " << i;
    }
  };
  run(10);
  both([](TSide& s) { s.engine->QueueElement(3000, 1000); });
  run(300);  // settles at the guard's floor
  both([](TSide& s) { s.engine->QueueElement(500, 500); });
  run(40);
  both([](TSide& s) {
    s.fake.udTone = 900;
    s.engine->udToneClick();
  });
  both([](TSide& s) { s.engine->QueueElement(700, 300); });
  run(300);
  both([](TSide& s) { s.filter.SetFrequency1(100); });
  run(10);
  both([](TSide& s) { s.engine->QueueElement(300, 300); });
  run(300);
  core::Extended level = 0;
  EXPECT_TRUE(asks.filter.AtRest(level));
}

}  // namespace
}  // namespace keyer::testing
