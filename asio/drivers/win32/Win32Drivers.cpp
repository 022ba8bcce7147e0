#include "asio/drivers/win32/Win32Drivers.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "asio/drivers/PlatformDrivers.h"
#include "core/Timing.h"

namespace asio::drivers::win32 {
namespace {

constexpr int32_t kOutputs = 2;
constexpr int32_t kMinSize = 64, kMaxSize = 4096, kPreferredSize = 256;
constexpr double kRate = 48000.0;

class TSelfClocked final : public IASIODriver {
 public:
  int32_t QueryInterface(const TGUID& IID, void** Obj) override {
    if (IID == kSelfClockedClsid) {
      AddRef();
      *Obj = this;
      return 0;
    }
    *Obj = nullptr;
    return static_cast<int32_t>(0x80004002u);  // E_NOINTERFACE
  }
  uint32_t AddRef() override { return ++FRefs; }
  uint32_t Release() override {
    const uint32_t left = --FRefs;
    if (left == 0) delete this;
    return left;
  }
  ASIOBool init(void*) override { return ASIOTrue; }
  void getDriverName(char* name) override { std::snprintf(name, 32, "Self-clocked (discard)"); }
  int32_t getDriverVersion() override { return 1; }
  void getErrorMessage(char* string) override { string[0] = '\0'; }
  ASIOError start() override {
    if (!FCallbacks) return ASE_InvalidMode;
    if (FThread.joinable()) return ASE_OK;
    // Each run has a stop flag of its own: a thread let go of by a stop
    // from inside its callback sees its own flag, never a later run's.
    FStopping = std::make_shared<std::atomic<bool>>(false);
    FThread = std::thread([this, stop = FStopping] { Run(*stop); });
    return ASE_OK;
  }
  ASIOError stop() override {
    Join();
    return ASE_OK;
  }
  ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override {
    *numInputChannels = 0;
    *numOutputChannels = kOutputs;
    return ASE_OK;
  }
  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    *inputLatency = 0;
    *outputLatency = FSize;
    return ASE_OK;
  }
  ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                          int32_t* granularity) override {
    *minSize = kMinSize;
    *maxSize = kMaxSize;
    *preferredSize = kPreferredSize;
    *granularity = -1;
    return ASE_OK;
  }
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
    return sampleRate == kRate ? ASE_OK : ASE_NoClock;
  }
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
    *sampleRate = kRate;
    return ASE_OK;
  }
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override { return canSampleRate(sampleRate); }
  ASIOError getClockSources(ASIOClockSource*, int32_t* numSources) override {
    *numSources = 0;
    return ASE_OK;
  }
  ASIOError setClockSource(int32_t) override { return ASE_OK; }
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override {
    const uint64_t pos = FPosition.load();
    sPos->hi = static_cast<uint32_t>(pos >> 32);
    sPos->lo = static_cast<uint32_t>(pos);
    const uint64_t ns = FStampNs.load();
    tStamp->hi = static_cast<uint32_t>(ns >> 32);
    tStamp->lo = static_cast<uint32_t>(ns);
    return ASE_OK;
  }
  ASIOError getChannelInfo(ASIOChannelInfo* info) override {
    if (info->isInput || info->channel < 0 || info->channel >= kOutputs)
      return ASE_InvalidParameter;
    info->isActive = ASIOFalse;
    info->channelGroup = 0;
    info->type = ASIOSTFloat32LSB;
    std::snprintf(info->name, sizeof(info->name), "Out %d", static_cast<int>(info->channel + 1));
    return ASE_OK;
  }
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks) override {
    if (bufferSize < kMinSize || bufferSize > kMaxSize || numChannels > kOutputs)
      return ASE_InvalidMode;
    for (int32_t i = 0; i < numChannels; ++i)
      if (bufferInfos[i].isInput || bufferInfos[i].channelNum >= kOutputs) return ASE_InvalidMode;
    Join();
    FSize = bufferSize;
    FMemory.assign(static_cast<std::size_t>(numChannels) * 2 * bufferSize, 0.0f);
    for (int32_t i = 0; i < numChannels; ++i) {
      bufferInfos[i].buffers[0] = FMemory.data() + (2 * i) * bufferSize;
      bufferInfos[i].buffers[1] = FMemory.data() + (2 * i + 1) * bufferSize;
    }
    FCallbacks = callbacks;
    return ASE_OK;
  }
  ASIOError disposeBuffers() override {
    Join();
    FCallbacks = nullptr;
    FMemory.clear();
    return ASE_OK;
  }
  ASIOError controlPanel() override { return ASE_OK; }
  ASIOError future(int32_t, void*) override { return ASE_InvalidParameter; }
  ASIOError outputReady() override { return ASE_OK; }

 private:
  ~TSelfClocked() override { Join(); }

  void Join() {
    if (!FThread.joinable()) return;
    FStopping->store(true);
    // A host that stops the driver from inside a callback cannot wait for it.
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();
    else
      FThread.join();
  }

  // One half per buffer period, on absolute deadlines so that lateness
  // does not add up. The output is discarded: a half up to a millisecond
  // late costs nothing, so the thread sleeps rather than spins to the
  // deadline. After a stall (a debugger, a suspended machine) it starts
  // afresh instead of making up every missed half at once.
  void Run(const std::atomic<bool>& Stop) {
    core::IClock& clock = core::SystemClock();
    const int64_t f = clock.QueryPerformanceFrequency();
    const int64_t period = static_cast<int64_t>(FSize * static_cast<double>(f) / kRate);
    ASIOCallbacks* callbacks = FCallbacks;
    int64_t next = clock.QueryPerformanceCounter();
    int32_t index = 0;
    while (!Stop.load()) {
      next += period;
      int64_t now = clock.QueryPerformanceCounter();
      if (now - next > period) next = now;
      while (next > now) {
        clock.Sleep(static_cast<uint32_t>(std::max<int64_t>(1, (next - now) * 1000 / f)));
        now = clock.QueryPerformanceCounter();
      }
      if (Stop.load()) break;
      FStampNs.store(static_cast<uint64_t>(next / f * 1000000000 + next % f * 1000000000 / f));
      callbacks->bufferSwitch(index, ASIOTrue);
      // Stopped from inside the callback, this thread is on its own: the
      // driver may be gone already.
      if (Stop.load()) break;
      FPosition.fetch_add(static_cast<uint64_t>(FSize));
      index ^= 1;
    }
  }

  std::atomic<uint32_t> FRefs{1};
  int32_t FSize = kPreferredSize;
  std::vector<float> FMemory;
  ASIOCallbacks* FCallbacks = nullptr;
  std::thread FThread;
  std::shared_ptr<std::atomic<bool>> FStopping;
  std::atomic<uint64_t> FPosition{0};
  std::atomic<uint64_t> FStampNs{0};
};

}  // namespace

IASIODriver* CreateSelfClockedDriver() {
  return new TSelfClocked;
}

TCatalogueEntry SelfClockedEntry() {
  return TCatalogueEntry{kSelfClockedClsid, "Self-clocked (discard)", "built-in",
                         [] { return CreateSelfClockedDriver(); }};
}

void RegisterWin32Drivers() {
  RegisterPlatformDrivers();
}

}  // namespace asio::drivers::win32

namespace asio::drivers {

void RegisterNativeSources() {
  DriverCatalogue::RegisterSource(
      kRankSelfClocked, [] { return std::vector<TCatalogueEntry>{win32::SelfClockedEntry()}; });
}

}  // namespace asio::drivers
