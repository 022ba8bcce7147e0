#pragma once
// The audio driver host: loads one driver at a time, creates its double
// buffers and one float array per channel, starts and stops it, and runs
// the per-buffer path on the driver's thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "asio/ASIOTypes.h"
#include "asio/DASIOConvert.h"
#include "asio/DASIOGenerator.h"
#include "asio/DriverRegistry.h"
#include "asio/QuilASIO.h"
#include "core/Component.h"
#include "core/Types.h"
#include "dsp/DDSPBase.h"

namespace asio {

// A set of a small enumeration, one bit per ordinal.
template <typename E, typename Word = uint8_t>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> Items) {
    for (E e : Items)
      FBits = static_cast<Word>(FBits | Bit(e));
  }
  static constexpr TSmallSet FromBits(Word Bits) {
    TSmallSet s;
    s.FBits = Bits;
    return s;
  }
  constexpr Word Bits() const { return FBits; }
  constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr void Include(E e) { FBits = static_cast<Word>(FBits | Bit(e)); }
  constexpr void Exclude(E e) { FBits = static_cast<Word>(FBits & ~Bit(e)); }
  friend constexpr TSmallSet operator+(TSmallSet A, TSmallSet B) {
    return FromBits(static_cast<Word>(A.FBits | B.FBits));
  }
  friend constexpr bool operator==(TSmallSet, TSmallSet) = default;

 private:
  static constexpr Word Bit(E e) { return static_cast<Word>(Word{1} << static_cast<unsigned>(e)); }
  Word FBits = 0;
};

enum TASIOCanDo : uint8_t {
  acdInputMonitor,
  acdTimeInfo,
  acdTimeCode,
  acdTransport,
  acdInputGain,
  acdInputMeter,
  acdOutputGain,
  acdOutputMeter
};
using TASIOCanDos = TSmallSet<TASIOCanDo>;

enum TConvertOptimization : uint8_t { coSSE, co3DNow };
using TConvertOptimizations = TSmallSet<TConvertOptimization>;

enum TBufferPreFill : uint8_t { bpfNone, bpfZero, bpfNoise, bpfCustom };
enum TPreventClipping : uint8_t { pcNone, pcDigital, pcAnalog };
enum TInputMonitor : uint8_t { imDisabled, imMono, imStereo, imAll };

// Element of ordinal i is bit i of the driver's time-information flags.
enum TATFlag : uint8_t {
  atSystemTimeValid,
  atSamplePositionValid,
  atSampleRateValid,
  atSpeedValid,
  atSampleRateChanged,
  atClockSourceChanged
};
using TATFlags = TSmallSet<TATFlag>;

using TNotifyEvent = core::TNotifyEvent;
using TSamplePositionUpdateEvent =
    std::function<void(core::TObject* Sender, int64_t SamplePosition)>;
using TSample2Event = std::function<void(core::TObject* Sender, std::span<float> Sample)>;
// The handler writes into the channel arrays; it never resizes or replaces them.
using TBufferSwitchEvent =
    std::function<void(core::TObject* Sender, const dsp::TArrayOfSingleArray& InBuffer,
                       dsp::TArrayOfSingleArray& OutBuffer)>;

// A lock held only for a copy of a few hundred bytes: it never makes a
// system call while the holder runs, so the driver's thread may take it.
class TShortLock {
 public:
  void lock() noexcept {
    for (unsigned spins = 0; FFlag.test_and_set(std::memory_order_acquire); ++spins)
      if (spins > 4096) std::this_thread::yield();  // the holder was preempted
  }
  void unlock() noexcept { FFlag.clear(std::memory_order_release); }

 private:
  std::atomic_flag FFlag = ATOMIC_FLAG_INIT;
};

// The time information of the current buffer half, in the driver's
// 148-byte wire record. The driver's thread replaces the record once per
// half while the main thread may set the rate, so every accessor but
// Record() goes through a short lock.
class TASIOTimeSub : public core::TObject {
 public:
  TASIOTimeSub();

  int64_t SamplePos() const;
  void SetSamplePos(int64_t Value);
  double Speed() const;
  void SetSpeed(double Value);
  double SampleRate() const;
  void SetSampleRate(double Value);
  TATFlags Flags() const;
  // Rewrites the whole flags word (bits above 5 become 0); no Change.
  void SetFlags(TATFlags Value);

  // Copies the whole record from Source and calls Change.
  void Assign(const TASIOTimeSub& Source);

  // The whole record, replaced or copied at once (any thread).
  void Store(const asio::ASIOTime& Value);
  asio::ASIOTime Snapshot() const;

  // The record itself, unguarded: only while no driver calls back.
  asio::ASIOTime& Record() { return FBufferTime; }
  const asio::ASIOTime& Record() const { return FBufferTime; }

  TNotifyEvent OnChanged;

 protected:
  virtual void Change();

 private:
  mutable TShortLock FLock;
  asio::ASIOTime FBufferTime{};
};

class TASIOHost;

// The host the driver callbacks reach; set by every host's construction.
// A host being destroyed clears it if it still names that host, so a late
// callback finds no host instead of a destroyed one.
TASIOHost* CurrentHost();

// One host message: id, WParam, LParam, result.
struct TASIOHostMessage {
  uint32_t Msg;
  int32_t WParam;
  int32_t LParam;
  int32_t Result;
};

// Host message ids.
enum : uint32_t {
  PM_ASIO = 2676,  // driver request: WParam 0 reset, 3 latency change
  PM_UpdateSamplePos = 2677,
  PM_BufferSwitch = 2678,
  PM_BufferSwitchTimeInfo = 2679
};

// The sample type a channel is given when the driver would not describe
// it: no routine reads or writes it, so it stays silent.
constexpr ASIOSampleType kUnusableSampleType = -1;

class TASIOHost : public core::TComponent {
 public:
  // Channels per direction the host sets up at most. Beyond this a count is
  // the driver's fault (the offsets are 16-bit and a few hundred channels
  // is the most any interface offers); every channel costs a float array
  // of up to 65530 samples.
  static constexpr int32_t kMaxChannels = 512;

  explicit TASIOHost(core::TComponent* AOwner = nullptr);
  ~TASIOHost() override;

  // --- published properties, in declared order ---
  bool Active() const { return FActive; }
  void SetActive(bool Value);
  TASIOCanDos CanDos() const { return FCanDos; }
  void SetCanDos(TASIOCanDos) {}
  TPreventClipping PreventClipping() const { return FPreventClipping.load(); }
  void SetPreventClipping(TPreventClipping Value);
  TBufferPreFill PreFillInBuffer() const { return FPreFillInBuffer.load(); }
  void SetPreFillInBuffer(TBufferPreFill Value) { FPreFillInBuffer.store(Value); }
  TBufferPreFill PreFillOutBuffer() const { return FPreFillOutBuffer.load(); }
  void SetPreFillOutBuffer(TBufferPreFill Value) { FPreFillOutBuffer.store(Value); }
  const std::string& DriverName() const { return FDriverName; }
  void SetDriverName(const std::string& Value);
  int32_t DriverVersion() const { return FDriverVersion; }
  int32_t DriverIndex() const { return FDriverIndex; }
  void SetDriverIndex(int32_t Value);
  // Samples per channel in one buffer half; 0 or above 65530 reads as 4096.
  uint32_t BufferSize();
  void SetBufferSize(uint32_t) {}
  int32_t BufferMinimum() const { return FBufferMinimum; }
  void SetBufferMinimum(int32_t) {}
  int32_t BufferMaximum() const { return FBufferMaximum; }
  void SetBufferMaximum(int32_t) {}
  int32_t BufferPreferredSize() const { return FBufferPreferredSize; }
  void SetBufferPreferredSize(int32_t Value) { FBufferPreferredSize = Value; }
  int32_t BufferGranularity() const { return FBufferGranularity; }
  void SetBufferGranularity(int32_t Value) { FBufferGranularity = Value; }
  TASIOGenerator* CustomGenerator() const { return FCustomGenerator.load(); }
  void SetCustomGenerator(TASIOGenerator* Value);
  int32_t InputLatency() const { return FInputLatency.load(); }
  void SetInputLatency(int32_t Value) { FInputLatency.store(Value); }
  int32_t InputChannels() const { return FInputChannels; }
  void SetInputChannels(int32_t Value) { FInputChannels = Value; }
  uint16_t InputChannelOffset() const { return FInputChannelOffset.load(); }
  void SetInputChannelOffset(uint16_t Value);
  int32_t OutputLatency() const { return FOutputLatency.load(); }
  void SetOutputLatency(int32_t Value) { FOutputLatency.store(Value); }
  int32_t OutputChannels() const { return FOutputChannels; }
  void SetOutputChannels(int32_t Value) { FOutputChannels = Value; }
  uint16_t OutputChannelOffset() const { return FOutputChannelOffset.load(); }
  void SetOutputChannelOffset(uint16_t Value);
  TConvertOptimizations ConvertOptimizations() const { return FConvertOptimizations; }
  void SetConvertOptimizations(TConvertOptimizations Value);
  // Hz; below 1.0, above 1048575.0 or not a number reads as 44100.
  double SampleRate();
  void SetSampleRate(double Value);
  TASIOTimeSub& ASIOTime() { return *FASIOTime; }
  TInputMonitor InputMonitor() const { return FInputMonitor.load(); }
  void SetInputMonitor(TInputMonitor Value) { FInputMonitor.store(Value); }
  const std::vector<std::string>& DriverList() const { return FDriverNames; }

  // Events. Those fired on the driver's thread (OnUpdateSamplePos,
  // OnBufferSwitch, OnSampleRateChanged) are assigned while the driver is
  // stopped. OnLatencyChanged and OnReset always run on the main thread.
  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;
  TSamplePositionUpdateEvent OnUpdateSamplePos;
  TNotifyEvent OnReset;
  TNotifyEvent OnDriverChanged;
  TNotifyEvent OnLatencyChanged;
  TSample2Event OnInput2Sample;   // declared, never fired
  TSample2Event OnSample2Output;  // declared, never fired
  TNotifyEvent OnSampleRateChanged;
  TBufferSwitchEvent OnBufferSwitch;

  // --- public operations ---
  void ShowControlPanel();
  // Empty until buffers are set up and again after they are released.
  const std::vector<ASIOChannelInfo>& InputChannelInfoList() const { return FInputChannelInfos; }
  const std::vector<ASIOChannelInfo>& OutputChannelInfoList() const { return FOutputChannelInfos; }
  const TAsioDriverList& DriverListData() const { return FAsioDriverList; }
  const dsp::TArrayOfSingleArray& InBuffer() const { return FInBuffer; }
  const dsp::TArrayOfSingleArray& OutBuffer() const { return FOutBuffer; }
  bool BuffersCreated() const { return FBuffersCreated; }
  bool DriverLoaded() const { return static_cast<bool>(FDriver); }
  // The system handle given to the driver's Init.
  void* Handle() const;
  // The buffer-info block and its first input and output records (none
  // until buffers are set up).
  const void* BufferInfoBlock() const { return FBufferInfoBlock.get(); }
  const ASIOBufferInfo* InputBufferInfos() const { return FInputBufferInfos; }
  const ASIOBufferInfo* OutputBufferInfos() const { return FOutputBufferInfos; }

  // --- the driver-thread path (reached through the callbacks) ---
  // Plain buffer switch: clears the time record, asks the driver for the
  // sample position, then ProcessBuffers.
  void SwitchBuffers(int32_t Index);
  // One buffer half: time, input, pre-fills, clipping, monitor,
  // OnBufferSwitch, output conversion, OutputReady. Allocates nothing.
  void ProcessBuffers(int32_t Index, asio::ASIOTime& TimeInfo);
  // Driver request (id PM_ASIO): WParam 0 reloads the driver then fires
  // OnReset; WParam 3 re-reads the latencies then fires OnLatencyChanged.
  // Main thread: the driver's messages are carried out there.
  void HandleDriverRequest(TASIOHostMessage& Message);
  // Dispatches a host message to its handler, on the calling thread.
  void Dispatch(TASIOHostMessage& Message);

 protected:
  void Loaded() override;

  void LoadDriver();
  bool SetupBuffers();
  void ReleaseBuffers();
  void UnloadDriver();

 private:
  friend struct TASIOCallbackGate;

  bool CanDo(int32_t Selector);
  void ClearDriverBuffers();
  void FillNoise(float* Data, uint32_t Count);
  // Both queue a driver request for the main thread; a request already
  // waiting serves later ones.
  void RequestReset();
  void RequestLatencyUpdate();
  void PostDriverRequest(std::atomic<bool>& Pending, int32_t WParam);
  // Closes the per-buffer path and waits for a half still in progress on
  // another thread, so nothing the path reads goes while it runs.
  void CloseCallbacks();
  // The driver's own text for its last failure (empty when it has none).
  std::string DriverErrorText();
  void ReportDriverFailure(const char* What, int32_t Code);
  // Channel count from the driver, capped with a status record.
  int32_t CapChannels(int32_t Count, const char* Direction);

  struct TUtilityWindow;

  // Cross-thread settings: written on the main thread, read on the driver's.
  std::atomic<TPreventClipping> FPreventClipping{pcNone};
  std::atomic<TBufferPreFill> FPreFillInBuffer{bpfNone};
  std::atomic<TBufferPreFill> FPreFillOutBuffer{bpfNone};
  std::atomic<TInputMonitor> FInputMonitor{imDisabled};
  std::atomic<uint16_t> FInputChannelOffset{0};
  std::atomic<uint16_t> FOutputChannelOffset{0};
  std::atomic<TBufferProcess> FClipBuffer{nullptr};
  std::atomic<TASIOGenerator*> FCustomGenerator{nullptr};  // not owned
  // Written by a latency message on the driver's thread.
  std::atomic<int32_t> FInputLatency{0};
  std::atomic<int32_t> FOutputLatency{0};

  bool FActive = false;
  TASIOCanDos FCanDos;
  std::string FDriverName;
  int32_t FDriverVersion = 0;
  int32_t FDriverIndex = -1;
  // Read by the keyer's and the driver's threads through the getters.
  std::atomic<uint32_t> FBufferSize{0};
  int32_t FBufferMinimum = 0;
  int32_t FBufferMaximum = 0;
  int32_t FBufferPreferredSize = 0;
  int32_t FBufferGranularity = 0;
  int32_t FInputChannels = 0;
  int32_t FOutputChannels = 0;
  TConvertOptimizations FConvertOptimizations{coSSE, co3DNow};
  std::atomic<double> FSampleRate{0.0};
  std::unique_ptr<TASIOTimeSub> FASIOTime;

  // Settings stored while loading, applied by Loaded.
  int32_t FLoadedDriverIndex = -1;
  bool FLoadedActive = false;

  TInterfaceRef<IQuilASIO> FDriver;
  bool FBuffersCreated = false;
  std::unique_ptr<TUtilityWindow> FUtilityWindow;
  ASIOCallbacks FCallbacks{};
  TAsioDriverList FAsioDriverList;
  std::vector<std::string> FDriverNames;
  std::vector<ASIOChannelInfo> FInputChannelInfos;
  std::vector<ASIOChannelInfo> FOutputChannelInfos;
  std::unique_ptr<uint8_t[]> FBufferInfoBlock;
  ASIOBufferInfo* FInputBufferInfos = nullptr;
  ASIOBufferInfo* FOutputBufferInfos = nullptr;
  dsp::TArrayOfSingleArray FInBuffer;
  dsp::TArrayOfSingleArray FOutBuffer;
  std::vector<TDriverToFloat> FInConverters;
  std::vector<TFloatToDriver> FOutConverters;
  // Samples per half and channels per direction that the arrays, lists
  // and the driver's buffers were made with; the per-buffer path never goes
  // past them, whatever a handler does to the arrays.
  uint32_t FProcessSize = 0;
  std::size_t FInputCount = 0;
  std::size_t FOutputCount = 0;
  // Open while the driver runs with buffers: only then does a buffer half
  // do anything. Halves in progress are counted so that closing can wait.
  std::atomic<bool> FCallbacksOpen{false};
  std::atomic<int32_t> FCallbacksInFlight{0};
  uint64_t FRandomState = 0;

  // A posted reset finds its host through this token; the host's
  // destruction empties it.
  std::shared_ptr<TASIOHost*> FAliveToken;
  std::atomic<bool> FResetPending{false};
  std::atomic<bool> FLatencyPending{false};
};

}  // namespace asio
