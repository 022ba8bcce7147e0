// The project's own test driver: an in-process COM server whose driver
// object has its own callback thread with a fixed period, keeps what the
// host wrote into each output half, and can be told to fail any call.
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "TestDriverControl.h"
#include "asio/win32/ComASIO.h"

#include <objbase.h>
#include <windows.h>

namespace {

using namespace asio;
using asio::win32::IComASIODriver;
using rigtest::TTestOp;

rigtest::TTestDriverControl GControl;
std::atomic<int32_t> GServerLocks{0};

std::mutex GHalvesLock;
rigtest::THalfRecord GHalves[rigtest::kKeptHalves];
uint64_t GNextSerial = 1;

int32_t SampleBytes(int32_t Type) {
  switch (Type) {
    case ASIOSTInt16LSB:
    case ASIOSTInt16MSB:
      return 2;
    case ASIOSTInt24LSB:
    case ASIOSTInt24MSB:
      return 3;
    case ASIOSTFloat64LSB:
    case ASIOSTFloat64MSB:
      return 8;
    default:
      return 4;
  }
}

bool Fails(TTestOp Op) {
  GControl.Calls[Op].fetch_add(1);
  return (GControl.FailMask.load() >> Op) & 1;
}

const TGUID kIUnknown{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const TGUID kIClassFactory{0x00000001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class TTestDriver final : public IComASIODriver {
 public:
  TTestDriver() { GControl.LiveObjects.fetch_add(1); }

  int32_t RIG_COM_CALL QueryInterface(const TGUID& IID, void** Obj) override {
    if (IID == kIUnknown || IID == rigtest::kTestDriverClsid) {
      AddRef();
      *Obj = this;
      return S_OK;
    }
    *Obj = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t RIG_COM_CALL AddRef() override { return ++FRefs; }
  uint32_t RIG_COM_CALL Release() override {
    const uint32_t left = --FRefs;
    if (left == 0) delete this;
    return left;
  }

  ASIOBool RIG_ASIO_CALL init(void* sysHandle) override {
    if (Fails(rigtest::opInit)) return ASIOFalse;
    GControl.InitHandle = sysHandle;
    return ASIOTrue;
  }
  void RIG_ASIO_CALL getDriverName(char* name) override { std::strcpy(name, "Rig Test Driver"); }
  int32_t RIG_ASIO_CALL getDriverVersion() override { return 7; }
  void RIG_ASIO_CALL getErrorMessage(char* string) override { std::strcpy(string, "told to fail"); }
  ASIOError RIG_ASIO_CALL start() override {
    if (Fails(rigtest::opStart) || FCallbacks == nullptr) return ASE_NotPresent;
    StopThread();
    FStopping = false;
    FThread = std::thread([this] { Run(); });
    GControl.Running = true;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL stop() override {
    if (Fails(rigtest::opStop)) return ASE_NotPresent;
    StopThread();
    GControl.Running = false;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL getChannels(int32_t* numInputChannels,
                                      int32_t* numOutputChannels) override {
    if (Fails(rigtest::opGetChannels)) return ASE_NotPresent;
    *numInputChannels = GControl.InputChannels;
    *numOutputChannels = GControl.OutputChannels;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    if (Fails(rigtest::opGetLatencies)) return ASE_NotPresent;
    *inputLatency = GControl.InputLatency;
    *outputLatency = GControl.OutputLatency.load();
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                        int32_t* granularity) override {
    if (Fails(rigtest::opGetBufferSize)) return ASE_NotPresent;
    *minSize = GControl.MinSize;
    *maxSize = GControl.MaxSize;
    *preferredSize = GControl.PreferredSize;
    *granularity = GControl.Granularity;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL canSampleRate(ASIOSampleRate sampleRate) override {
    return sampleRate == GControl.SampleRate ? ASE_OK : ASE_NoClock;
  }
  ASIOError RIG_ASIO_CALL getSampleRate(ASIOSampleRate* sampleRate) override {
    if (Fails(rigtest::opGetSampleRate)) return ASE_NotPresent;
    *sampleRate = GControl.SampleRate;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL setSampleRate(ASIOSampleRate sampleRate) override {
    if (Fails(rigtest::opSetSampleRate)) return ASE_NotPresent;
    FLastRateSet = sampleRate;
    return sampleRate == GControl.SampleRate ? ASE_OK : ASE_NoClock;
  }
  ASIOError RIG_ASIO_CALL getClockSources(ASIOClockSource*, int32_t* numSources) override {
    *numSources = 0;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL setClockSource(int32_t) override { return ASE_OK; }
  ASIOError RIG_ASIO_CALL getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override {
    if (Fails(rigtest::opGetSamplePosition)) return ASE_NotPresent;
    const uint64_t pos = FSamplePos.load();
    sPos->hi = static_cast<uint32_t>(pos >> 32);
    sPos->lo = static_cast<uint32_t>(pos);
    tStamp->hi = 0;
    tStamp->lo = 0;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL getChannelInfo(ASIOChannelInfo* info) override {
    if (Fails(rigtest::opGetChannelInfo)) return ASE_NotPresent;
    info->isActive = ASIOFalse;
    info->channelGroup = 0;
    info->type = GControl.SampleType;
    std::snprintf(info->name, sizeof(info->name), "%s %d", info->isInput ? "In" : "Out",
                  static_cast<int>(info->channel + 1));
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                        int32_t bufferSize, ASIOCallbacks* callbacks) override {
    if (Fails(rigtest::opCreateBuffers)) return ASE_NoMemory;
    if (bufferSize <= 0 || bufferSize > rigtest::kMaxHalfSamples) return ASE_InvalidMode;
    FreeBuffers();
    const std::size_t half = static_cast<std::size_t>(bufferSize) *
                             static_cast<std::size_t>(SampleBytes(GControl.SampleType));
    for (int32_t i = 0; i < numChannels; ++i) {
      TChannel c{bufferInfos[i].isInput != 0, bufferInfos[i].channelNum,
                 std::vector<uint8_t>(half * 2, 0)};
      FChannels.push_back(std::move(c));
    }
    for (int32_t i = 0; i < numChannels; ++i) {
      bufferInfos[i].buffers[0] = FChannels[i].Memory.data();
      bufferInfos[i].buffers[1] = FChannels[i].Memory.data() + half;
    }
    FHalfBytes = static_cast<int32_t>(half);
    FCallbacks = callbacks;
    GControl.BufferSize = bufferSize;
    GControl.BufferChannels = numChannels;
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL disposeBuffers() override {
    if (Fails(rigtest::opDisposeBuffers)) return ASE_NotPresent;
    StopThread();
    FreeBuffers();
    return ASE_OK;
  }
  ASIOError RIG_ASIO_CALL controlPanel() override {
    return Fails(rigtest::opControlPanel) ? ASE_NotPresent : ASE_OK;
  }
  ASIOError RIG_ASIO_CALL future(int32_t selector, void*) override {
    if (Fails(rigtest::opFuture)) return ASE_NotPresent;
    return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_InvalidParameter;
  }
  ASIOError RIG_ASIO_CALL outputReady() override {
    return Fails(rigtest::opOutputReady) ? ASE_NotPresent : ASE_OK;
  }

 private:
  struct TChannel {
    bool Input;
    int32_t Number;
    std::vector<uint8_t> Memory;
  };

  ~TTestDriver() {
    StopThread();
    FreeBuffers();
    GControl.LiveObjects.fetch_sub(1);
  }

  void FreeBuffers() {
    FChannels.clear();
    FCallbacks = nullptr;
  }

  void StopThread() {
    if (!FThread.joinable()) return;
    FStopping = true;
    // A stop from inside the callback (a host reloading the driver on this
    // thread) cannot wait for itself.
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();
    else
      FThread.join();
  }

  void Keep(int32_t Index) {
    std::lock_guard<std::mutex> guard(GHalvesLock);
    rigtest::THalfRecord& r = GHalves[(GNextSerial - 1) % rigtest::kKeptHalves];
    r.Serial = GNextSerial++;
    r.Index = Index;
    r.Bytes = FHalfBytes;
    int kept = 0;
    for (const TChannel& c : FChannels) {
      if (c.Input || c.Number > 1) continue;
      std::memcpy(r.Data[c.Number], c.Memory.data() + Index * FHalfBytes,
                  static_cast<std::size_t>(FHalfBytes));
      ++kept;
    }
    (void)kept;
  }

  // The callback thread: one half per period, on a fixed schedule.
  void Run() {
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    int32_t index = 0;
    while (!FStopping.load()) {
      next += std::chrono::milliseconds(GControl.PeriodMs);
      std::this_thread::sleep_until(next);
      if (FStopping.load()) break;
      if (const int32_t message = GControl.MessageToSend.exchange(0)) {
        GControl.MessageAnswer = FCallbacks->asioMessage(message, 0, nullptr, nullptr);
        if (FStopping.load()) break;
      }
      ASIOCallbacks* callbacks = FCallbacks;
      if (!callbacks) break;
      callbacks->bufferSwitch(index, ASIOFalse);
      if (FStopping.load()) break;
      Keep(index);
      FSamplePos.fetch_add(static_cast<uint64_t>(GControl.BufferSize));
      GControl.Callbacks.fetch_add(1);
      index ^= 1;
    }
  }

  std::atomic<uint32_t> FRefs{1};
  std::vector<TChannel> FChannels;
  int32_t FHalfBytes = 0;
  ASIOCallbacks* FCallbacks = nullptr;
  std::thread FThread;
  std::atomic<bool> FStopping{false};
  std::atomic<uint64_t> FSamplePos{0};
  double FLastRateSet = 0;
};

// The class factory COM asks for the driver object.
class TFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** Obj) override {
    if (std::memcmp(&riid, &kIUnknown, 16) == 0 || std::memcmp(&riid, &kIClassFactory, 16) == 0) {
      *Obj = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *Obj = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* Outer, REFIID riid, void** Obj) override {
    *Obj = nullptr;
    if (Outer) return CLASS_E_NOAGGREGATION;
    auto* driver = new TTestDriver;
    const HRESULT result = driver->QueryInterface(*reinterpret_cast<const TGUID*>(&riid), Obj);
    driver->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL Lock) override {
    GServerLocks += Lock ? 1 : -1;
    return S_OK;
  }
};
TFactory GFactory;

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  *ppv = nullptr;
  if (std::memcmp(&rclsid, &rigtest::kTestDriverClsid, 16) != 0) return CLASS_E_CLASSNOTAVAILABLE;
  return GFactory.QueryInterface(riid, ppv);
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return GControl.LiveObjects.load() == 0 && GServerLocks.load() == 0 ? S_OK : S_FALSE;
}

__declspec(dllexport) rigtest::TTestDriverControl* RigTestDriverControl() {
  return &GControl;
}

__declspec(dllexport) uint32_t
    RigTestDriverHalves(uint64_t FromSerial, rigtest::THalfRecord* Out, uint32_t Max) {
  std::lock_guard<std::mutex> guard(GHalvesLock);
  const uint64_t oldest =
      GNextSerial > rigtest::kKeptHalves ? GNextSerial - rigtest::kKeptHalves : 1;
  uint32_t n = 0;
  for (uint64_t s = std::max(FromSerial, oldest); s < GNextSerial && n < Max; ++s)
    Out[n++] = GHalves[(s - 1) % rigtest::kKeptHalves];
  return n;
}

}  // extern "C"
