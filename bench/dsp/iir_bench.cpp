// Cost per sample of the filter as the audio thread calls it (ProcessSample,
// running FilterSample), against a plain double-precision direct form of the
// same order with the same in-place history shift and no denormal guard.
// All run interleaved inside every iteration. ratio_vs_plain_double is the
// filter's time over the plain loop's, both reached through an out-of-line
// call as the audio thread reaches the filter; ratio_vs_inlined_plain is
// over the same plain loop inlined into the caller's loop, and
// inline_extended_vs_plain_double is the filter's recurrence inlined (what
// 80-bit arithmetic alone costs) over the inlined plain loop.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cmath>
#include <vector>

#include "dsp/dspIIRFilters.h"

namespace {

using core::Extended;
using Clock = std::chrono::steady_clock;

constexpr int kBlock = 512;

struct TPlainDirectForm {
  std::array<double, 17> X{}, Y{};
  std::array<double, 16> XC{}, YC{};
  double Scale = 1;
  int N = 1;

  double Step(double in) {
    for (int i = 0; i < N; ++i) {
      X[i] = X[i + 1];
      Y[i] = Y[i + 1];
    }
    X[N] = in * Scale;
    double acc = X[N];
    for (int i = 0; i < N; ++i)
      acc += X[i] * XC[i] + Y[i] * YC[i];
    Y[N] = acc;
    return acc;
  }
  [[gnu::noinline]] double CalledStep(double in) { return Step(in); }
};

// The filter's own recurrence, in extended precision with the denormal guard
// and the same order of operations, inlined: the floor that the component's
// dispatch and call overhead are measured against.
struct TInlineExtended {
  std::array<Extended, 17> X{}, Y{};
  std::array<Extended, 16> XC{}, YC{};
  Extended Scale = 1;
  int N = 1;

  Extended Step(Extended in) {
    for (int i = 0; i < N; ++i) {
      X[i] = X[i + 1];
      Y[i] = Y[i + 1];
    }
    X[N] = ((in + 1e-20) - 1e-20) * Scale;
    Extended acc = X[N];
    for (int i = 0; i < N; ++i)
      acc = ((X[i] * XC[i] + acc) + Y[i] * YC[i]) + 1e-20 - 1e-20;
    Y[N] = acc;
    return acc;
  }
};

void Configure(dsp::TdspIIRFilter& f, int taps) {
  f.SetSampleRate(48000);
  if (taps == 1) {
    // The rig's envelope filter.
    f.SetFrequency1(150);
  } else {
    // Order-8 band-pass: 16 taps, a band wide enough to stay well conditioned.
    f.SetResponse(dsp::ftBandpass);
    f.SetOrder(8);
    f.SetFrequency1(2000);
    f.SetFrequency2(8000);
  }
}

void BM_FilterSample(benchmark::State& state) {
  const int taps = static_cast<int>(state.range(0));
  dsp::TdspIIRFilter f;
  Configure(f, taps);
  TPlainDirectForm plain;
  TInlineExtended inlined;
  plain.N = inlined.N = f.TapCount();
  plain.Scale = static_cast<double>(f.InputScale());
  inlined.Scale = f.InputScale();
  for (int i = 0; i < plain.N; ++i) {
    plain.XC[i] = static_cast<double>(f.XCoeffs()[i]);
    plain.YC[i] = static_cast<double>(f.YCoeffs()[i]);
    inlined.XC[i] = f.XCoeffs()[i];
    inlined.YC[i] = f.YCoeffs()[i];
  }
  // A keyed signal: steps between 0.7 and 0 plus a small tone, so neither
  // loop settles into denormals.
  std::vector<double> in(kBlock);
  for (int i = 0; i < kBlock; ++i)
    in[i] = (i / 128 % 2 ? 0.7 : 0.0) + 0.01 * std::sin(0.3 * i);

  double filterSeconds = 0, plainSeconds = 0, inlinedSeconds = 0, calledSeconds = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int i = 0; i < kBlock; ++i)
      benchmark::DoNotOptimize(f.ProcessSample(in[i]));
    auto t1 = Clock::now();
    for (int i = 0; i < kBlock; ++i)
      benchmark::DoNotOptimize(plain.Step(in[i]));
    auto t2 = Clock::now();
    for (int i = 0; i < kBlock; ++i)
      benchmark::DoNotOptimize(inlined.Step(in[i]));
    auto t3 = Clock::now();
    for (int i = 0; i < kBlock; ++i)
      benchmark::DoNotOptimize(plain.CalledStep(in[i]));
    auto t4 = Clock::now();
    calledSeconds += std::chrono::duration<double>(t4 - t3).count();
    inlinedSeconds += std::chrono::duration<double>(t3 - t2).count();
    filterSeconds += std::chrono::duration<double>(t1 - t0).count();
    plainSeconds += std::chrono::duration<double>(t2 - t1).count();
  }
  const double samples = static_cast<double>(state.iterations()) * kBlock;
  state.counters["taps"] = f.TapCount();
  state.counters["ns_per_sample"] = filterSeconds / samples * 1e9;
  state.counters["plain_ns_per_sample"] = calledSeconds / samples * 1e9;
  state.counters["ratio_vs_plain_double"] = filterSeconds / calledSeconds;
  state.counters["ratio_vs_inlined_plain"] = filterSeconds / plainSeconds;
  state.counters["inline_extended_vs_plain_double"] = inlinedSeconds / plainSeconds;
  if (!std::isfinite(static_cast<double>(f.ProcessSample(0))) || !std::isfinite(plain.Step(0)))
    state.SkipWithError("a filter diverged");
}
BENCHMARK(BM_FilterSample)->Arg(1)->Arg(16);

}  // namespace

BENCHMARK_MAIN();
