#pragma once
// The road of one paddle closure, driven the same way whichever front end
// (or none) carries the form: for every virtual millisecond that passes the
// substitute driver plays one buffer half of 48 samples, whose output
// channel 0 is recorded. Press and Release change the paddle; each step waits (in real
// time) until the keyer has seen the change at a pump point.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <thread>
#include <vector>

#include "SubstituteDriver.h"
#include "core/Timing.h"
#include "dsp/dspIIRFilters.h"
#include "keyer/Envelope.h"

namespace app::testing {

class TPaddleRoad {
 public:
  static constexpr int kHalf = 48;   // samples per buffer half: 1 ms at 48000 Hz
  static constexpr int kDah = 7200;  // three dits at 20 WPM

  struct TActions {
    std::function<void()> Press;
    std::function<void()> Release;
    std::function<bool()> DahPressed;  // as the keyer sees it
    std::function<void()> Close;       // the window's close box
    std::function<void()> Activate;    // enters the keying loop
  };

  TPaddleRoad(asio::test::TSubstituteDriver& Driver, core::TVirtualClock& Clock)
      : FDriver(Driver), FClock(Clock) {}

  // Runs the keying loop until 400 ms after the release was seen.
  void Key(const TActions& A) {
    int phase = 0;
    int index = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const int64_t start = FClock.Ticks();
    int64_t halves = 0;
    FClock.SetOnSleep([&](uint32_t) {
      if (phase >= 0 && std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the paddle change never reached the keyer (phase " << phase << ")";
        phase = -1;
        A.Close();
      }
      if (phase < 0) return;
      // One half per virtual millisecond gone by.
      const int64_t due = (FClock.Ticks() - start) * 1000 / FClock.Frequency();
      for (; halves < due; ++halves) {
        FDriver.BufferSwitch(index);
        const float* half = reinterpret_cast<const float*>(FDriver.Half(false, 0, index));
        Output.insert(Output.end(), half, half + kHalf);
        const float* other = reinterpret_cast<const float*>(FDriver.Half(false, 1, index));
        EXPECT_EQ(std::memcmp(half, other, kHalf * sizeof(float)), 0);
        index ^= 1;
      }
      switch (phase) {
        case 0:
          A.Press();
          phase = 1;
          break;
        case 1:  // give the worker thread time to deliver the press
          if (A.DahPressed()) {
            A.Release();
            phase = 2;
          } else {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
          break;
        case 2:
          if (!A.DahPressed()) {
            phase = 3;
            FEndAtMs = FClock.Seconds() * 1000 + 400;
          } else {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
          break;
        default:
          if (FClock.Seconds() * 1000 >= FEndAtMs) {
            phase = -1;
            A.Close();
          }
      }
    });
    A.Activate();
    FClock.SetOnSleep(nullptr);
  }

  // The oscillator times the stored filter's response to a key of 0.7
  // over [Start, Start + Length).
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

  // Exactly one filtered dah, starting at a buffer start.
  void ExpectOneDah() const {
    size_t first = 0;
    while (first < Output.size() && Output[first] == 0.0f)
      ++first;
    ASSERT_LT(first, Output.size()) << "no tone";
    EXPECT_EQ(first % kHalf, 0u) << "the mark starts at a buffer start";
    EXPECT_EQ(Output, Expected(Output.size(), first, kDah));
  }

  std::vector<float> Output;

 private:
  asio::test::TSubstituteDriver& FDriver;
  core::TVirtualClock& FClock;
  double FEndAtMs = 0;
};

}  // namespace app::testing
