#pragma once
// The serial port component: one port opened for overlapped input and
// output, its settings as properties applied at once to the open port, the
// RTS, DTR and BREAK outputs, the last-known input lines and status, and a
// worker thread that waits for communication events and hands them to the
// main thread. Every failure and progress step goes to OnProcessError.
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
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

// The worker thread a TSerialPort owns for its whole life.
class TWorkThread : public core::TThread {
 public:
  explicit TWorkThread(TSerialPort& AOwner);
  ~TWorkThread() override;

  TSerialPort& Owner() const { return FOwner; }

 protected:
  void Execute() override;

 private:
  // Runs Method on the main thread unless the owner is in quiet mode.
  void HandOff(const std::function<void()>& Method);
  void Report(uint32_t Place, uint32_t Code, uint8_t Noise, const char* Msg);
  void RaiseEvent(const core::TNotifyEvent& Event);
  void PollStatus();
  void DispatchEvents(uint32_t Mask);
  void StartWait();
  void WaitDone();
  void CheckRead();
  void ReadDone();
  void MakeCluster(uint32_t Bytes);
  void CheckWrite();
  void SignalEvent(THandle Event);
  void ResetWriteEvent();

  TSerialPort& FOwner;
  // Loop state.
  uint32_t FEventMask = 0;
  uint32_t FModemStatus = 0;
  uint32_t FLineErrors = 0;
  TComStat FComStat;
  bool FReadPending = false;
  bool FWaitPending = false;
  // Kept for the thread's life: a read the driver has not finished can
  // still write into it after the worker stopped waiting for it.
  std::vector<uint8_t> FReadBuffer;
  uint32_t FBytesRead = 0;
  uint32_t FLastReadTick = 0;
  bool FRunning = false;
  bool FFinished = false;
};

class TSerialPort : public core::TComponent {
 public:
  // AOnProcessError, when given, is assigned before anything is created,
  // so that the reports of construction (places 1001, 1002) can be seen.
  explicit TSerialPort(core::TComponent* AOwner = nullptr,
                       IPortDriver& Driver = DefaultPortDriver(),
                       core::IClock& Clock = core::SystemClock(),
                       TNotifyErrorEvent AOnProcessError = {});
  ~TSerialPort() override;

  // Published properties.
  bool Active() const { return FActive.load(); }
  void SetActive(bool Value);
  uint32_t ComHandle() const { return FComHandle.load(); }
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
  uint32_t RTOCharDelayTime() const { return FRTOCharDelayTime.load(); }
  void SetRTOCharDelayTime(uint32_t Value) { FRTOCharDelayTime.store(Value); }
  uint16_t RTOExtraDelayTime() const { return FRTOExtraDelayTime.load(); }
  void SetRTOExtraDelayTime(uint16_t Value) { FRTOExtraDelayTime.store(Value); }
  uint16_t ClusterSize() const { return FClusterSize.load(); }
  void SetClusterSize(uint16_t Value) { FClusterSize.store(Value); }
  uint16_t RxQueueSize() const { return FRxQueueSize; }
  void SetRxQueueSize(uint16_t Value);
  uint16_t TxQueueSize() const { return FTxQueueSize; }
  void SetTxQueueSize(uint16_t Value);
  uint32_t WTOCharDelayTime() const { return FWTOCharDelayTime.load(); }
  void SetWTOCharDelayTime(uint32_t Value);
  uint16_t WTOExtraDelayTime() const { return FWTOExtraDelayTime.load(); }
  void SetWTOExtraDelayTime(uint16_t Value);
  bool XTOAuto() const { return FXTOAuto; }
  void SetXTOAuto(bool Value);
  bool RTSState() const { return FRTSState; }
  void SetRTSState(bool Value);
  bool DTRState() const { return FDTRState; }
  void SetDTRState(bool Value);
  bool BREAKState() const { return FBREAKState; }
  void SetBREAKState(bool Value);
  bool CTSState() const { return FCTSState.load(); }
  bool DSRState() const { return FDSRState.load(); }
  bool RLSDState() const { return FRLSDState.load(); }
  bool RingState() const { return FRingState.load(); }
  uint8_t ErrorNoise() const { return FErrorNoise; }
  void SetErrorNoise(uint8_t Value) { FErrorNoise = Value; }
  bool ReadRequest() const { return FReadRequest.load(); }
  void SetReadRequest(bool Value) { FReadRequest.store(Value); }
  bool SendInProgress() const { return FSendInProgress.load(); }
  uint32_t CommError() const { return FCommError.load(); }
  TComStateFlags CommStateFlags() const { return FCommStateFlags.load(); }
  uint32_t CommStateInQueue() const { return FCommStateInQueue.load(); }
  uint32_t CommStateOutQueue() const { return FCommStateOutQueue.load(); }
  uint32_t ModemState() const { return FModemState.load(); }
  uint32_t CommEvent() const { return FCommEvent.load(); }
  uint32_t WrittenBytes() const { return FWrittenBytes.load(); }
  bool ThreadQuietMode() const { return FThreadQuietMode.load(); }
  void SetThreadQuietMode(bool Value) { FThreadQuietMode.store(Value); }
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
  void ProcessError(uint32_t Place, uint32_t Code, uint8_t Noise, const std::string& Msg);

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
  bool ThreadIsRunning() const { return FThreadIsRunning.load(); }
  bool ThreadFinished() const { return FThreadFinished.load(); }
  // The platform identifier read at construction (0xFFFFFFFF if unknown).
  uint32_t PlatformId() const { return FPlatformId; }

 private:
  friend class TWorkThread;

  void Reactivate(bool NewActive);
  void ApplyCommState();
  void ApplyIfActive() {
    if (Active()) ApplyCommState();
  }
  void RecomputeDelayTimes();
  void ThreadTerminated(core::TObject* Sender);

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

  // Shared with the worker thread.
  std::atomic<bool> FActive{false};
  std::atomic<uint32_t> FComHandle{INVALID_HANDLE_VALUE};
  std::atomic<uint32_t> FRTOCharDelayTime{1100};
  std::atomic<uint16_t> FRTOExtraDelayTime{250};
  std::atomic<uint16_t> FClusterSize{3072};
  std::atomic<uint32_t> FWTOCharDelayTime{1100};
  std::atomic<uint16_t> FWTOExtraDelayTime{250};
  std::atomic<bool> FCTSState{false};
  std::atomic<bool> FDSRState{false};
  std::atomic<bool> FRLSDState{false};
  std::atomic<bool> FRingState{false};
  std::atomic<bool> FReadRequest{false};
  std::atomic<bool> FSendInProgress{false};
  std::atomic<uint32_t> FCommError{0};
  std::atomic<uint8_t> FCommStateFlags{0};
  std::atomic<uint32_t> FCommStateInQueue{0};
  std::atomic<uint32_t> FCommStateOutQueue{0};
  std::atomic<uint32_t> FModemState{0};
  std::atomic<uint32_t> FCommEvent{0};
  std::atomic<uint32_t> FWrittenBytes{0};
  std::atomic<bool> FThreadQuietMode{false};

  TOverlapped FWriteOverlapped;
  TOverlapped FReadOverlapped;
  TOverlapped FWaitOverlapped;
  // The bytes of the outstanding write; kept until the write has ended.
  std::vector<uint8_t> FSendBuffer;
  std::atomic<uint32_t> FSendRequestSize{0};
  std::atomic<uint32_t> FSendStartTick{0};

  uint32_t FPlatformId = 0xFFFFFFFF;
  std::mutex FClusterLock;
  std::list<std::unique_ptr<TSerialCluster>> FClusterList;
  std::atomic<bool> FDestroying{false};
  std::atomic<bool> FThreadIsRunning{false};
  std::atomic<bool> FThreadFinished{false};
  std::unique_ptr<TWorkThread> FWorkThread;
};

}  // namespace serial
