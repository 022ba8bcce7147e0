#include "asio/DASIOHost.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/MainThread.h"
#include "core/StatusChannel.h"
#include "core/Timing.h"
#if defined(_WIN32)
#include "asio/win32/ComASIO.h"
#endif

namespace asio {

// ---------------------------------------------------------------- time record

TASIOTimeSub::TASIOTimeSub() {
  FBufferTime.speed = 1.0;
  FBufferTime.sampleRate = 44100.0;
  SetFlags({atSystemTimeValid, atSamplePositionValid, atSampleRateValid, atSpeedValid});
}

int64_t TASIOTimeSub::SamplePos() const {
  std::lock_guard<TShortLock> guard(FLock);
  return HiLoToInt64(FBufferTime.samplePosition.hi, FBufferTime.samplePosition.lo);
}

void TASIOTimeSub::SetSamplePos(int64_t Value) {
  {
    std::lock_guard<TShortLock> guard(FLock);
    if (Value == HiLoToInt64(FBufferTime.samplePosition.hi, FBufferTime.samplePosition.lo)) return;
    Int64ToHiLo(Value, FBufferTime.samplePosition.hi, FBufferTime.samplePosition.lo);
  }
  Change();
}

double TASIOTimeSub::Speed() const {
  std::lock_guard<TShortLock> guard(FLock);
  return FBufferTime.speed;
}

void TASIOTimeSub::SetSpeed(double Value) {
  {
    std::lock_guard<TShortLock> guard(FLock);
    if (Value == FBufferTime.speed) return;
    FBufferTime.speed = Value;
  }
  Change();
}

double TASIOTimeSub::SampleRate() const {
  std::lock_guard<TShortLock> guard(FLock);
  return FBufferTime.sampleRate;
}

void TASIOTimeSub::SetSampleRate(double Value) {
  {
    std::lock_guard<TShortLock> guard(FLock);
    if (Value == FBufferTime.sampleRate) return;
    FBufferTime.sampleRate = Value;
  }
  Change();
}

TATFlags TASIOTimeSub::Flags() const {
  std::lock_guard<TShortLock> guard(FLock);
  return TATFlags::FromBits(static_cast<uint8_t>(FBufferTime.flags & 0x3Fu));
}

void TASIOTimeSub::SetFlags(TATFlags Value) {
  std::lock_guard<TShortLock> guard(FLock);
  FBufferTime.flags = Value.Bits() & 0x3Fu;
}

void TASIOTimeSub::Assign(const TASIOTimeSub& Source) {
  if (&Source != this) Store(Source.Snapshot());
  Change();
}

void TASIOTimeSub::Store(const asio::ASIOTime& Value) {
  std::lock_guard<TShortLock> guard(FLock);
  std::memcpy(&FBufferTime, &Value, sizeof(FBufferTime));
}

asio::ASIOTime TASIOTimeSub::Snapshot() const {
  asio::ASIOTime copy;
  std::lock_guard<TShortLock> guard(FLock);
  std::memcpy(&copy, &FBufferTime, sizeof(copy));
  return copy;
}

void TASIOTimeSub::Change() {
  if (OnChanged) OnChanged(this);
}

// ------------------------------------------------------------ callback path

namespace {

std::atomic<TASIOHost*> GCurrentHost{nullptr};

// Callbacks of any host in progress on this thread: a host closing its
// per-buffer path from inside one of them must not wait for itself.
thread_local int32_t tCallbackDepth = 0;

constexpr uint32_t kDefaultBufferSize = 4096;
constexpr double kDefaultSampleRate = 44100.0;

bool UsableRate(double Rate) {
  return Rate >= 1.0 && Rate <= 1048575.0;  // false for NaN
}

}  // namespace

TASIOHost* CurrentHost() {
  return GCurrentHost.load(std::memory_order_acquire);
}

// The four entry points of the callback record. Nothing raised on the
// host's side may travel back into the driver. The message records are
// built per call, so two driver threads never share one.
struct TASIOCallbackGate {
  // Counts a callback in progress, so that the main thread can wait for it
  // before releasing what it reads (see CloseCallbacks).
  class TInFlight {
   public:
    explicit TInFlight(TASIOHost* Host) : FHost(Host) {
      FHost->FCallbacksInFlight.fetch_add(1);
      ++tCallbackDepth;
    }
    ~TInFlight() {
      --tCallbackDepth;
      FHost->FCallbacksInFlight.fetch_sub(1);
    }
    TInFlight(const TInFlight&) = delete;
    TInFlight& operator=(const TInFlight&) = delete;
    // Read after the count is raised: a host that closed before finds it,
    // a host closing now waits for this call.
    bool Open() const { return FHost->FCallbacksOpen.load(); }

   private:
    TASIOHost* FHost;
  };

  static void BufferSwitch(int32_t DoubleBufferIndex, ASIOBool /*DirectProcess*/) {
    TASIOHost* host = CurrentHost();
    if (!host) return;
    TInFlight inFlight(host);
    if (!inFlight.Open()) return;
    try {
      TASIOHostMessage message{PM_BufferSwitch, 0, DoubleBufferIndex, 0};
      host->Dispatch(message);
    } catch (...) {
    }
  }

  static void SampleRateDidChange(ASIOSampleRate /*Rate*/) {
    TASIOHost* host = CurrentHost();
    if (!host) return;
    TInFlight inFlight(host);
    try {
      if (host->OnSampleRateChanged) host->OnSampleRateChanged(host);
    } catch (...) {
    }
  }

  static int32_t AsioMessage(int32_t Selector, int32_t Value, void* /*Message*/, double* /*Opt*/) {
    TASIOHost* host = CurrentHost();
    switch (Selector) {
      case kAsioSelectorSupported:
        switch (Value) {
          case kAsioEngineVersion:
          case kAsioResetRequest:
          case kAsioResyncRequest:
          case kAsioLatenciesChanged:
          case kAsioSupportsTimeInfo:
          case kAsioSupportsTimeCode:
            return 1;
          default:
            return 0;
        }
      case kAsioEngineVersion:
        return 2;
      // Both requests call the driver, which the main thread may be
      // unloading at this moment: they are carried out there.
      case kAsioResetRequest:
      case kAsioBufferSizeChange:
        if (host) {
          try {
            host->RequestReset();
          } catch (...) {
          }
        }
        return 1;
      case kAsioLatenciesChanged:
        if (host) {
          try {
            host->RequestLatencyUpdate();
          } catch (...) {
          }
        }
        return 1;
      case kAsioSupportsTimeInfo:
        return 1;
      default:  // resync, time code, machine control, unknown
        return 0;
    }
  }

  static asio::ASIOTime* BufferSwitchTimeInfo(asio::ASIOTime* Params, int32_t DoubleBufferIndex,
                                              ASIOBool /*DirectProcess*/) {
    TASIOHost* host = CurrentHost();
    if (!host) return nullptr;
    TInFlight inFlight(host);
    if (!inFlight.Open()) return nullptr;
    try {
      if (Params) host->ASIOTime().Store(*Params);
      TASIOHostMessage message{PM_BufferSwitchTimeInfo, 0, DoubleBufferIndex, 0};
      host->Dispatch(message);
    } catch (...) {
    }
    return nullptr;
  }
};

// --------------------------------------------------------------------- host

#if defined(_WIN32)
// The hidden utility window whose handle a driver's Init receives.
struct TASIOHost::TUtilityWindow {
  TUtilityWindow() : Window(win32::CreateUtilityWindow()) {}
  ~TUtilityWindow() { win32::DestroyUtilityWindow(Window); }
  TUtilityWindow(const TUtilityWindow&) = delete;
  TUtilityWindow& operator=(const TUtilityWindow&) = delete;
  void* const Window;
  void* Handle() { return Window; }
};
#else
// Stands in for the hidden utility window: its address is the system handle
// a driver's Init receives, and it does nothing else.
struct TASIOHost::TUtilityWindow {
  uint64_t Tag = 0x484F53544D534721ull;
  void* Handle() { return this; }
};
#endif

TASIOHost::TASIOHost(core::TComponent* AOwner) : core::TComponent(AOwner) {
  FClipBuffer.store(Converters.HardClipBuffer);
  FUtilityWindow = std::make_unique<TUtilityWindow>();
  GCurrentHost.store(this, std::memory_order_release);
  FASIOTime = std::make_unique<TASIOTimeSub>();
  EnumerateInstalledDrivers(FAsioDriverList);
  FDriverNames.reserve(FAsioDriverList.size());
  for (const TDriverEntry& e : FAsioDriverList)
    FDriverNames.push_back(EntryText(e.DisplayName));
  FConvertOptimizations = TConvertOptimizations{coSSE, co3DNow};
  FCallbacks.bufferSwitch = &TASIOCallbackGate::BufferSwitch;
  FCallbacks.sampleRateDidChange = &TASIOCallbackGate::SampleRateDidChange;
  FCallbacks.asioMessage = &TASIOCallbackGate::AsioMessage;
  FCallbacks.bufferSwitchTimeInfo = &TASIOCallbackGate::BufferSwitchTimeInfo;
  FDriver.Reset();
  FBuffersCreated = false;
  FDriverIndex = -1;
  FInputMonitor.store(imDisabled);
  FAliveToken = std::make_shared<TASIOHost*>(this);
  if (OnCreate) OnCreate(this);
}

TASIOHost::~TASIOHost() {
  if (OnDestroy) OnDestroy(this);
  if (FActive) SetActive(false);
  UnloadDriver();
  *FAliveToken = nullptr;  // a request still waiting in the queue finds no host
  TASIOHost* self = this;
  GCurrentHost.compare_exchange_strong(self, nullptr);
}

void* TASIOHost::Handle() const {
  return FUtilityWindow->Handle();
}

void TASIOHost::Loaded() {
  core::TComponent::Loaded();
  if (FLoadedDriverIndex != FDriverIndex) SetDriverIndex(FLoadedDriverIndex);
  if (FLoadedActive) SetActive(true);
}

// ------------------------------------------------------------ status records

std::string TASIOHost::DriverErrorText() {
  if (!FDriver) return {};
  // The driver writes at most 124 bytes with the zero; the rest is margin
  // for one that writes more.
  char text[256] = {};
  try {
    FDriver->GetErrorMessage(text);
  } catch (...) {
    return {};
  }
  text[123] = '\0';
  std::string result(text);
  while (!result.empty() && std::isspace(static_cast<unsigned char>(result.back())))
    result.pop_back();
  return result;
}

void TASIOHost::ReportDriverFailure(const char* What, int32_t Code) {
  const std::string detail = DriverErrorText();
  char code[32] = {};
  if (Code != 0) std::snprintf(code, sizeof(code), " (error %d)", static_cast<int>(Code));
  core::StatusChannel().PostF(core::ssHost, core::svError, Code, "Audio driver \"%s\" %s%s%s%s",
                              FDriverName.c_str(), What, code, detail.empty() ? "" : ": ",
                              detail.c_str());
}

int32_t TASIOHost::CapChannels(int32_t Count, const char* Direction) {
  if (Count >= 0 && Count <= kMaxChannels) return Count;
  const int32_t used = Count < 0 ? 0 : kMaxChannels;
  core::StatusChannel().PostF(core::ssHost, core::svWarning, 0,
                              "Audio driver \"%s\" reports %d %s channels; the host uses %d",
                              FDriverName.c_str(), static_cast<int>(Count), Direction,
                              static_cast<int>(used));
  return used;
}

// ------------------------------------------------------------ property setters

void TASIOHost::SetActive(bool Value) {
  if (IsLoading()) {
    FLoadedActive = Value;
    return;
  }
  if (!FDriver || Value == FActive) return;
  if (Value) {
    // A driver without buffers would call back into records it refused.
    if (!FBuffersCreated) {
      core::StatusChannel().PostF(core::ssHost, core::svWarning, 0,
                                  "Audio driver \"%s\" is not started: it has no buffers",
                                  FDriverName.c_str());
      return;
    }
    // A driver may call back before its Start returns.
    FCallbacksOpen.store(true);
    try {
      const ASIOError result = FDriver->Start();
      FActive = result == ASE_OK;
      if (!FActive) ReportDriverFailure("did not start", result);
    } catch (...) {
      FActive = false;
      FBufferSize.store(2048);
      FSampleRate.store(kDefaultSampleRate);
      ReportDriverFailure("failed while starting", 0);
    }
    if (!FActive) {
      try {
        FDriver->Stop();
      } catch (...) {
      }
      CloseCallbacks();
    }
  } else {
    FActive = false;
    // Halves until Stop returns are the driver's last ones and are served;
    // one that comes after finds the path closed, so the silence stays.
    try {
      FDriver->Stop();
    } catch (...) {
    }
    CloseCallbacks();
    if (FBuffersCreated) ClearDriverBuffers();
  }
}

void TASIOHost::SetPreventClipping(TPreventClipping Value) {
  FPreventClipping.store(Value);
  if (Value == pcDigital)
    FClipBuffer.store(Converters.HardClipBuffer);
  else if (Value == pcAnalog)
    FClipBuffer.store(Converters.SoftClipBuffer);
}

void TASIOHost::SetDriverName(const std::string& Value) {
  auto same = [&](const std::string& Name) {
    return Name.size() == Value.size() &&
           std::equal(Name.begin(), Name.end(), Value.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) ==
                    std::tolower(static_cast<unsigned char>(b));
           });
  };
  for (std::size_t i = 0; i < FDriverNames.size(); ++i) {
    if (same(FDriverNames[i])) {
      SetDriverIndex(static_cast<int32_t>(i));
      return;
    }
  }
}

void TASIOHost::SetDriverIndex(int32_t Value) {
  if (IsLoading()) {
    FLoadedDriverIndex = Value;
    return;
  }
  if (Value == FDriverIndex) return;
  const bool wasActive = FActive;
  SetActive(false);
  const int32_t count = static_cast<int32_t>(FDriverNames.size());
  if (Value < -1) Value = -1;
  if (Value >= count) Value = count - 1;
  FDriverIndex = Value;
  if (FDriverIndex == -1) {
    FDriverName.clear();
    FInputLatency.store(0);
    FOutputLatency.store(0);
    FInputChannels = 0;
    FOutputChannels = 0;
    FBufferSize.store(0);
    UnloadDriver();
  } else {
    try {
      UnloadDriver();
      FDriverName = FDriverNames[static_cast<std::size_t>(FDriverIndex)];
      LoadDriver();
      if (FDriver) {
        FDriverVersion = FDriver->GetDriverVersion();
        // Only what the driver confirms.
        static const std::pair<int32_t, TASIOCanDo> kQueries[] = {
            {kAsioCanTimeCode, acdTimeCode},      {kAsioCanTimeInfo, acdTimeInfo},
            {kAsioCanTransport, acdTransport},    {kAsioCanInputGain, acdInputGain},
            {kAsioCanInputMeter, acdInputMeter},  {kAsioCanOutputGain, acdOutputGain},
            {kAsioCanOutputMeter, acdOutputMeter}};
        TASIOCanDos confirmed;
        for (const auto& [selector, flag] : kQueries)
          if (CanDo(selector)) confirmed.Include(flag);
        FCanDos = confirmed;
      }
    } catch (...) {
      ReportDriverFailure("failed while being set up", 0);
      return;  // the index stays stored; Active stays False
    }
  }
  if (OnDriverChanged) OnDriverChanged(this);
  SetActive(wasActive);
}

uint32_t TASIOHost::BufferSize() {
  uint32_t size = FBufferSize.load(std::memory_order_relaxed);
  if (size == 0 || size > 65530) {
    size = kDefaultBufferSize;
    FBufferSize.store(size, std::memory_order_relaxed);
  }
  return size;
}

void TASIOHost::SetCustomGenerator(TASIOGenerator* Value) {
  if (Value == FCustomGenerator.load()) return;
  FCustomGenerator.store(Value);
  if (Value) {
    Value->SetBlockSize(FBufferSize.load());
    // The rate as the host uses it, never one the getter would repair.
    Value->SetSampleRate(SampleRate());
  }
}

void TASIOHost::SetInputChannelOffset(uint16_t Value) {
  if (Value != FInputChannelOffset.load() &&
      static_cast<uint32_t>(Value) < static_cast<uint32_t>(FInputChannels))
    FInputChannelOffset.store(Value);
}

void TASIOHost::SetOutputChannelOffset(uint16_t Value) {
  if (Value != FOutputChannelOffset.load() &&
      static_cast<uint32_t>(Value) < static_cast<uint32_t>(FOutputChannels))
    FOutputChannelOffset.store(Value);
}

void TASIOHost::SetConvertOptimizations(TConvertOptimizations Value) {
  UsePlainRoutines();
  if (Converters.ProcessorKind == pkSSE && Value.Contains(coSSE))
    UseSSERoutines();
  else if (Converters.ProcessorKind == pk3DNow && Value.Contains(co3DNow))
    Use3DNowRoutines();
  FConvertOptimizations = Value;
}

double TASIOHost::SampleRate() {
  double rate = FSampleRate.load(std::memory_order_relaxed);
  if (!UsableRate(rate)) {
    rate = kDefaultSampleRate;
    FSampleRate.store(rate, std::memory_order_relaxed);
  }
  return rate;
}

// The rate is repaired here, once, so the driver, the time record and the
// generator are only ever given the rate the getter reads.
void TASIOHost::SetSampleRate(double Value) {
  if (!UsableRate(Value)) Value = kDefaultSampleRate;
  FSampleRate.store(Value);
  FASIOTime->SetSampleRate(Value);
  if (FDriver) {
    try {
      FDriver->SetSampleRate(Value);
    } catch (...) {
    }
  }
  if (TASIOGenerator* g = FCustomGenerator.load()) g->SetSampleRate(Value);
}

void TASIOHost::ShowControlPanel() {
  if (!FDriver) return;
  try {
    FDriver->ControlPanel();
  } catch (...) {
  }
}

bool TASIOHost::CanDo(int32_t Selector) {
  return FDriver && FDriver->Future(Selector, nullptr) == ASE_SUCCESS;
}

// ----------------------------------------------------------- driver lifecycle

void TASIOHost::LoadDriver() {
  bool remembered = false;
  if (FDriver) {
    try {
      remembered = FActive;
      SetActive(false);
      UnloadDriver();
    } catch (...) {
    }
  }
  if (FDriverIndex >= 0 && static_cast<std::size_t>(FDriverIndex) < FAsioDriverList.size()) {
    try {
      if (CreateQuilASIO(FAsioDriverList[static_cast<std::size_t>(FDriverIndex)].ClassId,
                         FDriver)) {
        if (FDriver->Init(Handle()) == ASIOFalse) {
          ReportDriverFailure("failed to initialise", 0);
          FDriver.Reset();
        }
      } else {
        core::StatusChannel().PostF(core::ssHost, core::svError, 0,
                                    "Audio driver \"%s\" could not be loaded", FDriverName.c_str());
      }
    } catch (...) {
      ReportDriverFailure("failed while initialising", 0);
      FDriver.Reset();
    }
  }
  FBuffersCreated = SetupBuffers();
  if (remembered) SetActive(true);
}

bool TASIOHost::SetupBuffers() {
  if (!FDriver) return false;
  if (FBuffersCreated) ReleaseBuffers();

  int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
  FDriver->GetBufferSize(&minimum, &maximum, &preferred, &granularity);
  FBufferMinimum = minimum;
  FBufferMaximum = maximum;
  FBufferPreferredSize = preferred;
  FBufferGranularity = granularity;
  if (FBufferMinimum == FBufferMaximum) FBufferPreferredSize = FBufferMinimum;
  FBufferSize.store(static_cast<uint32_t>(FBufferPreferredSize));
  // The size the host processes and asks the driver for: a preferred size
  // of 0 or above 65530 is repaired here, so the driver's buffers always
  // hold what the per-buffer path converts.
  const uint32_t n = BufferSize();
  if (TASIOGenerator* g = FCustomGenerator.load()) g->SetBlockSize(n);

  double reported = FSampleRate.load();
  FDriver->GetSampleRate(&reported);
  if (!UsableRate(reported))
    core::StatusChannel().PostF(core::ssHost, core::svWarning, 0,
                                "Audio driver \"%s\" reports a sample rate of %g Hz; the host "
                                "uses %g Hz",
                                FDriverName.c_str(), reported, kDefaultSampleRate);
  SetSampleRate(reported);

  int32_t inputCount = 0, outputCount = 0;
  FDriver->GetChannels(&inputCount, &outputCount);
  FInputChannels = CapChannels(inputCount, "input");
  FOutputChannels = CapChannels(outputCount, "output");
  const std::size_t inputs = static_cast<std::size_t>(FInputChannels);
  const std::size_t outputs = static_cast<std::size_t>(FOutputChannels);

  // The records start at the first 16-byte boundary strictly above the
  // block's start.
  FBufferInfoBlock.reset(new uint8_t[(inputs + outputs) * sizeof(ASIOBufferInfo) + 16]);
  const uintptr_t start = reinterpret_cast<uintptr_t>(FBufferInfoBlock.get());
  uint8_t* first = FBufferInfoBlock.get() + (16 - start % 16);
  FInputBufferInfos = reinterpret_cast<ASIOBufferInfo*>(first);
  FOutputBufferInfos = FInputBufferInfos + inputs;
  FProcessSize = n;
  FInputCount = inputs;
  FOutputCount = outputs;

  // A channel the driver will not describe has no known sample type: it
  // gets no routine, so it reads as silence and is never written.
  auto describe = [this](std::vector<ASIOChannelInfo>& Infos, std::size_t Count, bool IsInput) {
    Infos.assign(Count, ASIOChannelInfo{});
    int32_t failed = 0, firstFailed = -1;
    ASIOError code = ASE_OK;
    for (std::size_t c = 0; c < Count; ++c) {
      ASIOChannelInfo& info = Infos[c];
      info.channel = static_cast<int32_t>(c);
      info.isInput = IsInput ? ASIOTrue : ASIOFalse;
      ASIOError result;
      try {
        result = FDriver->GetChannelInfo(&info);
      } catch (...) {
        result = ASE_HWMalfunction;
      }
      if (result == ASE_OK) continue;
      info = ASIOChannelInfo{
          static_cast<int32_t>(c), info.isInput, ASIOFalse, 0, kUnusableSampleType, {}};
      if (failed++ == 0) {
        firstFailed = static_cast<int32_t>(c);
        code = result;
      }
    }
    // One record per direction, however many channels failed.
    if (failed > 0)
      core::StatusChannel().PostF(
          core::ssHost, core::svWarning, code,
          "Audio driver \"%s\" gave no information on %d %s channel%s (first %d, error %d); "
          "silent",
          FDriverName.c_str(), static_cast<int>(failed), IsInput ? "input" : "output",
          failed == 1 ? "" : "s", static_cast<int>(firstFailed), static_cast<int>(code));
  };

  describe(FInputChannelInfos, inputs, true);
  FInBuffer.assign(inputs, dsp::TSingleArray(n, 0.0f));
  FInConverters.assign(inputs, nullptr);
  for (std::size_t c = 0; c < inputs; ++c) {
    FInConverters[c] = SampleReaderFor(FInputChannelInfos[c].type);
    new (&FInputBufferInfos[c]) ASIOBufferInfo{ASIOTrue, static_cast<int32_t>(c), {}};
  }
  describe(FOutputChannelInfos, outputs, false);
  FOutBuffer.assign(outputs, dsp::TSingleArray(n, 0.0f));
  FOutConverters.assign(outputs, nullptr);
  for (std::size_t c = 0; c < outputs; ++c) {
    FOutConverters[c] = SampleWriterFor(FOutputChannelInfos[c].type);
    new (&FOutputBufferInfos[c]) ASIOBufferInfo{ASIOFalse, static_cast<int32_t>(c), {}};
  }

  const ASIOError created =
      FDriver->CreateBuffers(FInputBufferInfos, static_cast<int32_t>(inputs + outputs),
                             static_cast<int32_t>(n), &FCallbacks);
  const bool answer = created == ASE_OK;
  if (!answer) ReportDriverFailure("could not create its buffers", created);

  int32_t inLatency = FInputLatency.load(), outLatency = FOutputLatency.load();
  FDriver->GetLatencies(&inLatency, &outLatency);
  FInputLatency.store(inLatency);
  FOutputLatency.store(outLatency);
  if (OnLatencyChanged) OnLatencyChanged(this);

  FRandomState = static_cast<uint64_t>(core::SystemClock().QueryPerformanceCounter()) |
                 1u;  // xorshift needs a non-zero state
  return answer;
}

void TASIOHost::ReleaseBuffers() {
  if (!FDriver || !FBuffersCreated) return;
  CloseCallbacks();
  // The driver lets go of the buffers before the records describing them go.
  try {
    FDriver->DisposeBuffers();
  } catch (...) {
  }
  FBufferInfoBlock.reset();
  FInputBufferInfos = nullptr;
  FOutputBufferInfos = nullptr;
  FBuffersCreated = false;
  FInBuffer.clear();
  FOutBuffer.clear();
  FInputChannelInfos.clear();
  FOutputChannelInfos.clear();
  FInputCount = FOutputCount = 0;
}

void TASIOHost::UnloadDriver() {
  if (FDriver) {
    CloseCallbacks();
    try {
      if (FBuffersCreated) ReleaseBuffers();
    } catch (...) {
    }
    FDriver.Reset();
    FBuffersCreated = false;
    // Nothing of the old driver may outlive it, not even the records of a
    // refused CreateBuffers.
    FBufferInfoBlock.reset();
    FInputBufferInfos = nullptr;
    FOutputBufferInfos = nullptr;
    FInBuffer.clear();
    FOutBuffer.clear();
    FInputChannelInfos.clear();
    FOutputChannelInfos.clear();
    FProcessSize = 0;
    FInputCount = FOutputCount = 0;
  }
  FInputLatency.store(0);
  FOutputLatency.store(0);
  FInputChannels = 0;
  FOutputChannels = 0;
  FSampleRate.store(kDefaultSampleRate);
}

void TASIOHost::CloseCallbacks() {
  FCallbacksOpen.store(false);
  // A half already past the gate on another thread runs to its end; it
  // never waits for this thread, so the wait is one half at most.
  while (FCallbacksInFlight.load() > tCallbackDepth)
    std::this_thread::yield();
}

// Clears both halves of every channel, outputs first, each by its own
// sample size; a type without routines has no known size and is left alone.
void TASIOHost::ClearDriverBuffers() {
  auto clear = [this](const ASIOBufferInfo* Infos, const std::vector<ASIOChannelInfo>& Channels) {
    if (!Infos) return;
    for (std::size_t c = 0; c < Channels.size(); ++c) {
      const std::size_t bytes =
          static_cast<std::size_t>(FProcessSize) *
          static_cast<std::size_t>(std::max(0, SampleTypeSize(Channels[c].type)));
      for (void* half : Infos[c].buffers)
        if (half && bytes) std::memset(half, 0, bytes);
    }
  };
  clear(FOutputBufferInfos, FOutputChannelInfos);
  clear(FInputBufferInfos, FInputChannelInfos);
}

void TASIOHost::PostDriverRequest(std::atomic<bool>& Pending, int32_t WParam) {
  // One run serves every request made before it.
  if (Pending.exchange(true)) return;
  std::weak_ptr<TASIOHost*> token = FAliveToken;
  const bool reset = &Pending == &FResetPending;
  core::MainThread::Post([token, reset, WParam] {
    std::shared_ptr<TASIOHost*> alive = token.lock();
    if (!alive || !*alive) return;
    TASIOHost* host = *alive;
    (reset ? host->FResetPending : host->FLatencyPending).store(false);
    TASIOHostMessage message{PM_ASIO, WParam, 0, 0};
    try {
      host->Dispatch(message);
    } catch (...) {
      host->ReportDriverFailure(reset ? "failed while being reset" : "failed to report latencies",
                                0);
    }
  });
}

// Stopping and releasing a driver from inside its own callback would
// deadlock it, and a request from a thread of the driver's may meet the
// main thread unloading it: both run on the main thread.
void TASIOHost::RequestReset() {
  PostDriverRequest(FResetPending, 0);
}

void TASIOHost::RequestLatencyUpdate() {
  PostDriverRequest(FLatencyPending, 3);
}

// ---------------------------------------------------------- driver-thread path

void TASIOHost::Dispatch(TASIOHostMessage& Message) {
  switch (Message.Msg) {
    case PM_ASIO:
      HandleDriverRequest(Message);
      break;
    case PM_UpdateSamplePos:
      if (OnUpdateSamplePos)
        OnUpdateSamplePos(this, HiLoToInt64(static_cast<uint32_t>(Message.WParam),
                                            static_cast<uint32_t>(Message.LParam)));
      break;
    case PM_BufferSwitch:
      SwitchBuffers(Message.LParam);
      break;
    case PM_BufferSwitchTimeInfo:
      ProcessBuffers(Message.LParam, FASIOTime->Record());
      break;
    default:
      break;
  }
}

void TASIOHost::HandleDriverRequest(TASIOHostMessage& Message) {
  if (!FDriver) return;
  switch (Message.WParam) {
    case 0:
      LoadDriver();
      if (OnReset) OnReset(this);
      break;
    case 3: {
      int32_t inLatency = FInputLatency.load(), outLatency = FOutputLatency.load();
      FDriver->GetLatencies(&inLatency, &outLatency);
      FInputLatency.store(inLatency);
      FOutputLatency.store(outLatency);
      if (OnLatencyChanged) OnLatencyChanged(this);
      break;
    }
    default:
      break;
  }
}

void TASIOHost::SwitchBuffers(int32_t Index) {
  if (!FDriver || !FCallbacksOpen.load(std::memory_order_relaxed)) return;
  // Filled aside and stored at once: the main thread may be setting the
  // record's rate.
  asio::ASIOTime t{};
  if (FDriver->GetSamplePosition(&t.samplePosition, &t.systemTime) == ASE_OK)
    t.flags |= kSystemTimeValid | kSamplePositionValid;
  FASIOTime->Store(t);
  ProcessBuffers(Index, FASIOTime->Record());
}

void TASIOHost::FillNoise(float* Data, uint32_t Count) {
  uint64_t x = FRandomState;
  for (uint32_t i = 0; i < Count; ++i) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    // 24 random bits: k / 2^23 - 1 is exact in single precision and lies
    // in [-1, 1).
    const uint32_t k = static_cast<uint32_t>((x * 0x2545F4914F6CDD1Dull) >> 40);
    Data[i] = static_cast<float>(k) * (1.0f / 8388608.0f) - 1.0f;
  }
  FRandomState = x;
}

namespace {

inline uint32_t Span(uint32_t N, const dsp::TSingleArray& A) {
  return static_cast<uint32_t>(std::min<std::size_t>(N, A.size()));
}

}  // namespace

void TASIOHost::ProcessBuffers(int32_t Index, asio::ASIOTime& TimeInfo) {
  // Nothing without buffers, or once the host has stopped the driver.
  if (!FDriver || !FCallbacksOpen.load(std::memory_order_relaxed)) return;
  // Only the two halves exist.
  if (Index != 0 && Index != 1) return;
  const uint32_t n = FProcessSize;
  // The counts set up, bounded by what the arrays hold now: a handler or a
  // generator that resizes them reaches neither past the buffer-info
  // records nor past the converter lists.
  auto inputs = [this] { return std::min(FInputCount, FInBuffer.size()); };
  auto outputs = [this] { return std::min(FOutputCount, FOutBuffer.size()); };

  {
    // The host's own record is read under its lock.
    const int64_t position =
        &TimeInfo == &FASIOTime->Record()
            ? FASIOTime->SamplePos()
            : HiLoToInt64(TimeInfo.samplePosition.hi, TimeInfo.samplePosition.lo);
    uint32_t hi = 0, lo = 0;
    Int64ToHiLo(position, hi, lo);
    TASIOHostMessage message{PM_UpdateSamplePos, static_cast<int32_t>(hi), static_cast<int32_t>(lo),
                             0};
    Dispatch(message);
  }

  TASIOGenerator* generator = FCustomGenerator.load(std::memory_order_relaxed);
  auto preFill = [&](TBufferPreFill Mode, dsp::TArrayOfSingleArray& Buffers, std::size_t Count,
                     bool IsOutput) {
    switch (Mode) {
      case bpfZero:
        for (std::size_t c = 0; c < Count; ++c)
          std::fill_n(Buffers[c].data(), Span(n, Buffers[c]), 0.0f);
        return true;
      case bpfNoise:
        for (std::size_t c = 0; c < Count; ++c)
          FillNoise(Buffers[c].data(), Span(n, Buffers[c]));
        return true;
      case bpfCustom:
        if (generator) generator->ProcessBlock(Buffers, IsOutput);
        return true;
      default:
        return false;
    }
  };

  // Input: a pre-fill takes the driver's place.
  if (!preFill(FPreFillInBuffer.load(std::memory_order_relaxed), FInBuffer, inputs(), false) &&
      FInputBufferInfos) {
    for (std::size_t c = 0, count = inputs(); c < count; ++c) {
      void* half = FInputBufferInfos[c].buffers[Index];
      if (!half) continue;
      dsp::TSingleArray& a = FInBuffer[c];
      if (TDriverToFloat read = FInConverters[c])
        read(half, a.data(), static_cast<int32_t>(Span(n, a)));
      else
        std::fill_n(a.data(), Span(n, a), 0.0f);  // no routine: silence
    }
  }

  const bool clipping = FPreventClipping.load(std::memory_order_relaxed) != pcNone;
  TBufferProcess clip = FClipBuffer.load(std::memory_order_relaxed);
  if (clipping && clip)
    for (std::size_t c = 0, count = inputs(); c < count; ++c)
      clip(FInBuffer[c].data(), static_cast<int32_t>(Span(n, FInBuffer[c])));

  preFill(FPreFillOutBuffer.load(std::memory_order_relaxed), FOutBuffer, outputs(), true);

  auto copyChannel = [&](std::size_t From, std::size_t To) {
    if (From >= inputs() || To >= outputs()) return;  // only channels that exist
    const dsp::TSingleArray& src = FInBuffer[From];
    dsp::TSingleArray& dst = FOutBuffer[To];
    std::memcpy(dst.data(), src.data(), std::min(Span(n, src), Span(n, dst)) * sizeof(float));
  };
  const std::size_t inOffset = FInputChannelOffset.load(std::memory_order_relaxed);
  const std::size_t outOffset = FOutputChannelOffset.load(std::memory_order_relaxed);
  switch (FInputMonitor.load(std::memory_order_relaxed)) {
    case imMono:
      copyChannel(inOffset, outOffset);
      break;
    case imStereo:
      copyChannel(inOffset, outOffset);
      copyChannel(inOffset + 1, outOffset + 1);
      break;
    case imAll:
      for (std::size_t c = 0, count = std::min(inputs(), outputs()); c < count; ++c)
        copyChannel(c, c);
      break;
    default:
      break;
  }

  if (OnBufferSwitch) OnBufferSwitch(this, FInBuffer, FOutBuffer);

  if (clipping && clip)
    for (std::size_t c = 0, count = outputs(); c < count; ++c)
      clip(FOutBuffer[c].data(), static_cast<int32_t>(Span(n, FOutBuffer[c])));

  if (FOutputBufferInfos) {
    for (std::size_t c = 0, count = outputs(); c < count; ++c) {
      void* half = FOutputBufferInfos[c].buffers[Index];
      // A type without routines has no known size: its buffer is left alone.
      if (!half || !FOutConverters[c]) continue;
      const dsp::TSingleArray& a = FOutBuffer[c];
      FOutConverters[c](a.data(), half, static_cast<int32_t>(Span(n, a)));
    }
  }

  FDriver->OutputReady();
}

}  // namespace asio
