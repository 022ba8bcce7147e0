#pragma once
// The test driver's control surface: what a test sets before the host
// loads the driver, what the driver counts, and the output halves it kept.
// The DLL exports RigTestDriverControl and RigTestDriverHalves; a test
// reaches them by loading the same DLL the registry names (one module per
// process, so the same state as the driver objects COM creates).
#include <atomic>
#include <cstdint>

#include "asio/ASIODriver.h"
#include "asio/ASIOTypes.h"

namespace rigtest {

// The test driver's class identifier {5D0C3E27-8A1B-4C7E-9F42-6B1D2E3A4C5F}.
constexpr asio::TGUID kTestDriverClsid{
    0x5D0C3E27, 0x8A1B, 0x4C7E, {0x9F, 0x42, 0x6B, 0x1D, 0x2E, 0x3A, 0x4C, 0x5F}};
constexpr const char* kTestDriverClsidText = "{5D0C3E27-8A1B-4C7E-9F42-6B1D2E3A4C5F}";
constexpr const char* kTestDriverDll = "rig_test_asio_driver.dll";

// The driver operations, for counting calls and injecting failures.
enum TTestOp : uint32_t {
  opInit,
  opStart,
  opStop,
  opGetChannels,
  opGetLatencies,
  opGetBufferSize,
  opGetSampleRate,
  opSetSampleRate,
  opGetChannelInfo,
  opCreateBuffers,
  opDisposeBuffers,
  opControlPanel,
  opFuture,
  opOutputReady,
  opGetSamplePosition,
  opCount
};

constexpr int32_t kMaxHalfSamples = 1024;
constexpr uint32_t kKeptHalves = 64;

// One output half of channels 0 and 1 as the host left it, in the
// driver's sample format.
struct THalfRecord {
  uint64_t Serial;  // 1, 2, ... in callback order
  int32_t Index;    // which half (0 or 1)
  int32_t Bytes;    // per channel
  uint8_t Data[2][kMaxHalfSamples * 8];
};

struct TTestDriverControl {
  // Set before loading.
  std::atomic<uint32_t> FailMask{0};  // bit 1 << TTestOp: that call fails
  int32_t InputChannels = 2;
  int32_t OutputChannels = 2;
  int32_t MinSize = 64, MaxSize = 1024, PreferredSize = 256, Granularity = -1;
  int32_t InputLatency = 300;
  std::atomic<int32_t> OutputLatency{500};
  double SampleRate = 48000.0;
  int32_t SampleType = asio::ASIOSTInt32LSB;
  uint32_t PeriodMs = 5;  // the callback thread's fixed period
  // A message the callback thread sends the host on its next period
  // (kAsioResetRequest, kAsioLatenciesChanged), and the host's answer.
  std::atomic<int32_t> MessageToSend{0};
  std::atomic<int32_t> MessageAnswer{-1};

  // Kept by the driver.
  std::atomic<uint32_t> Calls[opCount] = {};
  std::atomic<int32_t> LiveObjects{0};
  std::atomic<uint64_t> Callbacks{0};
  std::atomic<bool> Running{false};
  void* InitHandle = nullptr;
  int32_t BufferSize = 0;  // as createBuffers got it
  int32_t BufferChannels = 0;

  void Reset() {
    FailMask = 0;
    for (auto& c : Calls)
      c = 0;
    Callbacks = 0;
    MessageToSend = 0;
    MessageAnswer = -1;
    InitHandle = nullptr;
  }
};

using TControlFunction = TTestDriverControl* (*)();
// Copies the kept halves with a serial of at least FromSerial, oldest
// first, into Out (room for Max); answers how many.
using THalvesFunction = uint32_t (*)(uint64_t FromSerial, THalfRecord* Out, uint32_t Max);

}  // namespace rigtest
