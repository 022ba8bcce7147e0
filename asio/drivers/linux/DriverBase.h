#pragma once
// What the built-in drivers share: reference counting, the state machine
// (created, initialised, buffers, running), the double buffers, the host's
// callbacks and the sample-position record. A concrete driver supplies the
// device: channels, sample types, buffer sizes, and the stream itself.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "asio/drivers/linux/LinuxDrivers.h"
#include "core/StatusChannel.h"

namespace asio::drivers {

enum class TDriverState { dsCreated, dsInitialized, dsPrepared, dsRunning };

class TDriverBase : public IASIODriver, public IDriverStats {
 public:
  TDriverBase(std::string Name, std::string SettingsKey);
  ~TDriverBase() override;

  int32_t QueryInterface(const TGUID& IID, void** Obj) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  int32_t getDriverVersion() override { return 1; }
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
  ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                          int32_t* granularity) override;
  ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
  ASIOError setClockSource(int32_t reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(int32_t selector, void* opt) override;
  ASIOError outputReady() override { return ASE_OK; }

  TDriverStats Stats() const override;
  TDriverState State() const { return FState.load(); }

 protected:
  // ---- What a device supplies. All run on the host's (main) thread.
  virtual bool OpenDevice() = 0;  // init
  virtual int32_t InputCount() const = 0;
  virtual int32_t OutputCount() const = 0;
  virtual ASIOSampleType SampleType(bool IsInput) const = 0;
  // The device's buffer-size range and preferred size.
  virtual void BufferRange(int32_t& Min, int32_t& Max, int32_t& Preferred,
                           int32_t& Granularity) const = 0;
  // Configures the device for BufferFrames (the buffers exist already).
  virtual ASIOError Prepare(int32_t BufferFrames) = 0;
  virtual void Unprepare() = 0;
  virtual ASIOError StartStream() = 0;
  virtual void StopStream() = 0;  // returns when no callback runs any more
  virtual void PanelChoices(TPanelChoices& Choices) const;
  // Applies a pick; answers whether the host must reload the driver.
  virtual bool ApplyPick(const TPanelPick& Pick);

  // ---- For the stream thread.
  // Calls the host for one half: bufferSwitchTimeInfo when the host
  // supports time information, bufferSwitch otherwise.
  void DeliverHalf(int32_t Index, int64_t SamplePosition, int64_t SystemTimeNs);
  // The driver's half buffers of a channel, or nullptr for a channel the
  // host did not ask for.
  uint8_t* InputHalf(int32_t Channel, int32_t Index) const;
  uint8_t* OutputHalf(int32_t Channel, int32_t Index) const;
  int32_t BufferFrames() const { return FBufferFrames; }
  int32_t SampleBytes(bool IsInput) const;
  // The stream ended for good (device gone, server buffer size changed):
  // asks the host, on the main thread, to reload the driver.
  void RequestReset();
  // Any thread: the latencies changed; the host is told on the main
  // thread (kAsioLatenciesChanged), once for any number of calls meanwhile.
  void NotifyLatencyChanged();
  void CountXrun() { FXruns.fetch_add(1, std::memory_order_relaxed); }
  void CountDropped(uint64_t Frames) { FDropped.fetch_add(Frames, std::memory_order_relaxed); }
  void MarkDeviceLost() { FDeviceLost.store(true); }
  void MarkDeviceBack() { FDeviceLost.store(false); }
  bool DeviceLost() const { return FDeviceLost.load(); }
  // Any thread: runs Method on the main thread after at least DelayMs,
  // provided the driver still exists then (it is destroyed on the main
  // thread, so the check there cannot race).
  void RunOnMainThread(std::function<void()> Method, uint32_t DelayMs = 0);
  // A status record about this driver: "<name>: <text>".
  void PostDriverStatus(core::TStatusSeverity Severity, const char* Format, ...) const
      __attribute__((format(printf, 3, 4)));
  void SetError(const char* Message);
  const std::string& SettingsKey() const { return FSettingsKey; }
  const std::string& Name() const { return FName; }
  static int64_t MonotonicNs();
  // SCHED_FIFO where permitted; otherwise the thread keeps its priority.
  static void PromoteToRealtime(std::thread& Thread);
  // Stops and releases everything; derived destructors call it while
  // their device is still alive.
  void Shutdown();
  // The rate written into the time information of each half.
  void SetStreamRate(double Rate) { FRate = Rate; }

 private:
  void StorePosition(int64_t SamplePosition, int64_t SystemTimeNs);
  void ReleaseBuffers();

  std::string FName;
  std::string FSettingsKey;
  std::string FError;
  std::atomic<uint32_t> FRefCount{1};
  // Read by the stream thread (getSamplePosition) while start sets it.
  std::atomic<TDriverState> FState{TDriverState::dsCreated};

  int32_t FBufferFrames = 0;
  std::unique_ptr<uint8_t[]> FBlock;
  // [channel][half]; nullptr for channels not created.
  std::vector<uint8_t*> FInHalves;
  std::vector<uint8_t*> FOutHalves;
  ASIOCallbacks FCallbacks{};
  bool FUseTimeInfo = false;
  ASIOTime FTime{};
  double FRate = 48000.0;
  // Which set of buffers a reset request is for: bumped by each
  // createBuffers, 0 while there are none. Stream and JACK threads read
  // it; the main thread alone writes it (and the callbacks).
  std::atomic<uint64_t> FBuffersGeneration{0};
  uint64_t FGenerations = 0;
  std::atomic<bool> FResetPending{false};
  std::atomic<bool> FLatencyPending{false};
  // Expires with the driver; calls queued for the main thread hold it weakly.
  std::shared_ptr<int> FAlive = std::make_shared<int>(0);

  // Sample position of the current half and its system time: a sequence
  // lock, so getSamplePosition on another thread reads a consistent pair.
  std::atomic<uint32_t> FPosSeq{0};
  std::atomic<int64_t> FPos{0};
  std::atomic<int64_t> FPosTime{0};

  std::atomic<uint64_t> FCallbacksDone{0};
  std::atomic<uint64_t> FXruns{0};
  std::atomic<uint64_t> FDropped{0};
  std::atomic<bool> FDeviceLost{false};
};

// Nanoseconds that Frames last at Rate frames per second (rounded down),
// exact for any count a stream reaches (no 64-bit product overflows).
int64_t FramesToNs(int64_t Frames, int64_t Rate);

// Powers of two from Min to Max, plus Preferred when it is none.
std::vector<int32_t> PowerOfTwoSizes(int32_t Min, int32_t Max, int32_t Preferred);
// The value of Sizes nearest to Wanted (ties to the smaller).
int32_t NearestSize(const std::vector<int32_t>& Sizes, int32_t Wanted);

}  // namespace asio::drivers
