#include "SubstituteDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "asio/DASIOConvert.h"

namespace asio::test {

TSubstituteDriver::TSubstituteDriver(const TSubstituteConfig& Config, const TGUID& ClassId)
    : FConfig(Config),
      FClassId(ClassId),
      FInputLatency(Config.InputLatency),
      FOutputLatency(Config.OutputLatency) {}

TSubstituteDriver::~TSubstituteDriver() {
  StopMessageThread();
  StopThread();
}

void TSubstituteDriver::Record(TDriverOp Op, bool Ordered) {
  FCounts[static_cast<int>(Op)].fetch_add(1);
  if (!Ordered) return;
  std::lock_guard<std::mutex> guard(FLogLock);
  FLog.push_back(Op);
}

bool TSubstituteDriver::Inject(TDriverOp Op) {
  const uint32_t bit = 1u << static_cast<int>(Op);
  if (FConfig.ThrowingOps & bit) throw std::runtime_error("substitute driver: injected error");
  return (FConfig.FailingOps & bit) != 0;
}

std::vector<TDriverOp> TSubstituteDriver::Log() const {
  std::lock_guard<std::mutex> guard(FLogLock);
  return FLog;
}

ASIOSampleType TSubstituteDriver::TypeOf(bool IsInput, int32_t Channel) const {
  const auto& types = IsInput ? FConfig.InputTypes : FConfig.OutputTypes;
  if (Channel >= 0 && static_cast<std::size_t>(Channel) < types.size()) return types[Channel];
  return FConfig.DefaultType;
}

ASIOBool TSubstituteDriver::init(void* sysHandle) {
  Record(TDriverOp::Init);
  if (Inject(TDriverOp::Init)) return ASIOFalse;
  FInitHandle = sysHandle;
  return FConfig.InitFails ? ASIOFalse : ASIOTrue;
}

void TSubstituteDriver::getDriverName(char* name) {
  Record(TDriverOp::GetDriverName);
  if (Inject(TDriverOp::GetDriverName)) return;
  std::snprintf(name, 32, "%s", FConfig.NamePrefix.c_str());
}

int32_t TSubstituteDriver::getDriverVersion() {
  Record(TDriverOp::GetDriverVersion);
  if (Inject(TDriverOp::GetDriverVersion)) return 0;
  return FConfig.Version;
}

void TSubstituteDriver::getErrorMessage(char* string) {
  Record(TDriverOp::GetErrorMessage);
  if (Inject(TDriverOp::GetErrorMessage)) return;
  std::snprintf(string, 124, "%s", FConfig.ErrorMessage.c_str());
}

ASIOError TSubstituteDriver::start() {
  Record(TDriverOp::Start);
  if (Inject(TDriverOp::Start)) return ASE_HWMalfunction;
  if (FConfig.StartThrows) throw std::runtime_error("start failed");
  if (FConfig.StartResult != ASE_OK) return FConfig.StartResult;
  if (FConfig.ThreadedCallbacks && !FThread.joinable()) {
    FStopRequested.store(false);
    FThread = std::thread([this] { ThreadLoop(); });
  }
  return ASE_OK;
}

ASIOError TSubstituteDriver::stop() {
  Record(TDriverOp::Stop);
  const bool fail = Inject(TDriverOp::Stop);
  StopThread();
  return fail ? ASE_HWMalfunction : ASE_OK;
}

void TSubstituteDriver::StopThread() {
  FStopRequested.store(true);
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

ASIOError TSubstituteDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  Record(TDriverOp::GetChannels);
  if (Inject(TDriverOp::GetChannels)) return ASE_HWMalfunction;
  *numInputChannels = FConfig.InputChannels;
  *numOutputChannels = FConfig.OutputChannels;
  return ASE_OK;
}

ASIOError TSubstituteDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
  Record(TDriverOp::GetLatencies);
  if (Inject(TDriverOp::GetLatencies)) return ASE_HWMalfunction;
  *inputLatency = FInputLatency.load();
  *outputLatency = FOutputLatency.load();
  return ASE_OK;
}

void TSubstituteDriver::SetLatencies(int32_t Input, int32_t Output) {
  FInputLatency.store(Input);
  FOutputLatency.store(Output);
}

ASIOError TSubstituteDriver::getBufferSize(int32_t* minSize, int32_t* maxSize,
                                           int32_t* preferredSize, int32_t* granularity) {
  Record(TDriverOp::GetBufferSize);
  if (Inject(TDriverOp::GetBufferSize)) return ASE_HWMalfunction;
  if (FConfig.GetBufferSizeThrows) throw std::runtime_error("getBufferSize failed");
  *minSize = FConfig.MinSize;
  *maxSize = FConfig.MaxSize;
  *preferredSize = FConfig.PreferredSize;
  *granularity = FConfig.Granularity;
  return ASE_OK;
}

ASIOError TSubstituteDriver::canSampleRate(ASIOSampleRate) {
  Record(TDriverOp::CanSampleRate);
  if (Inject(TDriverOp::CanSampleRate)) return ASE_HWMalfunction;
  return ASE_OK;
}

ASIOError TSubstituteDriver::getSampleRate(ASIOSampleRate* sampleRate) {
  Record(TDriverOp::GetSampleRate);
  if (Inject(TDriverOp::GetSampleRate)) return ASE_HWMalfunction;
  *sampleRate = FConfig.SampleRate;
  return ASE_OK;
}

ASIOError TSubstituteDriver::setSampleRate(ASIOSampleRate sampleRate) {
  Record(TDriverOp::SetSampleRate);
  if (Inject(TDriverOp::SetSampleRate)) return ASE_HWMalfunction;
  FLastSetSampleRate = sampleRate;
  return ASE_OK;
}

ASIOError TSubstituteDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  Record(TDriverOp::GetClockSources);
  if (Inject(TDriverOp::GetClockSources)) return ASE_HWMalfunction;
  if (*numSources > 0) {
    clocks[0] = ASIOClockSource{0, -1, 0, ASIOTrue, "Internal"};
    *numSources = 1;
  }
  return ASE_OK;
}

ASIOError TSubstituteDriver::setClockSource(int32_t) {
  Record(TDriverOp::SetClockSource);
  if (Inject(TDriverOp::SetClockSource)) return ASE_HWMalfunction;
  return ASE_OK;
}

ASIOError TSubstituteDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  Record(TDriverOp::GetSamplePosition, false);
  if (Inject(TDriverOp::GetSamplePosition)) return ASE_HWMalfunction;
  if (FConfig.SamplePositionResult != ASE_OK) return FConfig.SamplePositionResult;
  Int64ToHiLo(FSamplePosition.load(), sPos->hi, sPos->lo);
  tStamp->hi = 0;
  tStamp->lo = 1000;
  return ASE_OK;
}

ASIOError TSubstituteDriver::getChannelInfo(ASIOChannelInfo* info) {
  Record(TDriverOp::GetChannelInfo);
  if (Inject(TDriverOp::GetChannelInfo)) return ASE_HWMalfunction;
  const bool in = info->isInput != ASIOFalse;
  if (info->channel < 0 || info->channel >= (in ? FConfig.InputChannels : FConfig.OutputChannels))
    return ASE_InvalidParameter;
  const auto& failures = in ? FConfig.InputInfoFailures : FConfig.OutputInfoFailures;
  if (std::find(failures.begin(), failures.end(), info->channel) != failures.end())
    return ASE_NotPresent;
  info->isActive = BuffersExist() ? ASIOTrue : ASIOFalse;
  info->channelGroup = 0;
  info->type = TypeOf(in, info->channel);
  std::snprintf(info->name, sizeof(info->name), "%s %d", in ? "In" : "Out", info->channel + 1);
  return ASE_OK;
}

ASIOError TSubstituteDriver::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                           int32_t bufferSize, ASIOCallbacks* callbacks) {
  Record(TDriverOp::CreateBuffers);
  if (Inject(TDriverOp::CreateBuffers)) return ASE_HWMalfunction;
  FCreatedBufferSize = bufferSize;
  FCreatedChannels = numChannels;
  FCreatedInfos = bufferInfos;
  if (FConfig.CreateBuffersResult != ASE_OK) return FConfig.CreateBuffersResult;
  if (bufferSize <= 0) return ASE_InvalidMode;
  FBuffers.clear();
  for (int32_t i = 0; i < numChannels; ++i) {
    ASIOBufferInfo& info = bufferInfos[i];
    const bool in = info.isInput != ASIOFalse;
    // A type without routines gets 4 bytes a sample: its size is unknown
    // to the host anyway.
    int size = SampleTypeSize(TypeOf(in, info.channelNum));
    if (size <= 0) size = 4;
    TChannelBuffers b{in, info.channelNum, static_cast<std::size_t>(bufferSize) * size, {}};
    for (auto& half : b.Halves) {
      half.assign(b.Bytes + kGuardBytes, kGuardByte);
      std::fill_n(half.begin(), b.Bytes, uint8_t{0});
    }
    FBuffers.push_back(std::move(b));
  }
  for (int32_t i = 0; i < numChannels; ++i) {
    bufferInfos[i].buffers[0] = FBuffers[i].Halves[0].data();
    bufferInfos[i].buffers[1] = FBuffers[i].Halves[1].data();
  }
  FCallbacks = *callbacks;
  return ASE_OK;
}

ASIOError TSubstituteDriver::disposeBuffers() {
  Record(TDriverOp::DisposeBuffers);
  if (Inject(TDriverOp::DisposeBuffers)) return ASE_HWMalfunction;
  StopThread();
  FBuffers.clear();
  FCallbacks = ASIOCallbacks{};
  return ASE_OK;
}

ASIOError TSubstituteDriver::controlPanel() {
  Record(TDriverOp::ControlPanel);
  if (Inject(TDriverOp::ControlPanel)) return ASE_HWMalfunction;
  return ASE_OK;
}

ASIOError TSubstituteDriver::future(int32_t selector, void*) {
  Record(TDriverOp::Future);
  if (Inject(TDriverOp::Future)) return ASE_HWMalfunction;
  const auto& caps = FConfig.Capabilities;
  return std::find(caps.begin(), caps.end(), selector) != caps.end() ? ASE_SUCCESS : ASE_OK;
}

ASIOError TSubstituteDriver::outputReady() {
  Record(TDriverOp::OutputReady, false);
  if (Inject(TDriverOp::OutputReady)) return ASE_HWMalfunction;
  return ASE_OK;
}

uint8_t* TSubstituteDriver::Half(bool IsInput, int32_t Channel, int Index) {
  for (auto& b : FBuffers)
    if (b.IsInput == IsInput && b.Channel == Channel) return b.Halves[Index].data();
  return nullptr;
}

std::size_t TSubstituteDriver::HalfBytes(bool IsInput, int32_t Channel) const {
  for (const auto& b : FBuffers)
    if (b.IsInput == IsInput && b.Channel == Channel) return b.Bytes;
  return 0;
}

bool TSubstituteDriver::GuardsIntact() const {
  for (const auto& b : FBuffers)
    for (const auto& half : b.Halves)
      if (!std::all_of(half.begin() + static_cast<std::ptrdiff_t>(b.Bytes), half.end(),
                       [](uint8_t v) { return v == kGuardByte; }))
        return false;
  return true;
}

void TSubstituteDriver::BufferSwitch(int32_t Index) {
  if (FCallbacks.bufferSwitch) FCallbacks.bufferSwitch(Index, ASIOTrue);
}

void TSubstituteDriver::BufferSwitchTimeInfo(int32_t Index, const ASIOTime& Time) {
  ASIOTime copy = Time;
  if (FCallbacks.bufferSwitchTimeInfo) FCallbacks.bufferSwitchTimeInfo(&copy, Index, ASIOTrue);
}

int32_t TSubstituteDriver::Message(int32_t Selector, int32_t Value) {
  return FCallbacks.asioMessage ? FCallbacks.asioMessage(Selector, Value, nullptr, nullptr) : 0;
}

void TSubstituteDriver::SampleRateDidChange(double Rate) {
  if (FCallbacks.sampleRateDidChange) FCallbacks.sampleRateDidChange(Rate);
}

void TSubstituteDriver::OneHalf(int32_t Index) {
  if (FConfig.UseTimeInfo) {
    ASIOTime t{};
    t.speed = 1.0;
    t.sampleRate = FConfig.SampleRate;
    Int64ToHiLo(FSamplePosition.load(), t.samplePosition.hi, t.samplePosition.lo);
    t.flags = kSamplePositionValid | kSampleRateValid | kSpeedValid;
    BufferSwitchTimeInfo(Index, t);
  } else {
    BufferSwitch(Index);
  }
  FSamplePosition.fetch_add(FCreatedBufferSize);
  FHalvesDone.fetch_add(1);
}

void TSubstituteDriver::RunHalves(int Count) {
  for (int i = 0; i < Count; ++i)
    OneHalf(static_cast<int32_t>(FHalvesDone.load() & 1));
}

void TSubstituteDriver::QueueMessage(int32_t Selector, int32_t Value) {
  std::lock_guard<std::mutex> guard(FQueueLock);
  FQueue.emplace_back(Selector, Value);
}

void TSubstituteDriver::StartMessageThread(int32_t Selector, int32_t Value) {
  StopMessageThread();
  auto send = FCallbacks.asioMessage;  // a plain function: valid for good
  if (!send) return;
  FMessageStop.store(false);
  FMessageThread = std::thread([this, send, Selector, Value] {
    while (!FMessageStop.load()) {
      send(Selector, Value, nullptr, nullptr);
      FMessagesSent.fetch_add(1);
      std::this_thread::yield();
    }
  });
}

void TSubstituteDriver::StopMessageThread() {
  FMessageStop.store(true);
  if (FMessageThread.joinable()) FMessageThread.join();
}

void TSubstituteDriver::ThreadLoop() {
  while (!FStopRequested.load()) {
    std::deque<std::pair<int32_t, int32_t>> messages;
    {
      std::lock_guard<std::mutex> guard(FQueueLock);
      messages.swap(FQueue);
    }
    for (auto [selector, value] : messages)
      Message(selector, value);
    OneHalf(static_cast<int32_t>(FHalvesDone.load() & 1));
    std::this_thread::yield();
  }
}

TCatalogueEntry TSubstituteFactory::Entry(const std::string& Name, const TGUID& ClassId) {
  TCatalogueEntry e;
  e.ClassId = ClassId;
  e.Name = Name;
  e.LibraryPath = "builtin:" + Name;
  e.Create = [this, ClassId]() -> IASIODriver* {
    std::lock_guard<std::mutex> guard(FLock);
    TInterfaceRef<TSubstituteDriver> d(new TSubstituteDriver(Config, ClassId));
    FInstances.push_back(d);
    d->AddRef();  // the reference the creator hands over
    return d.Get();
  };
  return e;
}

TGUID TestClassId(uint32_t N) {
  return TGUID{0x5EB57000u + N,
               0x1234,
               0x4321,
               {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, static_cast<uint8_t>(N)}};
}

}  // namespace asio::test
