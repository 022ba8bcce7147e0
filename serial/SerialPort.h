#pragma once
// The serial port component: one port opened for overlapped input and
// output, its settings as properties applied at once to the open port, the
// RTS, DTR and BREAK outputs, the last-known input lines and status, and a
// worker thread that waits for communication events and hands them to the
// main thread. Every failure and progress step goes to OnProcessError.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Component.h"
#include "core/Thread.h"
#include "core/Timing.h"
#include "core/Types.h"
#include "serial/PortDriver.h"

namespace serial {

class TSerialPort;

// Status flags of the last ClearCommError, bit 0 first.
enum TComStateFlag { fCtlHold, fDsrHold, fRlsHold, fXoffHold, fXOffSent, fEof, fTxim };
// A set of TComStateFlag: bit n stands for the flag with ordinal n.
using TComStateFlags = uint8_t;

// Failure and progress report: Sender, Place, Code, Msg, Noise.
using TNotifyErrorEvent = std::function<void(core::TObject* Sender, uint32_t Place, uint32_t Code,
                                             const std::string& Msg, uint8_t Noise)>;

// One block of received bytes.
class TSerialCluster : public core::TObject {
 public:
  // Copies Size bytes from Source; an empty block holds no data.
  TSerialCluster(const void* Source, uint32_t Size, uint32_t Error);

  const uint8_t* Data() const { return FData.get(); }
  uint32_t Size() const { return FSize; }
  // The line-error bits current when the block was read.
  uint32_t Error() const { return FError; }

 private:
  std::unique_ptr<uint8_t[]> FData;
  uint32_t FSize;
  uint32_t FError;
};

// The events the worker raises, one per published event.
enum TPortEventKind {
  pekBreak,
  pekCTS,
  pekDSR,
  pekLineError,
  pekRing,
  pekRI,
  pekRLSD,
  pekRxChar,
  pekRxEventChar,
  pekTxQueueEmpty,
  pekComm,
  pekCommStat,
  pekRxCluster,
  pekWriteDone,
  pekCount
};

// Where the worker's events and reports go on the main thread.
class IPortSink {
 public:
  virtual ~IPortSink() = default;
  // Any thread: whether a handler is assigned (events are assigned while
  // the port is closed).
  virtual bool Assigned(TPortEventKind Kind) const = 0;
  // Main thread.
  virtual void Raise(TPortEventKind Kind) = 0;
  virtual void ProcessError(uint32_t Place, uint32_t Code, uint8_t Noise,
                            const std::string& Msg) = 0;
};

// What a TSerialPort and its worker thread share. The component writes the
// settings and requests, the worker the line, status and event values; the
// three overlapped records and the cluster list belong to both. Lock and
// Changed carry the hand-offs and the waits for the worker: whoever changes
// Active, Destroying or ThreadIsRunning does so with Lock held and notifies.
struct TPortShared {
  TPortShared(IPortDriver& ADriver, core::IClock& AClock) : Driver(ADriver), Clock(AClock) {}

  IPortDriver& Driver;
  core::IClock& Clock;
  // The component; cleared (on the main thread) once the worker has ended.
  IPortSink* Sink = nullptr;
  uint32_t PlatformId = 0xFFFFFFFF;

  std::atomic<bool> Active{false};
  std::atomic<uint32_t> ComHandle{INVALID_HANDLE_VALUE};
  std::atomic<uint32_t> RTOCharDelayTime{1100};
  std::atomic<uint16_t> RTOExtraDelayTime{250};
  std::atomic<uint16_t> ClusterSize{3072};
  std::atomic<uint32_t> WTOCharDelayTime{1100};
  std::atomic<uint16_t> WTOExtraDelayTime{250};
  std::atomic<bool> ReadRequest{false};
  std::atomic<bool> ThreadQuietMode{false};
  std::atomic<bool> Destroying{false};

  std::atomic<bool> CTSState{false};
  std::atomic<bool> DSRState{false};
  std::atomic<bool> RLSDState{false};
  std::atomic<bool> RingState{false};
  std::atomic<bool> SendInProgress{false};
  std::atomic<uint32_t> CommError{0};
  std::atomic<uint8_t> CommStateFlags{0};
  std::atomic<uint32_t> CommStateInQueue{0};
  std::atomic<uint32_t> CommStateOutQueue{0};
  std::atomic<uint32_t> ModemState{0};
  std::atomic<uint32_t> CommEvent{0};
  std::atomic<uint32_t> WrittenBytes{0};
  std::atomic<bool> ThreadIsRunning{false};
  std::atomic<bool> ThreadFinished{false};

  TOverlapped WriteOverlapped;
  TOverlapped ReadOverlapped;
  TOverlapped WaitOverlapped;
  std::atomic<uint32_t> SendRequestSize{0};
  std::atomic<uint32_t> SendStartTick{0};

  std::mutex ClusterLock;
  std::list<std::unique_ptr<TSerialCluster>> ClusterList;

  std::mutex Lock;
  std::condition_variable Changed;

  // Stores Value in Flag with Lock held and wakes every waiter.
  void Set(std::atomic<bool>& Flag, bool Value) {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Flag.store(Value);
    }
    Changed.notify_all();
  }
};

// The worker thread a TSerialPort owns for its whole life.
class TWorkThread : public core::TThread {
 public:
  explicit TWorkThread(std::shared_ptr<TPortShared> Shared);
  ~TWorkThread() override;

 protected:
  void Execute() override;

 private:
  // Runs Method on the main thread and waits until it has run, unless the
  // component is in quiet mode. Once the port is closing the worker waits
  // no longer: an event still waiting is dropped, a report runs later.
  void HandOff(std::function<void()> Method, bool IsEvent);
  void Report(uint32_t Place, uint32_t Code, uint8_t Noise, const char* Msg);
  // A report of a call that fails again and again: made once, and again
  // only when the code changes or the call has succeeded in between.
  void ReportRepeated(uint32_t Place, uint32_t Code, const char* Msg);
  void Recovered(uint32_t Place, const char* Msg);
  void RaiseEvent(TPortEventKind Kind);
  void DeviceLost();
  // A pass that has nothing to wait for waits out its bound instead.
  void Pause(uint32_t Milliseconds);
  void PollStatus();
  void DispatchEvents(uint32_t Mask);
  void StartWait();
  void WaitDone();
  void CheckRead();
  void ReadDone();
  void MakeCluster(uint32_t Bytes);
  void CheckWrite();
  void EndWrite(uint32_t Transferred);
  void SignalEvent(THandle Event);
  void ResetWriteEvent();

  const std::shared_ptr<TPortShared> FShared;
  TPortShared& FPort;
  // Loop state.
  uint32_t FEventMask = 0;
  uint32_t FModemStatus = 0;
  uint32_t FLineErrors = 0;
  TComStat FComStat;
  bool FReadPending = false;
  bool FWaitPending = false;
  // The wait could not be started, or the device is gone: nothing to wait on.
  bool FStalled = false;
  bool FLost = false;
  std::map<std::pair<uint32_t, const char*>, uint32_t> FRepeated;
  // Kept for the thread's life: a read the driver has not finished can
  // still write into it after the worker stopped waiting for it.
  std::vector<uint8_t> FReadBuffer;
  uint32_t FBytesRead = 0;
  uint32_t FLastReadTick = 0;
  bool FRunning = false;
  bool FFinished = false;
};

class TSerialPort : public core::TComponent, private IPortSink {
 public:
  // AOnProcessError, when given, is assigned before anything is created,
  // so that the reports of construction (places 1001, 1002) can be seen.
  explicit TSerialPort(core::TComponent* AOwner = nullptr,
                       IPortDriver& Driver = DefaultPortDriver(),
                       core::IClock& Clock = core::SystemClock(),
                       TNotifyErrorEvent AOnProcessError = {});
  ~TSerialPort() override;

  // Published properties.
  bool Active() const { return FPort.Active.load(); }
  void SetActive(bool Value);
  uint32_t ComHandle() const { return FPort.ComHandle.load(); }
  const std::string& CommPort() const { return FCommPort; }
  void SetCommPort(const std::string& Value);
  uint32_t BaudRate() const { return FBaudRate; }
  void SetBaudRate(uint32_t Value);
  uint8_t ParityType() const { return FParityType; }
  void SetParityType(uint8_t Value);
  char ParityErrorChar() const { return FParityErrorChar; }
  void SetParityErrorChar(char Value);
  bool ParityErrorReplacement() const { return FParityErrorReplacement; }
  void SetParityErrorReplacement(bool Value);
  uint8_t StopBits() const { return FStopBits; }
  void SetStopBits(uint8_t Value);
  uint8_t DataBits() const { return FDataBits; }
  void SetDataBits(uint8_t Value);
  char XONChar() const { return FXONChar; }
  void SetXONChar(char Value);
  char XOFFChar() const { return FXOFFChar; }
  void SetXOFFChar(char Value);
  uint8_t XONLimDiv() const { return FXONLimDiv; }
  void SetXONLimDiv(uint8_t Value);
  uint8_t XOFFLimDiv() const { return FXOFFLimDiv; }
  void SetXOFFLimDiv(uint8_t Value);
  int32_t FlowControl() const { return FFlowControl; }
  void SetFlowControl(int32_t Value);
  bool StripNullChars() const { return FStripNullChars; }
  void SetStripNullChars(bool Value);
  char EventChar() const { return FEventChar; }
  void SetEventChar(char Value);
  uint32_t RTOCharDelayTime() const { return FPort.RTOCharDelayTime.load(); }
  void SetRTOCharDelayTime(uint32_t Value) { FPort.RTOCharDelayTime.store(Value); }
  uint16_t RTOExtraDelayTime() const { return FPort.RTOExtraDelayTime.load(); }
  void SetRTOExtraDelayTime(uint16_t Value) { FPort.RTOExtraDelayTime.store(Value); }
  uint16_t ClusterSize() const { return FPort.ClusterSize.load(); }
  void SetClusterSize(uint16_t Value) { FPort.ClusterSize.store(Value); }
  uint16_t RxQueueSize() const { return FRxQueueSize; }
  void SetRxQueueSize(uint16_t Value);
  uint16_t TxQueueSize() const { return FTxQueueSize; }
  void SetTxQueueSize(uint16_t Value);
  uint32_t WTOCharDelayTime() const { return FPort.WTOCharDelayTime.load(); }
  void SetWTOCharDelayTime(uint32_t Value);
  uint16_t WTOExtraDelayTime() const { return FPort.WTOExtraDelayTime.load(); }
  void SetWTOExtraDelayTime(uint16_t Value);
  bool XTOAuto() const { return FXTOAuto; }
  void SetXTOAuto(bool Value);
  bool RTSState() const { return FRTSState; }
  void SetRTSState(bool Value);
  bool DTRState() const { return FDTRState; }
  void SetDTRState(bool Value);
  bool BREAKState() const { return FBREAKState; }
  void SetBREAKState(bool Value);
  bool CTSState() const { return FPort.CTSState.load(); }
  bool DSRState() const { return FPort.DSRState.load(); }
  bool RLSDState() const { return FPort.RLSDState.load(); }
  bool RingState() const { return FPort.RingState.load(); }
  uint8_t ErrorNoise() const { return FErrorNoise; }
  void SetErrorNoise(uint8_t Value) { FErrorNoise = Value; }
  bool ReadRequest() const { return FPort.ReadRequest.load(); }
  void SetReadRequest(bool Value) { FPort.ReadRequest.store(Value); }
  bool SendInProgress() const { return FPort.SendInProgress.load(); }
  uint32_t CommError() const { return FPort.CommError.load(); }
  TComStateFlags CommStateFlags() const { return FPort.CommStateFlags.load(); }
  uint32_t CommStateInQueue() const { return FPort.CommStateInQueue.load(); }
  uint32_t CommStateOutQueue() const { return FPort.CommStateOutQueue.load(); }
  uint32_t ModemState() const { return FPort.ModemState.load(); }
  uint32_t CommEvent() const { return FPort.CommEvent.load(); }
  uint32_t WrittenBytes() const { return FPort.WrittenBytes.load(); }
  bool ThreadQuietMode() const { return FPort.ThreadQuietMode.load(); }
  void SetThreadQuietMode(bool Value) { FPort.ThreadQuietMode.store(Value); }
  bool AutoReadRequest() const { return FAutoReadRequest; }
  void SetAutoReadRequest(bool Value) { FAutoReadRequest = Value; }

  // Events, raised on the main thread by the worker. Assign them while the
  // port is closed: the worker reads them to skip unassigned ones.
  core::TNotifyEvent OnCommEvent;
  core::TNotifyEvent OnCommStat;
  core::TNotifyEvent OnTxQueueEmptyEvent;
  core::TNotifyEvent OnWriteDone;
  core::TNotifyEvent OnBreakEvent;
  core::TNotifyEvent OnCTSEvent;
  core::TNotifyEvent OnDSREvent;
  core::TNotifyEvent OnLineErrorEvent;
  core::TNotifyEvent OnRingEvent;
  core::TNotifyEvent OnRIEvent;
  core::TNotifyEvent OnRLSDEvent;
  core::TNotifyEvent OnRxClusterEvent;
  core::TNotifyEvent OnRxCharEvent;
  core::TNotifyEvent OnRxEventCharEvent;
  TNotifyErrorEvent OnProcessError;

  // Passes a report to OnProcessError when Noise <= ErrorNoise and the
  // component is not being destroyed.
  void ProcessError(uint32_t Place, uint32_t Code, uint8_t Noise, const std::string& Msg) override;

  // Received data: the clusters the worker has collected, oldest first.
  std::size_t ClusterCount();
  // Takes the oldest cluster out of the list (empty when there is none).
  std::unique_ptr<TSerialCluster> TakeCluster();

  // Starts an overlapped write of a copy of Data. Answers false (and sends
  // nothing) while the port is closed or a write is outstanding, or when
  // the driver refuses it at once; the worker reports the outcome through
  // OnWriteDone and WrittenBytes.
  bool SendData(const void* Data, uint32_t Size);

  // Whether the worker is serving an open port, and whether it has ended.
  bool ThreadIsRunning() const { return FPort.ThreadIsRunning.load(); }
  bool ThreadFinished() const { return FPort.ThreadFinished.load(); }
  // The platform identifier read at construction (0xFFFFFFFF if unknown).
  uint32_t PlatformId() const { return FPort.PlatformId; }

 private:
  bool Assigned(TPortEventKind Kind) const override;
  void Raise(TPortEventKind Kind) override;
  const core::TNotifyEvent& EventOf(TPortEventKind Kind) const;

  void Reactivate(bool NewActive);
  void ApplyCommState();
  void ApplyIfActive() {
    if (Active()) ApplyCommState();
  }
  void RecomputeDelayTimes();
  void ThreadTerminated(core::TObject* Sender);
  // Waits up to Milliseconds for the worker to let go of the port.
  bool WaitForWorker(uint32_t Milliseconds);

  const std::shared_ptr<TPortShared> FShared;
  TPortShared& FPort;
  IPortDriver& FDriver;
  core::IClock& FClock;

  // Settings (main thread only).
  std::string FCommPort = "COM2";
  uint32_t FBaudRate = 9600;
  uint8_t FParityType = 0;
  char FParityErrorChar = 0;
  bool FParityErrorReplacement = false;
  uint8_t FStopBits = 0;
  uint8_t FDataBits = 8;
  char FXONChar = 17;
  char FXOFFChar = 19;
  uint8_t FXONLimDiv = 33;
  uint8_t FXOFFLimDiv = 33;
  int32_t FFlowControl = 0;
  bool FStripNullChars = false;
  char FEventChar = 0;
  uint16_t FRxQueueSize = 4096;
  uint16_t FTxQueueSize = 4096;
  bool FXTOAuto = true;
  bool FRTSState = true;
  bool FDTRState = true;
  bool FBREAKState = false;
  uint8_t FErrorNoise = 255;
  bool FAutoReadRequest = false;

  // The bytes of the outstanding write; kept until the write has ended.
  std::vector<uint8_t> FSendBuffer;
  std::unique_ptr<TWorkThread> FWorkThread;
};

}  // namespace serial
