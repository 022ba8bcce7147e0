// Cost of the buffer fill per sample at 48000 Hz, key up and key down, as a
// ratio to a loop that computes only the same sines and stores them, and as
// the share of one core that real time needs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "core/Trace.h"
#include "dsp/dspIIRFilters.h"
#include "keyer/Envelope.h"
#include "keyer/Keyer.h"

namespace {

// Services as the window wires them, with the window's envelope filter.
class TBenchServices : public core::IMessagePump,
                       public keyer::IAudioFormat,
                       public keyer::IPaddleLines,
                       public keyer::IKeyerView {
 public:
  uint32_t Size = 256;
  TBenchServices() { keyer::StoreEnvelopeFilter(FFilter); }
  keyer::TKeyerServices Services() {
    return keyer::TKeyerServices{FClock, *this, *this, *this, keyer::EnvelopeFilterOf(FFilter),
                                 *this};
  }
  void ProcessMessages() override {}
  void IdleWait(uint32_t) override {}
  double SampleRate() override { return 48000; }
  uint32_t BufferSize() override { return Size; }
  bool CTSState() override { return true; }
  bool DSRState() override { return true; }
  void SetCheckBox5(bool) override {}
  void SetCheckBox6(bool) override {}
  void SetlabWPMCaption(const std::string&) override {}
  int32_t tbWPMPosition() override { return 20; }
  int32_t udTonePosition() override { return 700; }
  std::string ComboBox2Text() override { return "150"; }

 private:
  core::TVirtualClock FClock;
  dsp::TdspIIRFilter FFilter;
};

// The bare sine loop: the same sines, rounded and stored to two channels.
double BaselineNsPerSample(uint32_t Size, uint64_t Samples) {
  dsp::TArrayOfSingleArray out(2, dsp::TSingleArray(Size));
  int32_t count = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t done = 0; done < Samples; done += Size) {
    for (uint32_t i = 0; i < Size; ++i) {
      ++count;
      const float s = static_cast<float>(
          std::sin(700.0 * 2.0 * std::numbers::pi * static_cast<double>(count) / 48000.0));
      out[0][i] = s;
      out[1][i] = s;
    }
    benchmark::DoNotOptimize(out[0].data());
    benchmark::DoNotOptimize(out[1].data());
  }
  const auto ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
  return ns.count() / static_cast<double>(Samples);
}

void BM_BufferFill(benchmark::State& state) {
  const bool keyDown = state.range(0) != 0;
  TBenchServices services;
  services.Size = static_cast<uint32_t>(state.range(1));
  keyer::TKeyerEngine engine(services.Services());
  dsp::TArrayOfSingleArray in;
  dsp::TArrayOfSingleArray out(2, dsp::TSingleArray(services.Size));
  uint64_t samples = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    // A mark that outlasts the run keeps the key down throughout.
    if (keyDown && engine.ElementCount() == 0) engine.QueueElement(1 << 30, 1);
    engine.ASIOHost1BufferSwitch(nullptr, in, out);
    benchmark::DoNotOptimize(out[0].data());
    samples += services.Size;
  }
  const double fillNs =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      static_cast<double>(samples);
  const double baseNs = BaselineNsPerSample(services.Size, samples);
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  state.counters["ns_per_sample"] = fillNs;
  state.counters["sine_ns_per_sample"] = baseNs;
  state.counters["ratio_vs_sine"] = fillNs / baseNs;
  // Share of one core that 48000 samples a second need.
  state.counters["core_share_pct"] = fillNs * 48000.0 * 1e-9 * 100.0;
}
BENCHMARK(BM_BufferFill)->ArgNames({"key_down", "buffer"})->ArgsProduct({{0, 1}, {64, 256}});

// The trace's cost on the audio side: the fill with tracing on (a reader
// draining every 5 ms on another thread, as the window does) against the
// fill alone, alternating in slices so both see the same machine. Keyed
// dits of 100 samples make key records as well as envelope records.
double FillNs(keyer::TKeyerEngine& Engine, dsp::TArrayOfSingleArray& Out, int Buffers) {
  dsp::TArrayOfSingleArray in;
  const auto start = std::chrono::steady_clock::now();
  for (int b = 0; b < Buffers; ++b) {
    if (Engine.ElementCount() < 4) Engine.QueueElement(100, 100);
    Engine.ASIOHost1BufferSwitch(nullptr, in, Out);
    benchmark::DoNotOptimize(Out[0].data());
  }
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

void BM_TraceCost(benchmark::State& state) {
  TBenchServices services;
  services.Size = static_cast<uint32_t>(state.range(0));
  keyer::TKeyerEngine engine(services.Services());
  dsp::TArrayOfSingleArray out(2, dsp::TSingleArray(services.Size));
  core::TTrace& trace = core::TTrace::Instance();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<core::TTraceRecord> audio, other;
    while (!stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      audio.clear();
      other.clear();
      trace.Drain(audio, other);
    }
  });
  double plain = 0, traced = 0;
  for (auto _ : state) {
    trace.SetEnabled(false);
    plain += FillNs(engine, out, 200);
    trace.SetEnabled(true);
    traced += FillNs(engine, out, 200);
  }
  trace.SetEnabled(false);
  stop = true;
  reader.join();
  state.counters["dropped"] = static_cast<double>(trace.TakeDropped());
  state.counters["traced_ns_per_buffer"] =
      traced / (200.0 * static_cast<double>(state.iterations()));
  state.counters["ratio_vs_fill"] = traced / plain;
}
BENCHMARK(BM_TraceCost)->ArgName("buffer")->Arg(64)->Arg(256)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
