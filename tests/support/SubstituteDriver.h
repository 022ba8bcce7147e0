#pragma once
// A driver object for tests. It honours the driver operation table with
// configurable channels, sample types, buffer sizes, latencies and rate;
// it records every call, fails any operation on request, and calls the
// host's callbacks synchronously or from a thread of its own.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asio/ASIODriver.h"
#include "asio/DriverCatalogue.h"
#include "asio/QuilASIO.h"

namespace asio::test {

// The driver's operations, in slot order.
enum class TDriverOp : int {
  Init,
  GetDriverName,
  GetDriverVersion,
  GetErrorMessage,
  Start,
  Stop,
  GetChannels,
  GetLatencies,
  GetBufferSize,
  CanSampleRate,
  GetSampleRate,
  SetSampleRate,
  GetClockSources,
  SetClockSource,
  GetSamplePosition,
  GetChannelInfo,
  CreateBuffers,
  DisposeBuffers,
  ControlPanel,
  Future,
  OutputReady,
  Count
};

struct TSubstituteConfig {
  int32_t InputChannels = 2;
  int32_t OutputChannels = 2;
  // Per channel; channels beyond the list get DefaultType.
  std::vector<ASIOSampleType> InputTypes;
  std::vector<ASIOSampleType> OutputTypes;
  ASIOSampleType DefaultType = ASIOSTFloat32LSB;
  std::string NamePrefix = "Substitute";
  int32_t MinSize = 64;
  int32_t MaxSize = 1024;
  int32_t PreferredSize = 256;
  int32_t Granularity = -1;
  int32_t InputLatency = 256;
  int32_t OutputLatency = 512;
  double SampleRate = 48000.0;
  int32_t Version = 3;
  // Future selectors answered ASE_SUCCESS; any other answers ASE_OK.
  std::vector<int32_t> Capabilities;

  // Failure injection.
  bool InitFails = false;
  ASIOError CreateBuffersResult = ASE_OK;
  ASIOError StartResult = ASE_OK;
  bool StartThrows = false;
  ASIOError SamplePositionResult = ASE_OK;
  bool GetBufferSizeThrows = false;
  // Channels whose getChannelInfo answers ASE_NotPresent and fills nothing.
  std::vector<int32_t> InputInfoFailures;
  std::vector<int32_t> OutputInfoFailures;
  // Operations (bit 1 << TDriverOp) that fail (a non-zero status, ASIOFalse
  // or 0, nothing filled in) or raise an error.
  uint32_t FailingOps = 0;
  uint32_t ThrowingOps = 0;
  // What getErrorMessage answers.
  std::string ErrorMessage = "no error";

  // Whether calls back go through bufferSwitchTimeInfo (with the driver's
  // time record) instead of bufferSwitch.
  bool UseTimeInfo = false;
  // Whether start() runs a thread that calls back until stop().
  bool ThreadedCallbacks = false;
};

class TSubstituteDriver final : public TInterfacedObject<IASIODriver> {
 public:
  static constexpr std::size_t kGuardBytes = 32;
  static constexpr uint8_t kGuardByte = 0xA5;

  explicit TSubstituteDriver(const TSubstituteConfig& Config, const TGUID& ClassId = {});

  // --- driver operations ---
  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  int32_t getDriverVersion() override;
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
  ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                          int32_t* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
  ASIOError setClockSource(int32_t reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(int32_t selector, void* opt) override;
  ASIOError outputReady() override;

  // --- what a test looks at ---
  uint64_t Calls(TDriverOp Op) const { return FCounts[static_cast<int>(Op)].load(); }
  // Every call in order, except the per-buffer GetSamplePosition and
  // OutputReady, which are only counted.
  std::vector<TDriverOp> Log() const;
  TSubstituteConfig& Config() { return FConfig; }
  void* InitHandle() const { return FInitHandle; }
  double LastSetSampleRate() const { return FLastSetSampleRate; }
  int32_t CreatedBufferSize() const { return FCreatedBufferSize; }
  int32_t CreatedChannels() const { return FCreatedChannels; }
  const ASIOBufferInfo* CreatedInfos() const { return FCreatedInfos; }
  bool BuffersExist() const { return !FBuffers.empty(); }

  // One half of a channel's buffer (nullptr when it has none) and its size
  // in bytes (without the guard).
  uint8_t* Half(bool IsInput, int32_t Channel, int Index);
  std::size_t HalfBytes(bool IsInput, int32_t Channel) const;
  // Whether every guard behind every half is untouched.
  bool GuardsIntact() const;

  // Latencies the next getLatencies answers.
  void SetLatencies(int32_t Input, int32_t Output);
  // The sample position getSamplePosition and the time record report.
  void SetSamplePosition(int64_t Value) { FSamplePosition.store(Value); }

  // --- calling the host back (synchronously, on the calling thread) ---
  void BufferSwitch(int32_t Index);
  void BufferSwitchTimeInfo(int32_t Index, const ASIOTime& Time);
  int32_t Message(int32_t Selector, int32_t Value);
  void SampleRateDidChange(double Rate);
  // Count halves, alternating 0, 1, ..., by the configured path.
  void RunHalves(int Count);

  // --- a thread of the driver's own that sends messages ---
  // Sends Selector/Value through the callback record of the last
  // createBuffers, over and over, whatever the host does meanwhile, until
  // StopMessageThread (or the driver's end). As a driver's notification
  // thread would, it pays no heed to start, stop or disposeBuffers.
  void StartMessageThread(int32_t Selector, int32_t Value);
  void StopMessageThread();
  uint64_t MessagesSent() const { return FMessagesSent.load(); }

  // --- the callback thread ---
  // Queues a message the thread sends before its next half.
  void QueueMessage(int32_t Selector, int32_t Value);
  uint64_t HalvesDone() const { return FHalvesDone.load(); }
  bool ThreadRunning() const { return FThread.joinable(); }

 protected:
  TGUID InterfaceId() const override { return FClassId; }

 private:
  ~TSubstituteDriver() override;
  void Record(TDriverOp Op, bool Ordered = true);
  // Raises the injected error of Op, or answers whether Op fails.
  bool Inject(TDriverOp Op);
  void OneHalf(int32_t Index);
  void ThreadLoop();
  void StopThread();
  ASIOSampleType TypeOf(bool IsInput, int32_t Channel) const;

  struct TChannelBuffers {
    bool IsInput;
    int32_t Channel;
    std::size_t Bytes;
    std::vector<uint8_t> Halves[2];
  };

  TSubstituteConfig FConfig;
  TGUID FClassId;
  std::atomic<uint64_t> FCounts[static_cast<int>(TDriverOp::Count)]{};
  mutable std::mutex FLogLock;
  std::vector<TDriverOp> FLog;
  void* FInitHandle = nullptr;
  double FLastSetSampleRate = 0.0;
  int32_t FCreatedBufferSize = 0;
  int32_t FCreatedChannels = 0;
  const ASIOBufferInfo* FCreatedInfos = nullptr;
  std::vector<TChannelBuffers> FBuffers;
  ASIOCallbacks FCallbacks{};
  std::atomic<int32_t> FInputLatency;
  std::atomic<int32_t> FOutputLatency;
  std::atomic<int64_t> FSamplePosition{0};

  std::thread FThread;
  std::atomic<bool> FStopRequested{false};
  std::atomic<uint64_t> FHalvesDone{0};
  std::mutex FQueueLock;
  std::deque<std::pair<int32_t, int32_t>> FQueue;

  std::thread FMessageThread;
  std::atomic<bool> FMessageStop{false};
  std::atomic<uint64_t> FMessagesSent{0};
};

// Makes substitute drivers for catalogue entries and keeps a reference to
// each, so a test can inspect the driver the host created (a reset makes
// a new one).
class TSubstituteFactory {
 public:
  TSubstituteConfig Config;  // given to every new driver

  // An entry whose Create makes a new substitute driver; the factory must
  // outlive the catalogue that holds the entry.
  TCatalogueEntry Entry(const std::string& Name, const TGUID& ClassId);
  TSubstituteDriver* Last() const { return FInstances.empty() ? nullptr : FInstances.back().Get(); }
  std::size_t Created() const { return FInstances.size(); }
  TSubstituteDriver* Instance(std::size_t I) const { return FInstances.at(I).Get(); }

 private:
  std::mutex FLock;
  std::vector<TInterfaceRef<TSubstituteDriver>> FInstances;
};

// A class identifier for tests, distinct for each N.
TGUID TestClassId(uint32_t N);

}  // namespace asio::test
