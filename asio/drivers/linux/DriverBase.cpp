#include "asio/drivers/linux/DriverBase.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <pthread.h>
#include <sched.h>

#include "core/MainThread.h"
#include "core/StatusChannel.h"

namespace asio::drivers {

namespace {

void CopyText(char* Destination, const std::string& Text, std::size_t Capacity) {
  std::size_t n = std::min(Text.size(), Capacity - 1);
  std::memcpy(Destination, Text.data(), n);
  Destination[n] = 0;
}

constexpr std::size_t kAlign = 16;
std::size_t RoundUp(std::size_t Bytes) {
  return (Bytes + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

TDriverBase::TDriverBase(std::string Name, std::string SettingsKey)
    : FName(std::move(Name)), FSettingsKey(std::move(SettingsKey)) {}

TDriverBase::~TDriverBase() = default;

void TDriverBase::RunOnMainThread(std::function<void()> Method, uint32_t DelayMs) {
  auto call = [alive = std::weak_ptr<int>(FAlive), Method = std::move(Method)] {
    if (!alive.expired()) Method();
  };
  if (DelayMs == 0)
    core::MainThread::Post(std::move(call));
  else
    core::MainThread::PostDelayed(std::move(call), DelayMs);
}

void TDriverBase::PostDriverStatus(core::TStatusSeverity Severity, const char* Format, ...) const {
  char text[core::TStatusRecord::kTextSize];
  int n = std::snprintf(text, sizeof text, "%s: ", FName.c_str());
  if (n < 0) n = 0;
  if (static_cast<std::size_t>(n) < sizeof text) {
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text + n, sizeof text - static_cast<std::size_t>(n), Format, args);
    va_end(args);
  }
  core::PostStatus(core::ssDriver, Severity, 0, text);
}

void TDriverBase::Shutdown() {
  if (FState == TDriverState::dsRunning || FState == TDriverState::dsPrepared) disposeBuffers();
}

int32_t TDriverBase::QueryInterface(const TGUID& IID, void** Obj) {
  if (!Obj) return ASE_InvalidParameter;
  if (IID == kStatsIID)
    *Obj = static_cast<IDriverStats*>(this);
  else
    *Obj = static_cast<IASIODriver*>(this);
  AddRef();
  return 0;
}

uint32_t TDriverBase::AddRef() {
  return FRefCount.fetch_add(1) + 1;
}

uint32_t TDriverBase::Release() {
  uint32_t left = FRefCount.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

ASIOBool TDriverBase::init(void*) {
  if (FState != TDriverState::dsCreated) return ASIOTrue;
  if (!OpenDevice()) return ASIOFalse;
  FState = TDriverState::dsInitialized;
  return ASIOTrue;
}

void TDriverBase::getDriverName(char* name) {
  if (name) CopyText(name, FName, 32);
}

void TDriverBase::getErrorMessage(char* string) {
  if (string) CopyText(string, FError, 124);
}

void TDriverBase::SetError(const char* Message) {
  FError = Message ? Message : "";
}

ASIOError TDriverBase::start() {
  if (FState == TDriverState::dsRunning) return ASE_OK;
  if (FState != TDriverState::dsPrepared) {
    SetError("start: no buffers");
    return ASE_InvalidMode;
  }
  FDeviceLost.store(false);
  ASIOError err = StartStream();
  if (err != ASE_OK) return err;
  FState = TDriverState::dsRunning;
  return ASE_OK;
}

ASIOError TDriverBase::stop() {
  if (FState != TDriverState::dsRunning) return ASE_OK;
  StopStream();
  FState = TDriverState::dsPrepared;
  return ASE_OK;
}

ASIOError TDriverBase::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  if (FState == TDriverState::dsCreated) return ASE_NotPresent;
  if (numInputChannels) *numInputChannels = InputCount();
  if (numOutputChannels) *numOutputChannels = OutputCount();
  return ASE_OK;
}

ASIOError TDriverBase::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                     int32_t* granularity) {
  if (FState == TDriverState::dsCreated) return ASE_NotPresent;
  int32_t mn = 0, mx = 0, pref = 0, gran = 0;
  BufferRange(mn, mx, pref, gran);
  if (minSize) *minSize = mn;
  if (maxSize) *maxSize = mx;
  if (preferredSize) *preferredSize = pref;
  if (granularity) *granularity = gran;
  return ASE_OK;
}

ASIOError TDriverBase::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  if (!clocks || !numSources) return ASE_InvalidParameter;
  if (*numSources >= 1) {
    std::memset(clocks, 0, sizeof(ASIOClockSource));
    clocks->associatedChannel = -1;
    clocks->isCurrentSource = ASIOTrue;
    CopyText(clocks->name, "Internal", sizeof clocks->name);
  }
  *numSources = 1;
  return ASE_OK;
}

ASIOError TDriverBase::setClockSource(int32_t reference) {
  return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

void TDriverBase::StorePosition(int64_t SamplePosition, int64_t SystemTimeNs) {
  // Sequentially consistent throughout: an odd count marks a write in
  // progress, and no access can move across the counter's updates.
  FPosSeq.fetch_add(1);
  FPos.store(SamplePosition);
  FPosTime.store(SystemTimeNs);
  FPosSeq.fetch_add(1);
}

ASIOError TDriverBase::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  if (!sPos || !tStamp) return ASE_InvalidParameter;
  TDriverState state = FState.load();
  if (state != TDriverState::dsPrepared && state != TDriverState::dsRunning) return ASE_NotPresent;
  int64_t pos, when;
  for (;;) {
    uint32_t before = FPosSeq.load();
    pos = FPos.load();
    when = FPosTime.load();
    if ((before & 1) == 0 && FPosSeq.load() == before) break;
  }
  Int64ToHiLo(pos, sPos->hi, sPos->lo);
  Int64ToHiLo(when, tStamp->hi, tStamp->lo);
  return ASE_OK;
}

ASIOError TDriverBase::getChannelInfo(ASIOChannelInfo* info) {
  if (!info) return ASE_InvalidParameter;
  if (FState == TDriverState::dsCreated) return ASE_NotPresent;
  bool input = info->isInput != ASIOFalse;
  int32_t count = input ? InputCount() : OutputCount();
  if (info->channel < 0 || info->channel >= count) return ASE_InvalidParameter;
  const std::vector<uint8_t*>& halves = input ? FInHalves : FOutHalves;
  std::size_t slot = static_cast<std::size_t>(info->channel) * 2;
  info->isActive = (slot < halves.size() && halves[slot]) ? ASIOTrue : ASIOFalse;
  info->channelGroup = 0;
  info->type = SampleType(input);
  std::string name = std::string(input ? "In " : "Out ") + std::to_string(info->channel + 1);
  CopyText(info->name, name, sizeof info->name);
  return ASE_OK;
}

int32_t TDriverBase::SampleBytes(bool IsInput) const {
  switch (SampleType(IsInput)) {
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

ASIOError TDriverBase::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                     int32_t bufferSize, ASIOCallbacks* callbacks) {
  if (FState == TDriverState::dsCreated) return ASE_NotPresent;
  if (FState == TDriverState::dsRunning) return ASE_InvalidMode;
  if (FState == TDriverState::dsPrepared) disposeBuffers();
  if (!bufferInfos || numChannels <= 0 || !callbacks || !callbacks->bufferSwitch) {
    SetError("createBuffers: invalid arguments");
    return ASE_InvalidParameter;
  }
  int32_t mn = 0, mx = 0, pref = 0, gran = 0;
  BufferRange(mn, mx, pref, gran);
  if (bufferSize < mn || bufferSize > mx) {
    SetError("createBuffers: buffer size out of range");
    return ASE_InvalidMode;
  }
  const int32_t ins = InputCount(), outs = OutputCount();
  std::vector<uint8_t*> inHalves(static_cast<std::size_t>(ins) * 2, nullptr);
  std::vector<uint8_t*> outHalves(static_cast<std::size_t>(outs) * 2, nullptr);
  const std::size_t inBytes = RoundUp(static_cast<std::size_t>(bufferSize) * SampleBytes(true));
  const std::size_t outBytes = RoundUp(static_cast<std::size_t>(bufferSize) * SampleBytes(false));
  std::size_t total = 0;
  for (int32_t i = 0; i < numChannels; ++i) {
    const ASIOBufferInfo& b = bufferInfos[i];
    bool input = b.isInput != ASIOFalse;
    int32_t count = input ? ins : outs;
    std::vector<uint8_t*>& halves = input ? inHalves : outHalves;
    if (b.channelNum < 0 || b.channelNum >= count ||
        halves[static_cast<std::size_t>(b.channelNum) * 2] != nullptr) {
      SetError("createBuffers: invalid or repeated channel");
      return ASE_InvalidParameter;
    }
    // Mark the channel taken; the real address follows below.
    halves[static_cast<std::size_t>(b.channelNum) * 2] = reinterpret_cast<uint8_t*>(1);
    total += 2 * (input ? inBytes : outBytes);
  }
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[total + kAlign]);
  if (!block) {
    SetError("createBuffers: out of memory");
    return ASE_NoMemory;
  }
  std::memset(block.get(), 0, total + kAlign);
  uint8_t* at = block.get() + (kAlign - reinterpret_cast<uintptr_t>(block.get()) % kAlign) % kAlign;
  for (int32_t i = 0; i < numChannels; ++i) {
    ASIOBufferInfo& b = bufferInfos[i];
    bool input = b.isInput != ASIOFalse;
    std::size_t bytes = input ? inBytes : outBytes;
    std::vector<uint8_t*>& halves = input ? inHalves : outHalves;
    std::size_t slot = static_cast<std::size_t>(b.channelNum) * 2;
    halves[slot] = at;
    halves[slot + 1] = at + bytes;
    b.buffers[0] = at;
    b.buffers[1] = at + bytes;
    at += 2 * bytes;
  }
  FBlock = std::move(block);
  FInHalves = std::move(inHalves);
  FOutHalves = std::move(outHalves);
  FCallbacks = *callbacks;
  FUseTimeInfo = FCallbacks.asioMessage && FCallbacks.bufferSwitchTimeInfo &&
                 FCallbacks.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
  FBufferFrames = bufferSize;
  // Clear the request flag before the new set is published: cleared after,
  // a request raised in between would be followed by a second for the
  // same set.
  FResetPending.store(false);
  FBuffersGeneration.store(++FGenerations);
  StorePosition(0, MonotonicNs());
  ASIOError err = Prepare(bufferSize);
  if (err != ASE_OK) {
    ReleaseBuffers();
    for (int32_t i = 0; i < numChannels; ++i)
      bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    return err;
  }
  FState = TDriverState::dsPrepared;
  return ASE_OK;
}

void TDriverBase::ReleaseBuffers() {
  FBuffersGeneration.store(0);
  FInHalves.clear();
  FOutHalves.clear();
  FBlock.reset();
  FBufferFrames = 0;
  FCallbacks = ASIOCallbacks{};
}

ASIOError TDriverBase::disposeBuffers() {
  if (FState == TDriverState::dsRunning) stop();
  if (FState != TDriverState::dsPrepared) return ASE_InvalidMode;
  Unprepare();
  ReleaseBuffers();
  FState = TDriverState::dsInitialized;
  return ASE_OK;
}

void TDriverBase::PanelChoices(TPanelChoices& Choices) const {
  int32_t mn = 0, mx = 0, pref = 0, gran = 0;
  BufferRange(mn, mx, pref, gran);
  Choices.BufferSizes = PowerOfTwoSizes(mn, mx, pref);
  Choices.CurrentBufferSize = FBufferFrames > 0 ? FBufferFrames : pref;
}

bool TDriverBase::ApplyPick(const TPanelPick& Pick) {
  int32_t mn = 0, mx = 0, pref = 0, gran = 0;
  BufferRange(mn, mx, pref, gran);
  if (Pick.BufferSize < mn || Pick.BufferSize > mx) return false;
  TDriverSettings s = GetDriverSettings(FSettingsKey);
  int32_t current = FBufferFrames > 0 ? FBufferFrames : pref;
  s.BufferSize = Pick.BufferSize;
  SetDriverSettings(FSettingsKey, s);
  return Pick.BufferSize != current;
}

ASIOError TDriverBase::controlPanel() {
  TControlPanelHook hook = ControlPanelHook();
  if (!hook || FState == TDriverState::dsCreated) return ASE_OK;
  TPanelChoices choices;
  choices.DriverName = FName;
  PanelChoices(choices);
  TPanelPick pick{choices.CurrentBufferSize, choices.CurrentFormat};
  if (!hook(choices, pick)) return ASE_OK;
  if (ApplyPick(pick)) RequestReset();
  return ASE_OK;
}

ASIOError TDriverBase::future(int32_t selector, void*) {
  return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent;
}

void TDriverBase::RequestReset() {
  const uint64_t generation = FBuffersGeneration.load();
  if (generation == 0 || FResetPending.exchange(true)) return;
  // Never from the stream thread itself: the host's reset stops the
  // driver, which joins that thread. The main thread carries it out, for
  // the buffers it was asked for only.
  RunOnMainThread([this, generation] {
    // A request for buffers since replaced leaves the flag alone: it is the
    // new set's, cleared when the set was made.
    if (FBuffersGeneration.load() != generation) return;
    FResetPending.store(false);
    ASIOCallbacks cb = FCallbacks;
    // The host's reset may destroy this driver: nothing of it after this.
    if (cb.asioMessage) cb.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  });
}

void TDriverBase::NotifyLatencyChanged() {
  const uint64_t generation = FBuffersGeneration.load();
  if (generation == 0 || FLatencyPending.exchange(true)) return;
  RunOnMainThread([this, generation] {
    FLatencyPending.store(false);
    if (FBuffersGeneration.load() != generation) return;
    if (FCallbacks.asioMessage) FCallbacks.asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
  });
}

void TDriverBase::DeliverHalf(int32_t Index, int64_t SamplePosition, int64_t SystemTimeNs) {
  StorePosition(SamplePosition, SystemTimeNs);
  if (FUseTimeInfo) {
    FTime.speed = 1.0;
    FTime.sampleRate = FRate;
    Int64ToHiLo(SamplePosition, FTime.samplePosition.hi, FTime.samplePosition.lo);
    Int64ToHiLo(SystemTimeNs, FTime.systemTime.hi, FTime.systemTime.lo);
    FTime.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid | kSpeedValid;
    FCallbacks.bufferSwitchTimeInfo(&FTime, Index, ASIOTrue);
  } else {
    FCallbacks.bufferSwitch(Index, ASIOTrue);
  }
  FCallbacksDone.fetch_add(1, std::memory_order_relaxed);
}

uint8_t* TDriverBase::InputHalf(int32_t Channel, int32_t Index) const {
  return FInHalves[static_cast<std::size_t>(Channel) * 2 + static_cast<std::size_t>(Index)];
}

uint8_t* TDriverBase::OutputHalf(int32_t Channel, int32_t Index) const {
  return FOutHalves[static_cast<std::size_t>(Channel) * 2 + static_cast<std::size_t>(Index)];
}

TDriverStats TDriverBase::Stats() const {
  TDriverStats s;
  s.Callbacks = FCallbacksDone.load();
  s.Xruns = FXruns.load();
  s.DroppedFrames = FDropped.load();
  s.DeviceLost = FDeviceLost.load();
  return s;
}

int64_t TDriverBase::MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void TDriverBase::PromoteToRealtime(std::thread& Thread) {
  sched_param param{};
  param.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), 70);
  if (pthread_setschedparam(Thread.native_handle(), SCHED_FIFO, &param) != 0) {
    // Not permitted (no rtprio limit): normal priority serves.
  }
}

int64_t FramesToNs(int64_t Frames, int64_t Rate) {
  // Whole seconds and the rest apart: the rest times 1e9 stays below
  // Rate * 1e9, far inside 64 bits.
  return Frames / Rate * 1000000000 + Frames % Rate * 1000000000 / Rate;
}

std::vector<int32_t> PowerOfTwoSizes(int32_t Min, int32_t Max, int32_t Preferred) {
  std::vector<int32_t> sizes;
  for (int64_t s = 1; s <= Max; s *= 2)
    if (s >= Min) sizes.push_back(static_cast<int32_t>(s));
  if (Preferred >= Min && Preferred <= Max &&
      std::find(sizes.begin(), sizes.end(), Preferred) == sizes.end()) {
    sizes.push_back(Preferred);
    std::sort(sizes.begin(), sizes.end());
  }
  return sizes;
}

int32_t NearestSize(const std::vector<int32_t>& Sizes, int32_t Wanted) {
  int32_t best = Sizes.empty() ? Wanted : Sizes.front();
  for (int32_t s : Sizes) {
    int64_t d = std::abs(static_cast<int64_t>(s) - Wanted);
    int64_t bd = std::abs(static_cast<int64_t>(best) - Wanted);
    if (d < bd) best = s;
  }
  return best;
}

}  // namespace asio::drivers
