#pragma once
// A minimal host for driving a driver object directly: it creates buffers,
// answers the driver's messages, counts and checks the callbacks, and lets
// a test write each output half.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "asio/ASIODriver.h"
#include "asio/drivers/linux/LinuxDrivers.h"
#include "core/MainThread.h"

namespace rigtest {

class TStandInHost {
 public:
  TStandInHost() { Current() = this; }
  ~TStandInHost() { Current() = nullptr; }

  // Creates buffers for every input and output channel.
  asio::ASIOError Setup(asio::IASIODriver* Driver, int32_t Frames) {
    FDriver = Driver;
    FFrames = Frames;
    Driver->getChannels(&Inputs, &Outputs);
    Infos.clear();
    for (int32_t c = 0; c < Inputs; ++c)
      Infos.push_back({asio::ASIOTrue, c, {nullptr, nullptr}});
    for (int32_t c = 0; c < Outputs; ++c)
      Infos.push_back({asio::ASIOFalse, c, {nullptr, nullptr}});
    FCallbacks = {&BufferSwitch, &RateChanged, &Message, &BufferSwitchTimeInfo};
    return Driver->createBuffers(Infos.data(), static_cast<int32_t>(Infos.size()), Frames,
                                 &FCallbacks);
  }

  // Output half of output channel c.
  void* Out(int32_t c, int32_t Index) {
    return Infos[static_cast<std::size_t>(Inputs + c)].buffers[Index];
  }

  // Waits (pumping main-thread calls) until Done or the timeout.
  static bool WaitFor(const std::function<bool()>& Done, double Seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds);
    while (!Done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      core::MainThread::CheckSynchronize();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Before a restart: the driver begins again at half 0, position 0.
  void Restarted() {
    FLastIndex.store(-1);
    LastPosition.store(-1);
  }

  bool SupportTimeInfo = true;
  // Called on the driver's thread for every half, after the checks.
  std::function<void(int32_t Index, int64_t Callback)> OnSwitch;

  std::vector<asio::ASIOBufferInfo> Infos;
  int32_t Inputs = 0;
  int32_t Outputs = 0;
  std::atomic<int64_t> Switches{0};
  std::atomic<int64_t> TimeInfoSwitches{0};
  std::atomic<int64_t> IndexErrors{0};     // an index out of 0/1 or repeated
  std::atomic<int64_t> PositionErrors{0};  // a position that is not the last + frames
  std::atomic<int64_t> Resets{0};
  std::atomic<int64_t> LatencyChanges{0};
  std::atomic<int64_t> LastPosition{-1};
  std::atomic<int64_t> LastSystemTime{0};
  std::atomic<uint32_t> LastFlags{0};
  std::atomic<double> LastRate{0};

 private:
  static TStandInHost*& Current() {
    static TStandInHost* current = nullptr;
    return current;
  }

  void Handle(int32_t Index, const asio::ASIOTime* Time) {
    if ((Index != 0 && Index != 1) || Index == FLastIndex.load()) IndexErrors.fetch_add(1);
    FLastIndex.store(Index);
    int64_t position, when;
    if (Time) {
      position = asio::HiLoToInt64(Time->samplePosition.hi, Time->samplePosition.lo);
      when = asio::HiLoToInt64(Time->systemTime.hi, Time->systemTime.lo);
      LastFlags.store(Time->flags);
      LastRate.store(Time->sampleRate);
      TimeInfoSwitches.fetch_add(1);
    } else {
      asio::ASIOSamples s{};
      asio::ASIOTimeStamp t{};
      FDriver->getSamplePosition(&s, &t);
      position = asio::HiLoToInt64(s.hi, s.lo);
      when = asio::HiLoToInt64(t.hi, t.lo);
    }
    int64_t last = LastPosition.load();
    if (last >= 0 && position != last + FFrames) PositionErrors.fetch_add(1);
    LastPosition.store(position);
    LastSystemTime.store(when);
    if (OnSwitch) OnSwitch(Index, Switches.load());
    Switches.fetch_add(1);
    FDriver->outputReady();
  }

  static void BufferSwitch(int32_t Index, asio::ASIOBool) {
    if (Current()) Current()->Handle(Index, nullptr);
  }
  static asio::ASIOTime* BufferSwitchTimeInfo(asio::ASIOTime* Time, int32_t Index, asio::ASIOBool) {
    if (Current()) Current()->Handle(Index, Time);
    return nullptr;
  }
  static void RateChanged(asio::ASIOSampleRate) {}
  static int32_t Message(int32_t Selector, int32_t, void*, double*) {
    TStandInHost* h = Current();
    if (!h) return 0;
    switch (Selector) {
      case asio::kAsioSupportsTimeInfo:
        return h->SupportTimeInfo ? 1 : 0;
      case asio::kAsioResetRequest:
        h->Resets.fetch_add(1);
        return 1;
      case asio::kAsioLatenciesChanged:
        h->LatencyChanges.fetch_add(1);
        return 1;
      default:
        return 0;
    }
  }

  asio::IASIODriver* FDriver = nullptr;
  int32_t FFrames = 0;
  std::atomic<int32_t> FLastIndex{-1};
  asio::ASIOCallbacks FCallbacks{};
};

// JACK-dependent tests skip without a server, unless CI requires one.
inline bool JackRequired() {
  const char* v = std::getenv("RIG_REQUIRE_JACK");
  return v && v[0] == '1';
}

}  // namespace rigtest

#if RIG_WITH_JACK
#define RIG_NEED_JACK()                                                            \
  do {                                                                             \
    if (!asio::drivers::JackServerReachable()) {                                   \
      if (rigtest::JackRequired()) FAIL() << "no JACK server, RIG_REQUIRE_JACK=1"; \
      GTEST_SKIP() << "no JACK server";                                            \
    }                                                                              \
  } while (0)
#endif
