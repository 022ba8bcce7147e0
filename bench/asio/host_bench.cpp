// One buffer half through the host (plain buffer switch, empty handler,
// two Float32LSB and two Int32LSB outputs), timed against calling the four
// output converters alone on the same arrays and driver buffers.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>

#include "SubstituteDriver.h"
#include "asio/DASIOConvert.h"
#include "asio/DASIOHost.h"
#include "asio/DriverCatalogue.h"

namespace {

using namespace asio;
using Clock = std::chrono::steady_clock;

void BM_HostBufferHalf(benchmark::State& State) {
  const int32_t n = static_cast<int32_t>(State.range(0));
  InitializeConverters();
  test::TSubstituteFactory factory;
  factory.Config.InputChannels = 0;
  factory.Config.OutputChannels = 4;
  factory.Config.OutputTypes = {ASIOSTFloat32LSB, ASIOSTFloat32LSB, ASIOSTInt32LSB, ASIOSTInt32LSB};
  factory.Config.MinSize = factory.Config.MaxSize = n;
  DriverCatalogue::TScopedCatalogue catalogue({factory.Entry("Bench", test::TestClassId(1))});
  TASIOHost host;
  host.SetConvertOptimizations(TConvertOptimizations{coSSE, co3DNow});
  host.OnBufferSwitch = [](core::TObject*, const dsp::TArrayOfSingleArray&,
                           dsp::TArrayOfSingleArray&) {};
  host.SetDriverIndex(0);
  host.SetActive(true);
  test::TSubstituteDriver& driver = *factory.Last();
  if (!host.Active() || static_cast<int32_t>(host.BufferSize()) != n) {
    State.SkipWithError("host did not start");
    return;
  }

  // The baseline: the same routines on the same memory.
  TFloatToDriver writers[4];
  const float* sources[4];
  void* halves[4][2];
  for (int c = 0; c < 4; ++c) {
    writers[c] = SampleWriterFor(host.OutputChannelInfoList()[c].type);
    sources[c] = host.OutBuffer()[c].data();
    halves[c][0] = driver.Half(false, c, 0);
    halves[c][1] = driver.Half(false, c, 1);
  }

  constexpr int kBatch = 256;
  double hostSeconds = 0, baseSeconds = 0;
  for (auto _ : State) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      driver.BufferSwitch(i & 1);
    const auto t1 = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      for (int c = 0; c < 4; ++c)
        writers[c](sources[c], halves[c][i & 1], n);
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double h = std::chrono::duration<double>(t1 - t0).count();
    hostSeconds += h;
    baseSeconds += std::chrono::duration<double>(t2 - t1).count();
    State.SetIterationTime(h / kBatch);
  }
  State.counters["ratio_vs_converters"] = hostSeconds / baseSeconds;
  State.counters["host_ns_per_half"] =
      1e9 * hostSeconds / (static_cast<double>(State.iterations()) * kBatch);
  State.counters["converters_ns_per_half"] =
      1e9 * baseSeconds / (static_cast<double>(State.iterations()) * kBatch);
  host.SetActive(false);
}
BENCHMARK(BM_HostBufferHalf)->Arg(64)->Arg(512)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
