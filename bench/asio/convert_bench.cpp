// Throughput of every converter family's own routines, relative to memcpy of
// the same number of driver bytes (ratio_vs_memcpy) and, for the SIMD
// families, to the plain routine in the same slot (ratio_vs_plain). The
// baselines run interleaved with the routine inside each iteration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "asio/DASIOConvert.h"

using namespace asio;

namespace {

struct Code {
  ASIOSampleType Type;
  const char* Name;
};
const Code kCodes[] = {
    {ASIOSTInt16MSB, "Int16MSB"},     {ASIOSTInt24MSB, "Int24MSB"},
    {ASIOSTInt32MSB, "Int32MSB"},     {ASIOSTFloat32MSB, "Float32MSB"},
    {ASIOSTFloat64MSB, "Float64MSB"}, {ASIOSTInt32MSB16, "Int32MSB16"},
    {ASIOSTInt32MSB18, "Int32MSB18"}, {ASIOSTInt32MSB20, "Int32MSB20"},
    {ASIOSTInt32MSB24, "Int32MSB24"}, {ASIOSTInt16LSB, "Int16LSB"},
    {ASIOSTInt24LSB, "Int24LSB"},     {ASIOSTInt32LSB, "Int32LSB"},
    {ASIOSTFloat32LSB, "Float32LSB"}, {ASIOSTFloat64LSB, "Float64LSB"},
    {ASIOSTInt32LSB16, "Int32LSB16"}, {ASIOSTInt32LSB18, "Int32LSB18"},
    {ASIOSTInt32LSB20, "Int32LSB20"}, {ASIOSTInt32LSB24, "Int32LSB24"},
};

using Clock = std::chrono::steady_clock;
using Work = std::function<void()>;

double Seconds(const Work& W, int Reps) {
  const auto T0 = Clock::now();
  for (int R = 0; R < Reps; ++R) {
    W();
    benchmark::ClobberMemory();
  }
  return std::chrono::duration<double>(Clock::now() - T0).count();
}

// Buffers sized for the largest format, filled with in-range samples.
struct Buffers {
  explicit Buffers(int32_t Count)
      : Floats(Count), Other(Count), Driver(Count * 8 + 64), Copy(Count * 8 + 64) {
    for (int32_t I = 0; I < Count; ++I)
      Floats[I] = 0.9f * static_cast<float>((I * 37) % 201 - 100) / 100.0f;
    Other = Floats;
  }
  std::vector<float> Floats, Other;
  std::vector<uint8_t> Driver, Copy;
};

// Runs Routine, memcpy of Bytes bytes and (when given) Baseline in turn.
// The ratios compare the fastest pass of each, which a busy machine's
// preemptions cannot inflate.
void Measure(benchmark::State& State, size_t Bytes, int32_t Count, const Work& Routine,
             const Work& Baseline, Buffers& B) {
  const int Reps = std::max(4, 16384 / Count);
  const Work Copy = [&] { std::memcpy(B.Copy.data(), B.Driver.data(), Bytes); };
  double Own = 1e30, Mem = 1e30, Base = 1e30;
  for (auto _ : State) {
    const double T = Seconds(Routine, Reps);
    State.SetIterationTime(T);
    Own = std::min(Own, T);
    Mem = std::min(Mem, Seconds(Copy, Reps));
    if (Baseline) Base = std::min(Base, Seconds(Baseline, Reps));
  }
  State.counters["ratio_vs_memcpy"] = Mem / Own;
  if (Baseline) State.counters["ratio_vs_plain"] = Base / Own;
  State.counters["ns_per_sample"] = Own * 1e9 / (static_cast<double>(Reps) * Count);
}

void Register(const std::string& Name, int32_t Count, size_t BytesPerSample,
              std::function<Work(Buffers&)> Make, std::function<Work(Buffers&)> MakeBase) {
  benchmark::RegisterBenchmark((Name + "/" + std::to_string(Count)).c_str(),
                               [=](benchmark::State& State) {
                                 Buffers B(Count);
                                 const Work Base = MakeBase ? MakeBase(B) : Work{};
                                 Measure(State, Count * BytesPerSample, Count, Make(B), Base, B);
                               })
      ->UseManualTime();
}

}  // namespace

int main(int argc, char** argv) {
  struct FamilyTable {
    const char* Name;
    TConverterTable Table;
  };
  UsePlainRoutines();
  const TConverterTable Plain = Converters;
  UseSSERoutines();
  const TConverterTable Sse = Converters;
  UsePlainRoutines();
  Use3DNowRoutines();
  const TConverterTable Amd = Converters;
  UsePlainRoutines();
  const FamilyTable Families[] = {{"plain", Plain}, {"SSE", Sse}, {"3DNow", Amd}};

  for (int32_t Count : {256, 4096}) {
    for (const FamilyTable& F : Families) {
      const bool IsPlain = &F == &Families[0];
      for (const Code& C : kCodes) {
        const int Slot = SampleTypeSlot(C.Type);
        const size_t Size = SampleTypeSize(C.Type);
        const TFloatToDriver W = F.Table.SampleWriters[Slot], PW = Plain.SampleWriters[Slot];
        const TDriverToFloat R = F.Table.SampleReaders[Slot], PR = Plain.SampleReaders[Slot];
        if (IsPlain || W != PW) {
          const auto Writer = [Count](TFloatToDriver Fn) {
            return [Count, Fn](Buffers& B) -> Work {
              return [&B, Count, Fn] { Fn(B.Floats.data(), B.Driver.data(), Count); };
            };
          };
          Register(std::string("write/") + C.Name + "/" + F.Name, Count, Size, Writer(W),
                   IsPlain ? nullptr : std::function<Work(Buffers&)>(Writer(PW)));
        }
        if (IsPlain || R != PR) {
          const auto Reader = [Count](TDriverToFloat Fn) {
            return [Count, Fn](Buffers& B) -> Work {
              return [&B, Count, Fn] { Fn(B.Driver.data(), B.Other.data(), Count); };
            };
          };
          Register(std::string("read/") + C.Name + "/" + F.Name, Count, Size, Reader(R),
                   IsPlain ? nullptr : std::function<Work(Buffers&)>(Reader(PR)));
        }
      }
      const auto Process = [Count](TBufferProcess Fn) {
        return [Count, Fn](Buffers& B) -> Work {
          return [&B, Count, Fn] { Fn(B.Other.data(), Count); };
        };
      };
      const auto Add = [Count](TBufferAdd Fn) {
        return [Count, Fn](Buffers& B) -> Work {
          return [&B, Count, Fn] { Fn(B.Floats.data(), B.Other.data(), Count); };
        };
      };
      // 1.0 keeps the buffer's values from drifting over the repetitions.
      const auto Scale = [Count](TBufferScale Fn) {
        return [Count, Fn](Buffers& B) -> Work {
          return [&B, Count, Fn] { Fn(B.Other.data(), Count, 1.0f); };
        };
      };
      using Maker = std::function<Work(Buffers&)>;
      const auto Base = [IsPlain](Maker M) { return IsPlain ? Maker{} : M; };
      if (IsPlain || F.Table.HardClipBuffer != Plain.HardClipBuffer) {
        Register(std::string("hardclip/") + F.Name, Count, 4, Process(F.Table.HardClipBuffer),
                 Base(Process(Plain.HardClipBuffer)));
      }
      if (IsPlain || F.Table.SoftClipBuffer != Plain.SoftClipBuffer) {
        Register(std::string("softclip/") + F.Name, Count, 4, Process(F.Table.SoftClipBuffer),
                 Base(Process(Plain.SoftClipBuffer)));
      }
      Register(std::string("add/") + F.Name, Count, 4, Add(F.Table.AddBuffer),
               Base(Add(Plain.AddBuffer)));
      Register(std::string("scale/") + F.Name, Count, 4, Scale(F.Table.ScaleBuffer),
               Base(Scale(Plain.ScaleBuffer)));
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
