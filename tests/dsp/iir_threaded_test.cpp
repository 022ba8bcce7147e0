#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "dsp/dspIIRFilters.h"

namespace {

using core::Extended;
using namespace dsp;

struct TCoeffs {
  TdspExtendedArray X{}, Y{};
  Extended Scale = 0;
};

TCoeffs DesignAt(Extended frequency) {
  TdspIIRFilter f;
  f.SetSampleRate(48000);
  f.SetOrder(2);
  f.SetFrequency1(frequency);
  return {f.XCoeffs(), f.YCoeffs(), f.InputScale()};
}

// The recurrence of one order-2 design on a copy of the histories.
struct THistory {
  Extended X[3] = {0, 0, 0}, Y[3] = {0, 0, 0};
};

Extended Step(const TCoeffs& c, THistory& h, Extended x) {
  for (int i = 0; i < 2; ++i) {
    h.X[i] = h.X[i + 1];
    h.Y[i] = h.Y[i + 1];
  }
  h.X[2] = ((x + 1e-20) - 1e-20) * c.Scale;
  Extended acc = h.X[2];
  for (int i = 0; i < 2; ++i)
    acc = ((h.X[i] * c.X[i] + acc) + h.Y[i] * c.Y[i]) + 1e-20 - 1e-20;
  h.Y[2] = acc;
  return acc;
}

// One thread filters while this one switches the cut-off between two
// designs. Afterwards every output must be explained, in order, by one of the
// two complete designs, with the histories either carried over or (only
// where ManualReset is off, and then at every change of design) cleared.
void RedesignWhileFiltering(bool manualReset, bool paced) {
  const Extended freqs[2] = {150, 600};
  const TCoeffs designs[2] = {DesignAt(freqs[0]), DesignAt(freqs[1])};

  TdspIIRFilter f;
  f.SetSampleRate(48000);
  f.SetOrder(2);
  f.SetFrequency1(freqs[0]);
  f.SetManualReset(manualReset);

  // Paced, the threads hold each other loosely: the audio thread runs at most
  // kAhead samples past the latest redesign, and each redesign waits until a
  // few samples ran on the previous one, so every design is filtered with
  // however the scheduler places the threads. Unpaced, both run flat out
  // after the first redesign, so that redesigns overlap calls as often as
  // the cores allow.
  constexpr int kRedesigns = 2000, kAhead = 256, kCap = (kRedesigns + 1) * kAhead;
  std::vector<Extended> in(kCap), out(kCap);
  uint32_t seed = 12345;
  for (auto& x : in) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<Extended>(seed >> 8) / (1u << 23) - 1;
  }
  std::atomic<int> done{0}, redesigns{0};
  std::thread audio([&] {
    for (int i = 0; i < kCap; ++i) {
      for (;;) {
        const int r = redesigns.load(std::memory_order_acquire);
        if (paced ? i < (r + 1) * kAhead : r > 0) break;
        std::this_thread::yield();
      }
      out[i] = f.ProcessSample(in[i]);
      done.store(i + 1, std::memory_order_release);
    }
  });
  for (int r = 1; paced ? r <= kRedesigns : done.load(std::memory_order_acquire) < kCap; ++r) {
    const int target = std::min(done.load(std::memory_order_acquire) + 32, r * kAhead);
    while (paced && done.load(std::memory_order_acquire) < target)
      std::this_thread::yield();
    f.SetFrequency1(freqs[r % 2]);
    redesigns.store(r, std::memory_order_release);
  }
  audio.join();
  const int count = done.load();

  THistory h;
  int current = 0, switches = 0;
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(std::isfinite(out[i])) << i;
    bool matched = false;
    for (int d : {current, 1 - current}) {
      for (bool cleared : {false, true}) {
        if (cleared && manualReset) continue;
        // Without ManualReset a new design always arrives with clear histories.
        if (!cleared && !manualReset && d != current) continue;
        THistory t = cleared ? THistory{} : h;
        if (std::fabs(Step(designs[d], t, in[i]) - out[i]) <= 1e-15L) {
          h = t;
          switches += d != current;
          current = d;
          matched = true;
          break;
        }
      }
      if (matched) break;
    }
    if (!matched) {
      for (int d = 0; d < 2; ++d)
        for (int c = 0; c < 2; ++c) {
          THistory t = c ? THistory{} : h;
          printf("d%d c%d %.20Lg\n", d, c, Step(designs[d], t, in[i]));
        }
      printf("out %.20Lg cur %d i %d\n", out[i], current, i);
      // try 2 samples with either design from scratch
      for (int back = 1; back <= 6; ++back)
        for (int d = 0; d < 2; ++d) {
          THistory t;
          Extended y = 0;
          for (int j = i - back; j <= i; ++j)
            y = Step(designs[d], t, in[j]);
          printf("back %d d%d %.20Lg\n", back, d, y);
        }
    }
    ASSERT_TRUE(matched) << "output " << i << " fits neither design";
  }
  EXPECT_EQ(count, kCap);
  if (paced) {
    EXPECT_GT(switches, kRedesigns / 2);
  }
}

TEST(IIRThreaded, RedesignsAreSeenWholeAndResetWithTheirDesign) {
  RedesignWhileFiltering(false, true);
  RedesignWhileFiltering(false, false);
}

TEST(IIRThreaded, RedesignsCarryHistoriesWithManualReset) {
  RedesignWhileFiltering(true, true);
  RedesignWhileFiltering(true, false);
}

}  // namespace
