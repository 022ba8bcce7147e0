// Callback timing of the built-in drivers: for each driver and buffer size,
// the intervals between callbacks (median, p99, max) over a run, and the
// output latency the driver reports. ratio_vs_period compares the median
// interval with the nominal period measured from the same run's rate.
//
//   asio_driver_latency_bench [--seconds=N] [benchmark flags]
//
// JACK figures use the default server; its buffer size is set for each run
// and restored afterwards.
#include <benchmark/benchmark.h>
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "asio/drivers/linux/LinuxDrivers.h"

using namespace asio;
using namespace asio::drivers;

namespace {

double gSeconds = 10.0;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Records the arrival time of every callback into a preallocated array.
struct TRecorder {
  static TRecorder* Current;
  std::vector<int64_t> Times;
  std::atomic<std::size_t> Count{0};
  IASIODriver* Driver = nullptr;

  void Arrive() {
    std::size_t n = Count.load(std::memory_order_relaxed);
    if (n < Times.size()) Times[n] = NowNs();
    Count.store(n + 1, std::memory_order_release);
    Driver->outputReady();
  }
  static void Switch(int32_t, ASIOBool) { Current->Arrive(); }
  static ASIOTime* SwitchTime(ASIOTime*, int32_t, ASIOBool) {
    Current->Arrive();
    return nullptr;
  }
  static void Rate(ASIOSampleRate) {}
  static int32_t Message(int32_t Selector, int32_t, void*, double*) {
    return Selector == kAsioSupportsTimeInfo ? 1 : 0;
  }
};
TRecorder* TRecorder::Current = nullptr;

enum TKind { kSelfClocked, kJack, kAlsaJack };

IASIODriver* Make(TKind Kind, int32_t Frames) {
  switch (Kind) {
    case kSelfClocked:
      SetDriverSettings("Self-clocked (discard)", TDriverSettings{Frames, -1});
      return CreateSelfClockedDriver(TSelfClockedOptions{});
    case kJack:
      return CreateJackDriver(TJackOptions{});
    case kAlsaJack: {
      TAlsaDevice d{"ALSA jack plugin", "rigjack",
                    "pcm.rigjack { type jack playback_ports { 0 system:playback_1 "
                    "1 system:playback_2 } }"};
      SetDriverSettings(d.DisplayName, TDriverSettings{Frames, -1});
      return CreateAlsaDriver(d);
    }
  }
  return nullptr;
}

// Sets the default JACK server's buffer size; answers the previous one.
jack_nframes_t SetJackFrames(jack_nframes_t Frames) {
  jack_status_t st{};
  jack_client_t* c = jack_client_open("rig-bench-control", JackNoStartServer, &st);
  if (!c) return 0;
  jack_nframes_t old = jack_get_buffer_size(c);
  if (Frames && Frames != old) {
    jack_set_buffer_size(c, Frames);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  jack_client_close(c);
  return old;
}

void BM_Callbacks(benchmark::State& State, TKind Kind) {
  const auto frames = static_cast<int32_t>(State.range(0));
  if (Kind != kSelfClocked && !JackServerReachable()) {
    State.SkipWithError("no JACK server");
    return;
  }
  jack_nframes_t restore = 0;
  if (Kind == kJack) restore = SetJackFrames(static_cast<jack_nframes_t>(frames));
  for (auto _ : State) {
    IASIODriver* d = Make(Kind, frames);
    if (d->init(nullptr) != ASIOTrue) {
      d->Release();
      State.SkipWithError("driver does not initialise");
      break;
    }
    int32_t mn, mx, pref, gran;
    d->getBufferSize(&mn, &mx, &pref, &gran);
    if (pref != frames) {
      d->Release();
      State.SkipWithError("buffer size not available");
      break;
    }
    int32_t outs = 0, ins = 0;
    d->getChannels(&ins, &outs);
    std::vector<ASIOBufferInfo> infos;
    for (int32_t c = 0; c < outs; ++c)
      infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
    TRecorder rec;
    rec.Driver = d;
    rec.Times.assign(static_cast<std::size_t>(gSeconds * 48000.0 / frames * 2 + 1000), 0);
    TRecorder::Current = &rec;
    ASIOCallbacks cb{&TRecorder::Switch, &TRecorder::Rate, &TRecorder::Message,
                     &TRecorder::SwitchTime};
    d->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), frames, &cb);
    double rate = 48000;
    d->getSampleRate(&rate);
    d->start();
    std::this_thread::sleep_for(std::chrono::duration<double>(gSeconds));
    int32_t inLat = 0, outLat = 0;
    d->getLatencies(&inLat, &outLat);
    d->stop();
    d->Release();
    TRecorder::Current = nullptr;

    std::size_t n = std::min(rec.Count.load(), rec.Times.size());
    // The first two halves of the ALSA driver are a pre-fill: skip them.
    std::vector<double> gaps;
    for (std::size_t i = 3; i < n; ++i)
      gaps.push_back(static_cast<double>(rec.Times[i] - rec.Times[i - 1]) / 1000.0);
    std::sort(gaps.begin(), gaps.end());
    if (gaps.empty()) {
      State.SkipWithError("no callbacks");
      break;
    }
    const double period = frames * 1e6 / rate;
    State.SetIterationTime(gSeconds);
    State.counters["median_us"] = gaps[gaps.size() / 2];
    State.counters["p99_us"] = gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)];
    State.counters["max_us"] = gaps.back();
    State.counters["period_us"] = period;
    State.counters["ratio_vs_period"] = gaps[gaps.size() / 2] / period;
    State.counters["latency_frames"] = outLat;
    State.counters["callbacks"] = static_cast<double>(n);
  }
  if (Kind == kJack && restore) SetJackFrames(restore);
  ClearDriverSettings();
}

// The buffer sizes a rig is run at, each measured once over a fixed time.
void RigBufferSizes(benchmark::internal::Benchmark* B) {
  B->Arg(64)->Arg(128)->Arg(256)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Callbacks, self_clocked, kSelfClocked)->Apply(RigBufferSizes);
BENCHMARK_CAPTURE(BM_Callbacks, jack, kJack)->Apply(RigBufferSizes);
BENCHMARK_CAPTURE(BM_Callbacks, alsa_jack_plugin, kAlsaJack)->Apply(RigBufferSizes);

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0)
      gSeconds = std::max(0.5, std::atof(argv[i] + 10));
    else
      rest.push_back(argv[i]);
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
