#include "asio/DASIOHost.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>

#include "core/MainThread.h"
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
  return HiLoToInt64(FBufferTime.samplePosition.hi, FBufferTime.samplePosition.lo);
}

void TASIOTimeSub::SetSamplePos(int64_t Value) {
  if (Value == SamplePos()) return;
  Int64ToHiLo(Value, FBufferTime.samplePosition.hi, FBufferTime.samplePosition.lo);
  Change();
}

void TASIOTimeSub::SetSpeed(double Value) {
  if (Value == FBufferTime.speed) return;
  FBufferTime.speed = Value;
  Change();
}

void TASIOTimeSub::SetSampleRate(double Value) {
  if (Value == FBufferTime.sampleRate) return;
  FBufferTime.sampleRate = Value;
  Change();
}

TATFlags TASIOTimeSub::Flags() const {
  return TATFlags::FromBits(static_cast<uint8_t>(FBufferTime.flags & 0x3Fu));
}

void TASIOTimeSub::SetFlags(TATFlags Value) {
  FBufferTime.flags = Value.Bits() & 0x3Fu;
}

void TASIOTimeSub::Assign(const TASIOTimeSub& Source) {
  if (&Source != this) std::memcpy(&FBufferTime, &Source.FBufferTime, sizeof(FBufferTime));
  Change();
}

void TASIOTimeSub::Change() {
  if (OnChanged) OnChanged(this);
}

// ------------------------------------------------------------ callback path

namespace {

std::atomic<TASIOHost*> GCurrentHost{nullptr};

// The process-wide message records of the driver-thread path; one driver
// calls one host, one call at a time.
TASIOHostMessage GDriverRequest{PM_ASIO, 0, 0, 0};
TASIOHostMessage GSamplePosMessage{PM_UpdateSamplePos, 0, 0, 0};
TASIOHostMessage GBufferSwitchMessage{PM_BufferSwitch, 0, 0, 0};
TASIOHostMessage GBufferSwitchTimeInfoMessage{PM_BufferSwitchTimeInfo, 0, 0, 0};

constexpr uint32_t kDefaultBufferSize = 4096;
constexpr double kDefaultSampleRate = 44100.0;

}  // namespace

TASIOHost* CurrentHost() {
  return GCurrentHost.load(std::memory_order_acquire);
}

// The four entry points of the callback record. Nothing raised on the
// host's side may travel back into the driver.
struct TASIOCallbackGate {
  static void BufferSwitch(int32_t DoubleBufferIndex, ASIOBool /*DirectProcess*/) {
    TASIOHost* host = CurrentHost();
    if (!host) return;
    try {
      GBufferSwitchMessage.LParam = DoubleBufferIndex;
      host->Dispatch(GBufferSwitchMessage);
    } catch (...) {
    }
  }

  static void SampleRateDidChange(ASIOSampleRate /*Rate*/) {
    TASIOHost* host = CurrentHost();
    if (!host) return;
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
            GDriverRequest = TASIOHostMessage{PM_ASIO, 3, 0, 0};
            host->Dispatch(GDriverRequest);
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
    try {
      if (Params) std::memcpy(&host->ASIOTime().Record(), Params, sizeof(asio::ASIOTime));
      GBufferSwitchTimeInfoMessage.LParam = DoubleBufferIndex;
      host->Dispatch(GBufferSwitchTimeInfoMessage);
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
  *FAliveToken = nullptr;  // a reset still waiting in the queue finds no host
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

// ------------------------------------------------------------ property setters

void TASIOHost::SetActive(bool Value) {
  if (IsLoading()) {
    FLoadedActive = Value;
    return;
  }
  if (!FDriver || Value == FActive) return;
  if (Value) {
    try {
      FActive = FDriver->Start() == ASE_OK;
    } catch (...) {
      FActive = false;
      FBufferSize = 2048;
      FSampleRate = kDefaultSampleRate;
    }
    if (!FActive) {
      try {
        FDriver->Stop();
      } catch (...) {
      }
    }
  } else {
    FActive = false;
    try {
      FDriver->Stop();
    } catch (...) {
    }
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
    FBufferSize = 0;
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
      return;  // the index stays stored; Active stays False
    }
  }
  if (OnDriverChanged) OnDriverChanged(this);
  SetActive(wasActive);
}

uint32_t TASIOHost::BufferSize() {
  if (FBufferSize == 0 || FBufferSize > 65530) FBufferSize = kDefaultBufferSize;
  return FBufferSize;
}

void TASIOHost::SetCustomGenerator(TASIOGenerator* Value) {
  if (Value == FCustomGenerator.load()) return;
  FCustomGenerator.store(Value);
  if (Value) {
    Value->SetBlockSize(FBufferSize);
    Value->SetSampleRate(FSampleRate);
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
  if (!(FSampleRate >= 1.0 && FSampleRate <= 1048575.0)) FSampleRate = kDefaultSampleRate;
  return FSampleRate;
}

void TASIOHost::SetSampleRate(double Value) {
  FSampleRate = Value;
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
        if (FDriver->Init(Handle()) == ASIOFalse) FDriver.Reset();
      }
    } catch (...) {
      FDriver.Reset();
    }
  }
  FBuffersCreated = SetupBuffers();
  if (remembered) SetActive(true);
}

bool TASIOHost::SetupBuffers() {
  if (!FDriver) return false;
  if (FBuffersCreated) ReleaseBuffers();

  FDriver->GetBufferSize(&FBufferMinimum, &FBufferMaximum, &FBufferPreferredSize,
                         &FBufferGranularity);
  if (FBufferMinimum == FBufferMaximum) FBufferPreferredSize = FBufferMinimum;
  FBufferSize = static_cast<uint32_t>(FBufferPreferredSize);
  // The size the host processes and asks the driver for: a preferred size
  // of 0 or above 65530 is repaired here, so the driver's buffers always
  // hold what the per-buffer path converts.
  const uint32_t n = BufferSize();
  if (TASIOGenerator* g = FCustomGenerator.load()) g->SetBlockSize(n);

  FDriver->GetSampleRate(&FSampleRate);
  if (!(FSampleRate >= 0.0)) FSampleRate = kDefaultSampleRate;
  SetSampleRate(FSampleRate);

  FDriver->GetChannels(&FInputChannels, &FOutputChannels);
  const std::size_t inputs = static_cast<std::size_t>(std::max(0, FInputChannels));
  const std::size_t outputs = static_cast<std::size_t>(std::max(0, FOutputChannels));

  // The records start at the first 16-byte boundary strictly above the
  // block's start.
  FBufferInfoBlock.reset(new uint8_t[(inputs + outputs) * sizeof(ASIOBufferInfo) + 16]);
  const uintptr_t start = reinterpret_cast<uintptr_t>(FBufferInfoBlock.get());
  uint8_t* first = FBufferInfoBlock.get() + (16 - start % 16);
  FInputBufferInfos = reinterpret_cast<ASIOBufferInfo*>(first);
  FOutputBufferInfos = FInputBufferInfos + inputs;
  FProcessSize = n;

  FInputChannelInfos.assign(inputs, ASIOChannelInfo{});
  FInBuffer.assign(inputs, dsp::TSingleArray(n, 0.0f));
  FInConverters.assign(inputs, nullptr);
  for (std::size_t c = 0; c < inputs; ++c) {
    ASIOChannelInfo& info = FInputChannelInfos[c];
    info.channel = static_cast<int32_t>(c);
    info.isInput = ASIOTrue;
    FDriver->GetChannelInfo(&info);
    FInConverters[c] = SampleReaderFor(info.type);
    new (&FInputBufferInfos[c]) ASIOBufferInfo{ASIOTrue, static_cast<int32_t>(c), {}};
  }
  FOutputChannelInfos.assign(outputs, ASIOChannelInfo{});
  FOutBuffer.assign(outputs, dsp::TSingleArray(n, 0.0f));
  FOutConverters.assign(outputs, nullptr);
  for (std::size_t c = 0; c < outputs; ++c) {
    ASIOChannelInfo& info = FOutputChannelInfos[c];
    info.channel = static_cast<int32_t>(c);
    info.isInput = ASIOFalse;
    FDriver->GetChannelInfo(&info);
    FOutConverters[c] = SampleWriterFor(info.type);
    new (&FOutputBufferInfos[c]) ASIOBufferInfo{ASIOFalse, static_cast<int32_t>(c), {}};
  }

  const bool answer =
      FDriver->CreateBuffers(FInputBufferInfos, static_cast<int32_t>(inputs + outputs),
                             static_cast<int32_t>(n), &FCallbacks) == ASE_OK;

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
}

void TASIOHost::UnloadDriver() {
  if (FDriver) {
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
  }
  FInputLatency.store(0);
  FOutputLatency.store(0);
  FInputChannels = 0;
  FOutputChannels = 0;
  FSampleRate = kDefaultSampleRate;
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

void TASIOHost::RequestReset() {
  // One reload serves every request made before it runs.
  if (FResetPending.exchange(true)) return;
  std::weak_ptr<TASIOHost*> token = FAliveToken;
  // Stopping and releasing a driver from inside its own callback would
  // deadlock it: the reload runs on the main thread instead.
  core::MainThread::Post([token] {
    std::shared_ptr<TASIOHost*> alive = token.lock();
    if (!alive || !*alive) return;
    TASIOHost* host = *alive;
    host->FResetPending.store(false);
    TASIOHostMessage message{PM_ASIO, 0, 0, 0};
    try {
      host->Dispatch(message);
    } catch (...) {
    }
  });
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
  if (!FDriver) return;
  asio::ASIOTime& t = FASIOTime->Record();
  std::memset(&t, 0, sizeof(t));
  if (FDriver->GetSamplePosition(&t.samplePosition, &t.systemTime) == ASE_OK)
    FASIOTime->SetFlags(FASIOTime->Flags() + TATFlags{atSystemTimeValid, atSamplePositionValid});
  ProcessBuffers(Index, t);
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
  if (!FDriver) return;
  // Only the two halves exist.
  if (Index != 0 && Index != 1) return;
  const uint32_t n = FProcessSize;
  const std::size_t inputs = FInBuffer.size();
  const std::size_t outputs = FOutBuffer.size();

  GSamplePosMessage.WParam = static_cast<int32_t>(TimeInfo.samplePosition.hi);
  GSamplePosMessage.LParam = static_cast<int32_t>(TimeInfo.samplePosition.lo);
  Dispatch(GSamplePosMessage);

  TASIOGenerator* generator = FCustomGenerator.load(std::memory_order_relaxed);
  auto preFill = [&](TBufferPreFill Mode, dsp::TArrayOfSingleArray& Buffers, bool IsOutput) {
    switch (Mode) {
      case bpfZero:
        for (dsp::TSingleArray& a : Buffers)
          std::fill_n(a.data(), Span(n, a), 0.0f);
        return true;
      case bpfNoise:
        for (dsp::TSingleArray& a : Buffers)
          FillNoise(a.data(), Span(n, a));
        return true;
      case bpfCustom:
        if (generator) generator->ProcessBlock(Buffers, IsOutput);
        return true;
      default:
        return false;
    }
  };

  // Input: a pre-fill takes the driver's place.
  if (!preFill(FPreFillInBuffer.load(std::memory_order_relaxed), FInBuffer, false) &&
      FInputBufferInfos) {
    for (std::size_t c = 0; c < inputs; ++c) {
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
    for (dsp::TSingleArray& a : FInBuffer)
      clip(a.data(), static_cast<int32_t>(Span(n, a)));

  preFill(FPreFillOutBuffer.load(std::memory_order_relaxed), FOutBuffer, true);

  auto copyChannel = [&](std::size_t From, std::size_t To) {
    if (From >= inputs || To >= outputs) return;  // only channels that exist
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
      for (std::size_t c = 0; c < std::min(inputs, outputs); ++c)
        copyChannel(c, c);
      break;
    default:
      break;
  }

  if (OnBufferSwitch) OnBufferSwitch(this, FInBuffer, FOutBuffer);

  if (clipping && clip)
    for (dsp::TSingleArray& a : FOutBuffer)
      clip(a.data(), static_cast<int32_t>(Span(n, a)));

  // A handler may not resize the arrays; if one did, the count still never
  // exceeds what the driver's buffers hold.
  if (FOutputBufferInfos) {
    const std::size_t count = std::min(outputs, FOutBuffer.size());
    for (std::size_t c = 0; c < count; ++c) {
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
