#include "serial/SerialPort.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/MainThread.h"
#include "serial/ThreadPriority.h"

namespace serial {
namespace {

// One read takes at most this much; the buffer is allocated once for the
// thread's life so that its address stays valid for the driver.
constexpr uint32_t kReadBufferSize = 65536;

// Line-error bits that make the worker read at once.
constexpr uint32_t kReadNowErrors = 0x1F;

// The closer's and the destructor's bounds on the wait for the worker.
constexpr uint32_t kCloseWaitMs = 15 * 75;
constexpr uint32_t kDestroyWaitMs = 10 * 75;

// The longest a pass waits for the port.
constexpr uint32_t kPassMs = 75;

constexpr uint32_t kLostPlace = 9920;
constexpr const char* kLostMsg = "Port lost: the device hung up or went away";
constexpr const char* kNoCtsMsg = "this adapter cannot report CTS: the dah contact will not work";

struct TDelayRow {
  uint32_t Baud;
  uint32_t Delay;
};
constexpr TDelayRow kDelayTable[] = {
    {110, 100000}, {300, 37000}, {600, 18000}, {1200, 9000}, {2400, 4500},
    {4800, 2300},  {9600, 1100}, {14400, 760}, {19200, 570}, {38400, 290},
    {56000, 200},  {57600, 190}, {115200, 95}, {128000, 85}, {256000, 43},
};

}  // namespace

// ---------------------------------------------------------------- TSerialCluster

TSerialCluster::TSerialCluster(const void* Source, uint32_t Size, uint32_t Error)
    : FSize(Size), FError(Error) {
  if (Size > 0 && Source != nullptr) {
    FData = std::make_unique<uint8_t[]>(Size);
    std::memcpy(FData.get(), Source, Size);
  } else {
    FSize = 0;
  }
}

// ---------------------------------------------------------------- TSerialPort

TSerialPort::TSerialPort(core::TComponent* AOwner, IPortDriver& Driver, core::IClock& Clock,
                         TNotifyErrorEvent AOnProcessError)
    : core::TComponent(AOwner),
      FShared(std::make_shared<TPortShared>(Driver, Clock)),
      FPort(*FShared),
      FDriver(Driver),
      FClock(Clock) {
  OnProcessError = std::move(AOnProcessError);
  FPort.Sink = this;
  uint32_t platform = 0;
  FPort.PlatformId = FDriver.GetVersionEx(platform) ? platform : 0xFFFFFFFF;

  for (TOverlapped* record :
       {&FPort.WriteOverlapped, &FPort.ReadOverlapped, &FPort.WaitOverlapped}) {
    record->hEvent = FDriver.CreateEvent();
    const uint32_t error = FDriver.GetLastError();
    if (record->hEvent == 0)
      ProcessError(1001, error, 0, "Error Creating Overlapped Event");
    else if (error == ERROR_ALREADY_EXISTS)
      ProcessError(1002, ERROR_ALREADY_EXISTS, 0, "Error Overlapped Event Exists");
  }

  FWorkThread = std::make_unique<TWorkThread>(FShared);
  FWorkThread->OnTerminate = [this](core::TObject* Sender) { ThreadTerminated(Sender); };
  FWorkThread->Start();
}

TSerialPort::~TSerialPort() {
  FPort.Set(FPort.Destroying, true);
  Reactivate(false);
  FWorkThread->Terminate();
  WaitForWorker(kDestroyWaitMs);
  // The thread must be gone before the events and records it uses are:
  // a thread held back by a slow driver call may still be inside a pass.
  FWorkThread->WaitFor();
  for (TOverlapped* record : {&FPort.WriteOverlapped, &FPort.WaitOverlapped, &FPort.ReadOverlapped})
    if (record->hEvent != 0) FDriver.CloseEvent(record->hEvent);
  {
    std::lock_guard<std::mutex> guard(FPort.ClusterLock);
    FPort.ClusterList.clear();
  }
  FWorkThread.reset();
  // Reports of the worker still queued for the main thread find no one.
  FPort.Sink = nullptr;
}

bool TSerialPort::WaitForWorker(uint32_t Milliseconds) {
  std::unique_lock<std::mutex> lock(FPort.Lock);
  return FPort.Changed.wait_for(lock, std::chrono::milliseconds(Milliseconds),
                                [this] { return !FPort.ThreadIsRunning.load(); });
}

void TSerialPort::ProcessError(uint32_t Place, uint32_t Code, uint8_t Noise,
                               const std::string& Msg) {
  if (FPort.Destroying.load() || Noise > FErrorNoise || !OnProcessError) return;
  OnProcessError(this, Place, Code, Msg, Noise);
}

const core::TNotifyEvent& TSerialPort::EventOf(TPortEventKind Kind) const {
  switch (Kind) {
    case pekBreak:
      return OnBreakEvent;
    case pekCTS:
      return OnCTSEvent;
    case pekDSR:
      return OnDSREvent;
    case pekLineError:
      return OnLineErrorEvent;
    case pekRing:
      return OnRingEvent;
    case pekRI:
      return OnRIEvent;
    case pekRLSD:
      return OnRLSDEvent;
    case pekRxChar:
      return OnRxCharEvent;
    case pekRxEventChar:
      return OnRxEventCharEvent;
    case pekTxQueueEmpty:
      return OnTxQueueEmptyEvent;
    case pekComm:
      return OnCommEvent;
    case pekCommStat:
      return OnCommStat;
    case pekRxCluster:
      return OnRxClusterEvent;
    case pekWriteDone:
    case pekCount:
      break;
  }
  return OnWriteDone;
}

bool TSerialPort::Assigned(TPortEventKind Kind) const {
  return static_cast<bool>(EventOf(Kind));
}

void TSerialPort::Raise(TPortEventKind Kind) {
  if (FPort.Destroying.load()) return;
  const core::TNotifyEvent& event = EventOf(Kind);
  if (event) event(this);
}

void TSerialPort::ThreadTerminated(core::TObject*) {
  FPort.Set(FPort.ThreadIsRunning, false);
}

void TSerialPort::SetActive(bool Value) {
  if (Value != Active()) Reactivate(Value);
}

void TSerialPort::SetCommPort(const std::string& Value) {
  if (Value == FCommPort) return;
  FCommPort = Value;
  Reactivate(Active());
}

void TSerialPort::Reactivate(bool NewActive) {
  if (Active()) {
    const THandle port = ComHandle();
    ProcessError(100, 0, 2, "Msg start deactivating Port");
    if (!FDriver.SetCommMask(port, 0))
      ProcessError(101, FDriver.GetLastError(), 0, "Error disabling CommEvents");
    FPort.Set(FPort.Active, false);
    if (!FDriver.PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
      ProcessError(102, FDriver.GetLastError(), 0, "Error clearing Queues");
    if (!WaitForWorker(kCloseWaitMs)) ProcessError(104, 0, 1, "Warning ThreadIsRunning");
    if (!FDriver.EscapeCommFunction(port, CLRDTR))
      ProcessError(602, FDriver.GetLastError(), 0, "Error clearing DTR");
    if (!FDriver.EscapeCommFunction(port, CLRRTS))
      ProcessError(502, FDriver.GetLastError(), 0, "Error clearing RTS");
    FDTRState = false;
    FRTSState = false;
    if (!FDriver.CloseHandle(port))
      ProcessError(103, FDriver.GetLastError(), 0, "Error closing Port");
    FPort.ComHandle.store(INVALID_HANDLE_VALUE);
  }
  if (!NewActive) return;

  ProcessError(110, 0, 2, "Msg start reactivating Port");
  // Port names are cut to 79 characters; device paths are not, since
  // /dev/serial/by-id links are often longer and would no longer open.
  const bool isPath = !FCommPort.empty() && FCommPort[0] == '/';
  const std::string device = "\\\\.\\" + (isPath ? FCommPort : FCommPort.substr(0, 79));
  const THandle port = FDriver.CreateFile(device);
  const uint32_t openError = FDriver.GetLastError();
  // The handle first: the worker uses it as soon as it sees Active.
  FPort.ComHandle.store(port);
  FPort.Set(FPort.Active, port != INVALID_HANDLE_VALUE);
  if (!Active()) {
    ProcessError(112, openError, 0, "Error reopening Port");
    return;
  }
  if (!FDriver.SetupComm(port, FRxQueueSize, FTxQueueSize))
    ProcessError(111, FDriver.GetLastError(), 0, "Error setup Queuesize");
  ApplyCommState();
  SetDTRState(true);
  SetRTSState(true);
  if (!FDriver.SetCommMask(port, EV_ALL))
    ProcessError(201, FDriver.GetLastError(), 0, "Error activating CommEventMask");
  // The dah contact is on CTS: say so when the adapter cannot report it.
  TCommProp properties;
  if (FDriver.GetCommProperties(port, properties) && !(properties.ProvCapabilities & PCF_RTSCTS))
    ProcessError(202, 0, 1, kNoCtsMsg);
}

void TSerialPort::ApplyCommState() {
  const THandle port = ComHandle();
  TDCB dcb;
  if (!FDriver.GetCommState(port, dcb)) {
    ProcessError(801, FDriver.GetLastError(), 0, "Error getting DCB from CommState");
    return;
  }
  dcb.BaudRate = FBaudRate;
  uint32_t flags = DCB_fBinary;
  if (FParityType != 0) flags |= DCB_fParity;
  if (FParityErrorReplacement) flags |= DCB_fErrorChar;
  flags |= static_cast<uint32_t>(FFlowControl);
  if (FStripNullChars) flags |= DCB_fNull;
  dcb.Flags = flags;
  dcb.Parity = FParityType;
  dcb.ErrorChar = FParityErrorChar;
  dcb.EvtChar = FEventChar;
  dcb.StopBits = FStopBits;
  dcb.ByteSize = FDataBits;
  dcb.XonChar = FXONChar;
  dcb.XoffChar = FXOFFChar;
  dcb.XonLim = static_cast<uint16_t>(uint32_t{FRxQueueSize} * FXONLimDiv / 100);
  dcb.XoffLim = static_cast<uint16_t>(uint32_t{FRxQueueSize} * FXOFFLimDiv / 100);
  dcb.EofChar = 0;

  TCommTimeouts timeouts;
  FDriver.GetCommTimeouts(port, timeouts);
  // Reads return at once with whatever has arrived.
  timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!FDriver.SetCommTimeouts(port, timeouts))
    ProcessError(802, FDriver.GetLastError(), 0, "Error setting CommTimeout");
  if (!FDriver.SetCommState(port, dcb))
    ProcessError(802, FDriver.GetLastError(), 0,
                 "Error setting CommState, 87 indicate that Parms are incorrect");
}

void TSerialPort::RecomputeDelayTimes() {
  uint32_t delay = 1100;
  for (const TDelayRow& row : kDelayTable)
    if (row.Baud <= FBaudRate) delay = row.Delay;
  SetRTOCharDelayTime(delay);
  SetWTOCharDelayTime(delay);
}

// Settings: stored when changed, applied to an open port at once.
#define RIG_SERIAL_SETTER(Name, Type, Field) \
  void TSerialPort::Set##Name(Type Value) {  \
    if (Value == Field) return;              \
    Field = Value;                           \
    ApplyIfActive();                         \
  }
RIG_SERIAL_SETTER(ParityType, uint8_t, FParityType)
RIG_SERIAL_SETTER(ParityErrorChar, char, FParityErrorChar)
RIG_SERIAL_SETTER(ParityErrorReplacement, bool, FParityErrorReplacement)
RIG_SERIAL_SETTER(StopBits, uint8_t, FStopBits)
RIG_SERIAL_SETTER(DataBits, uint8_t, FDataBits)
RIG_SERIAL_SETTER(XONChar, char, FXONChar)
RIG_SERIAL_SETTER(XOFFChar, char, FXOFFChar)
RIG_SERIAL_SETTER(FlowControl, int32_t, FFlowControl)
RIG_SERIAL_SETTER(StripNullChars, bool, FStripNullChars)
RIG_SERIAL_SETTER(EventChar, char, FEventChar)
#undef RIG_SERIAL_SETTER

void TSerialPort::SetBaudRate(uint32_t Value) {
  if (Value == FBaudRate) return;
  FBaudRate = Value;
  if (FXTOAuto) RecomputeDelayTimes();
  ApplyIfActive();
}

void TSerialPort::SetXONLimDiv(uint8_t Value) {
  if (Value > 100) {
    ProcessError(100, Value, 1, "Warning XOnLimDef set to 100");
    Value = 100;
  }
  if (Value == FXONLimDiv) return;
  FXONLimDiv = Value;
  ApplyIfActive();
}

void TSerialPort::SetXOFFLimDiv(uint8_t Value) {
  if (Value > 100) {
    ProcessError(100, Value, 1, "Warning XOffLimDef set to 100");
    Value = 100;
  }
  if (Value == FXOFFLimDiv) return;
  FXOFFLimDiv = Value;
  ApplyIfActive();
}

void TSerialPort::SetRxQueueSize(uint16_t Value) {
  if (Value == FRxQueueSize) return;
  FRxQueueSize = Value;
  if (!FDriver.SetupComm(ComHandle(), FRxQueueSize, FTxQueueSize))
    ProcessError(101, FDriver.GetLastError(), 0, "Error can not set Quesize");
}

void TSerialPort::SetTxQueueSize(uint16_t Value) {
  if (Value == FTxQueueSize) return;
  FTxQueueSize = Value;
  if (!FDriver.SetupComm(ComHandle(), FRxQueueSize, FTxQueueSize))
    ProcessError(102, FDriver.GetLastError(), 0, "Error can not set Quesize");
}

void TSerialPort::SetWTOCharDelayTime(uint32_t Value) {
  if (Value == FPort.WTOCharDelayTime.load()) return;
  FPort.WTOCharDelayTime.store(Value);
  ApplyIfActive();
}

void TSerialPort::SetWTOExtraDelayTime(uint16_t Value) {
  if (Value == FPort.WTOExtraDelayTime.load()) return;
  FPort.WTOExtraDelayTime.store(Value);
  ApplyIfActive();
}

void TSerialPort::SetXTOAuto(bool Value) {
  if (Value == FXTOAuto) return;
  FXTOAuto = Value;
  if (FXTOAuto) RecomputeDelayTimes();
}

// Line control acts on an open port only, and always sends the line state:
// opening relies on it to raise DTR and RTS whatever the stored values.
void TSerialPort::SetRTSState(bool Value) {
  if (!Active()) return;
  if (!FDriver.EscapeCommFunction(ComHandle(), Value ? SETRTS : CLRRTS)) {
    const uint32_t error = FDriver.GetLastError();
    if (Value)
      ProcessError(501, error, 0, "Error setting RTS");
    else
      ProcessError(502, error, 0, "Error clearing RTS");
  }
  FRTSState = Value;
}

void TSerialPort::SetDTRState(bool Value) {
  if (!Active()) return;
  if (!FDriver.EscapeCommFunction(ComHandle(), Value ? SETDTR : CLRDTR)) {
    const uint32_t error = FDriver.GetLastError();
    if (Value)
      ProcessError(601, error, 0, "Error setting DTR");
    else
      ProcessError(602, error, 0, "Error clearing DTR");
  }
  FDTRState = Value;
}

void TSerialPort::SetBREAKState(bool Value) {
  if (!Active()) return;
  if (Value) {
    if (!FDriver.SetCommBreak(ComHandle()))
      ProcessError(701, FDriver.GetLastError(), 0, "Error setting BREAK State");
  } else if (!FDriver.ClearCommBreak(ComHandle())) {
    ProcessError(702, FDriver.GetLastError(), 0, "Error clearing BREAK State");
  }
  FBREAKState = Value;
}

std::size_t TSerialPort::ClusterCount() {
  std::lock_guard<std::mutex> guard(FPort.ClusterLock);
  return FPort.ClusterList.size();
}

std::unique_ptr<TSerialCluster> TSerialPort::TakeCluster() {
  std::lock_guard<std::mutex> guard(FPort.ClusterLock);
  if (FPort.ClusterList.empty()) return nullptr;
  std::unique_ptr<TSerialCluster> cluster = std::move(FPort.ClusterList.front());
  FPort.ClusterList.pop_front();
  return cluster;
}

bool TSerialPort::SendData(const void* Data, uint32_t Size) {
  if (!Active() || FPort.SendInProgress.load()) return false;
  // A write given up after its time limit may still be running in the
  // driver, reading the send buffer: it must end before the buffer changes.
  if (FPort.WriteOverlapped.Internal.load() == STATUS_PENDING) return false;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  FSendBuffer.assign(bytes, bytes + Size);
  FPort.SendRequestSize.store(Size);
  FPort.SendStartTick.store(FClock.GetTickCount());
  uint32_t written = 0;
  // In progress only once the write is armed: until then the record is the
  // last write's, and the worker would take it for this one finished.
  if (!FDriver.WriteFile(ComHandle(), FSendBuffer.data(), Size, &written, &FPort.WriteOverlapped) &&
      FDriver.GetLastError() != ERROR_IO_PENDING)
    return false;
  FPort.SendInProgress.store(true);
  return true;
}

// ---------------------------------------------------------------- TWorkThread

TWorkThread::TWorkThread(std::shared_ptr<TPortShared> Shared)
    : FShared(std::move(Shared)), FPort(*FShared), FReadBuffer(kReadBufferSize) {}

TWorkThread::~TWorkThread() {
  Shutdown();
}

namespace {

// One hand-off: queued for the main thread, running there, done, or
// dropped before it ran.
struct THandOffCall {
  enum TState { hsQueued, hsRunning, hsDone, hsDropped };
  std::function<void()> Method;
  TState State = hsQueued;
};

}  // namespace

void TWorkThread::HandOff(std::function<void()> Method, bool IsEvent) {
  if (FPort.ThreadQuietMode.load() || FPort.Destroying.load()) return;
  if (IsEvent && !FPort.Active.load()) return;
  auto call = std::make_shared<THandOffCall>();
  call->Method = std::move(Method);
  std::shared_ptr<TPortShared> shared = FShared;
  core::MainThread::Post([call, shared] {
    {
      std::lock_guard<std::mutex> guard(shared->Lock);
      if (call->State == THandOffCall::hsDropped || shared->Destroying.load()) return;
      call->State = THandOffCall::hsRunning;
    }
    call->Method();
    {
      std::lock_guard<std::mutex> guard(shared->Lock);
      call->State = THandOffCall::hsDone;
    }
    shared->Changed.notify_all();
  });
  // The handlers touch only the component, never this thread's state, so
  // a closing port need not wait for them.
  std::unique_lock<std::mutex> lock(FPort.Lock);
  FPort.Changed.wait(lock, [&] {
    return call->State == THandOffCall::hsDone || !FPort.Active.load() || FPort.Destroying.load();
  });
  if (call->State == THandOffCall::hsQueued && (IsEvent || FPort.Destroying.load()))
    call->State = THandOffCall::hsDropped;
}

void TWorkThread::Report(uint32_t Place, uint32_t Code, uint8_t Noise, const char* Msg) {
  if (FPort.Destroying.load()) return;
  std::shared_ptr<TPortShared> shared = FShared;
  HandOff(
      [shared, Place, Code, Noise, Msg] {
        if (shared->Sink) shared->Sink->ProcessError(Place, Code, Noise, Msg);
      },
      false);
}

void TWorkThread::ReportRepeated(uint32_t Place, uint32_t Code, const char* Msg) {
  const auto key = std::make_pair(Place, Msg);
  auto it = FRepeated.find(key);
  if (it != FRepeated.end() && it->second == Code) return;
  FRepeated[key] = Code;
  Report(Place, Code, 0, Msg);
}

void TWorkThread::Recovered(uint32_t Place, const char* Msg) {
  FRepeated.erase(std::make_pair(Place, Msg));
}

void TWorkThread::RaiseEvent(TPortEventKind Kind) {
  // Skipped outright once destruction has begun, and when no handler is
  // assigned.
  if (FPort.Destroying.load() || FPort.Sink == nullptr || !FPort.Sink->Assigned(Kind)) return;
  std::shared_ptr<TPortShared> shared = FShared;
  HandOff(
      [shared, Kind] {
        if (shared->Sink && shared->Active.load()) shared->Sink->Raise(Kind);
      },
      true);
}

void TWorkThread::DeviceLost() {
  if (FLost) return;
  FLost = true;
  FStalled = true;
  ReportRepeated(kLostPlace, ERROR_DEVICE_NOT_CONNECTED, kLostMsg);
}

void TWorkThread::Pause(uint32_t Milliseconds) {
  std::unique_lock<std::mutex> lock(FPort.Lock);
  FPort.Changed.wait_for(lock, std::chrono::milliseconds(Milliseconds),
                         [this] { return !FPort.Active.load() || Terminated(); });
}

void TWorkThread::Execute() {
  RaiseThreadPriority();
  IPortDriver& driver = FPort.Driver;
  FLastReadTick = FPort.Clock.GetTickCount();
  FReadPending = false;
  FWaitPending = false;
  FRunning = FPort.Active.load();
  FFinished = Terminated();
  while (!FFinished) {
    if (FRunning) {
      if (!FPort.ThreadIsRunning.load()) FPort.Set(FPort.ThreadIsRunning, true);
      const bool serving = FPort.Active.load() && !FLost;
      FStalled = FLost;
      if (serving) PollStatus();
      CheckWrite();
      if (!FReadPending && serving && !FLost) CheckRead();
      if (!FWaitPending && serving && !FLost) StartWait();

      const THandle readEvent = FPort.ReadOverlapped.hEvent;
      const THandle waitEvent = FPort.WaitOverlapped.hEvent;
      // After a failed wait the read and the wait are still with the
      // driver: they stay pending (a forgotten read loses its bytes, a
      // forgotten wait its events) unless the port is closing.
      auto waitFailed = [&](uint32_t Place, uint32_t Result) {
        ReportRepeated(Place, Result, "Error getting Overlappedresult");
        if (!FPort.Active.load()) {
          FReadPending = false;
          FWaitPending = false;
        }
        FStalled = true;
      };
      bool blocked = false;
      auto waitWorked = [&] {
        blocked = true;
        Recovered(9911, "Error getting Overlappedresult");
        Recovered(9912, "Error getting Overlappedresult");
        Recovered(9913, "Error getting Overlappedresult");
      };
      if (FReadPending && FWaitPending) {
        const THandle events[2] = {readEvent, waitEvent};
        const uint32_t result = driver.WaitForMultipleObjects(2, events, kPassMs);
        if (FPort.Active.load() && !FLost) PollStatus();
        if (result == WAIT_OBJECT_0) {
          waitWorked();
          ReadDone();
        } else if (result == WAIT_OBJECT_0 + 1) {
          waitWorked();
          WaitDone();
        } else if (result == WAIT_TIMEOUT) {
          waitWorked();
        } else {
          waitFailed(9911, result);
        }
      } else if (FReadPending) {
        const uint32_t result = driver.WaitForSingleObject(readEvent, kPassMs);
        if (FPort.Active.load() && !FLost) PollStatus();
        if (result == WAIT_OBJECT_0) {
          waitWorked();
          ReadDone();
        } else if (result == WAIT_TIMEOUT) {
          waitWorked();
        } else {
          waitFailed(9912, result);
        }
      } else if (FWaitPending) {
        const uint32_t result = driver.WaitForSingleObject(waitEvent, kPassMs);
        if (FPort.Active.load() && !FLost) PollStatus();
        if (result == WAIT_OBJECT_0) {
          waitWorked();
          WaitDone();
        } else if (result == WAIT_TIMEOUT) {
          waitWorked();
        } else {
          waitFailed(9913, result);
        }
      }
      // A wait that could not be started, a failing wait or a lost device
      // gives this pass nothing to wait on: it must not spin.
      if (FStalled && !blocked && FPort.Active.load()) Pause(kPassMs);

      if (!FPort.Active.load()) {
        // The port is being closed: end what is pending, then let go of it.
        if (FReadPending) SignalEvent(readEvent);
        if (FWaitPending) {
          driver.SetCommMask(FPort.ComHandle.load(), 0);
          SignalEvent(waitEvent);
        }
        if (!FReadPending && !FWaitPending && !FPort.SendInProgress.load()) FRunning = false;
      }
    } else {
      if (FPort.ThreadIsRunning.load()) FPort.Set(FPort.ThreadIsRunning, false);
      // A new opening starts with a clean slate.
      FLost = false;
      FRepeated.clear();
      FRunning = FPort.Active.load();
      if (!FRunning) FPort.Clock.Sleep(200);
    }
    if (Terminated() && !FRunning) FFinished = true;
  }
  FPort.ThreadFinished.store(true);
}

void TWorkThread::PollStatus() {
  IPortDriver& driver = FPort.Driver;
  const THandle port = FPort.ComHandle.load();
  uint32_t modem = 0;
  if (driver.GetCommModemStatus(port, &modem)) {
    Recovered(9905, "Error getting ModemStatus");
    const uint32_t previous = FPort.ModemState.load();
    bool trailingRing = false;
    // That family's drivers report only the leading edge of a ring; the
    // trailing edge is made up here from the line state.
    if (FPort.PlatformId == 1 && !(modem & MS_RING_ON) && (previous & MS_RING_ON)) {
      FPort.RingState.store(false);
      trailingRing = true;
    }
    const bool ringChanged = ((modem ^ previous) & MS_RING_ON) != 0;
    FModemStatus = modem;
    FPort.ModemState.store(modem);
    FPort.CTSState.store((modem & MS_CTS_ON) != 0);
    FPort.DSRState.store((modem & MS_DSR_ON) != 0);
    FPort.RLSDState.store((modem & MS_RLSD_ON) != 0);
    FPort.RingState.store((modem & MS_RING_ON) != 0);
    if (ringChanged) RaiseEvent(pekRI);
    if (trailingRing) DispatchEvents(EV_RING);
  } else {
    const uint32_t error = driver.GetLastError();
    if (error == ERROR_DEVICE_NOT_CONNECTED) {
      DeviceLost();
      return;
    }
    ReportRepeated(9905, error, "Error getting ModemStatus");
  }

  for (;;) {
    uint32_t errors = 0;
    TComStat stat;
    if (!driver.ClearCommError(port, &errors, &stat)) {
      const uint32_t error = driver.GetLastError();
      if (error == ERROR_DEVICE_NOT_CONNECTED)
        DeviceLost();
      else
        ReportRepeated(9803, error, "Error ClearCommError");
      break;
    }
    Recovered(9803, "Error ClearCommError");
    // Errors are kept until a read consumes them: each call returns only
    // what happened since the previous one, so the last call of this loop
    // nearly always sees none.
    FLineErrors |= errors;
    FComStat = stat;
    const auto flags = static_cast<uint8_t>(stat.Flags & 0xFF);
    if (errors == FPort.CommError.load() && flags == FPort.CommStateFlags.load() &&
        stat.cbInQue == FPort.CommStateInQueue.load() &&
        stat.cbOutQue == FPort.CommStateOutQueue.load())
      break;
    FPort.CommError.store(errors);
    FPort.CommStateFlags.store(flags);
    FPort.CommStateInQueue.store(stat.cbInQue);
    FPort.CommStateOutQueue.store(stat.cbOutQue);
    RaiseEvent(pekCommStat);
  }
}

void TWorkThread::DispatchEvents(uint32_t Mask) {
  if (FPort.Destroying.load()) return;
  FPort.CommEvent.store(Mask);
  if (Mask & EV_BREAK) RaiseEvent(pekBreak);
  if (Mask & EV_CTS) RaiseEvent(pekCTS);
  if (Mask & EV_DSR) RaiseEvent(pekDSR);
  if (Mask & EV_ERR) RaiseEvent(pekLineError);
  if (Mask & EV_RING) RaiseEvent(pekRing);
  if (Mask & EV_RLSD) RaiseEvent(pekRLSD);
  if (Mask & EV_RXCHAR) RaiseEvent(pekRxChar);
  if (Mask & EV_RXFLAG) RaiseEvent(pekRxEventChar);
  if (Mask & EV_TXEMPTY) RaiseEvent(pekTxQueueEmpty);
  if (Mask != 0) RaiseEvent(pekComm);
}

void TWorkThread::StartWait() {
  IPortDriver& driver = FPort.Driver;
  FEventMask = 0;
  if (driver.WaitCommEvent(FPort.ComHandle.load(), &FEventMask, &FPort.WaitOverlapped)) {
    Recovered(9907, "Error calling WaitCommEvent");
    const uint32_t mask = FEventMask;
    PollStatus();
    DispatchEvents(mask);
    return;
  }
  const uint32_t error = driver.GetLastError();
  if (error == ERROR_IO_PENDING) {
    Recovered(9907, "Error calling WaitCommEvent");
    FWaitPending = true;
  } else if (error == ERROR_DEVICE_NOT_CONNECTED) {
    DeviceLost();
  } else {
    ReportRepeated(9907, error, "Error calling WaitCommEvent");
    FStalled = true;
  }
}

void TWorkThread::WaitDone() {
  const uint32_t mask = FEventMask;
  FWaitPending = false;
  if (FPort.WaitOverlapped.Internal.load() == ERROR_DEVICE_NOT_CONNECTED) {
    DeviceLost();
    return;
  }
  if (FPort.Active.load() && !FLost) {
    PollStatus();
    DispatchEvents(mask);
  }
}

void TWorkThread::CheckRead() {
  const uint32_t waiting = FComStat.cbInQue;
  if (waiting == 0) {
    FLastReadTick = FPort.Clock.GetTickCount();
    FLineErrors = 0;
    return;
  }
  const uint32_t now = FPort.Clock.GetTickCount();
  if (!FPort.ReadRequest.load() && waiting < FPort.ClusterSize.load()) {
    const double limit = waiting * static_cast<double>(FPort.RTOCharDelayTime.load()) / 1000.0 +
                         FPort.RTOExtraDelayTime.load();
    if (static_cast<double>(now - FLastReadTick) <= limit && !(FLineErrors & kReadNowErrors))
      return;
  }
  IPortDriver& driver = FPort.Driver;
  const uint32_t count = std::min<uint32_t>(waiting, kReadBufferSize);
  FBytesRead = 0;
  if (driver.ReadFile(FPort.ComHandle.load(), FReadBuffer.data(), count, &FBytesRead,
                      &FPort.ReadOverlapped)) {
    Recovered(9804, "Error reading Data");
    FPort.ReadRequest.store(false);
    MakeCluster(FBytesRead);
    FLastReadTick = FPort.Clock.GetTickCount();
    return;
  }
  const uint32_t error = driver.GetLastError();
  if (error == ERROR_IO_PENDING) {
    FReadPending = true;
    return;
  }
  FPort.ReadRequest.store(false);
  if (error == ERROR_DEVICE_NOT_CONNECTED)
    DeviceLost();
  else
    ReportRepeated(9804, error, "Error reading Data");
}

void TWorkThread::ReadDone() {
  IPortDriver& driver = FPort.Driver;
  TOverlapped& record = FPort.ReadOverlapped;
  uint32_t bytes = 0;
  if (driver.GetOverlappedResult(FPort.ComHandle.load(), &record, &bytes, false)) {
    // The request is answered by this read; left set it would make the
    // next bytes skip the clustering delay.
    FPort.ReadRequest.store(false);
    Recovered(9908, "Error getting Overlappedresult");
    MakeCluster(bytes);
    FLastReadTick = FPort.Clock.GetTickCount();
    FReadPending = false;
    return;
  }
  const uint32_t error = driver.GetLastError();
  const uint32_t status = record.Internal.load(std::memory_order_acquire);
  // Signalled while the read still runs (the closing path does that): an
  // open port keeps waiting for it.
  if (status == STATUS_PENDING && FPort.Active.load()) {
    driver.ResetEvent(record.hEvent);
    if (record.Internal.load(std::memory_order_acquire) == STATUS_PENDING) return;
    driver.SetEvent(record.hEvent);  // it ended meanwhile: read it on the next pass
    return;
  }
  FPort.ReadRequest.store(false);
  FReadPending = false;
  if (status == ERROR_SUCCESS) {
    // The read itself ended well and only the result call failed: its
    // bytes are in the buffer and the record, and are kept.
    ReportRepeated(9908, error, "Error getting Overlappedresult");
    MakeCluster(record.InternalHigh.load(std::memory_order_acquire));
    FLastReadTick = FPort.Clock.GetTickCount();
    return;
  }
  if (error == ERROR_DEVICE_NOT_CONNECTED)
    DeviceLost();
  else if (error == ERROR_OPERATION_ABORTED)
    ReportRepeated(9907, error, "Error read aborted");
  else
    ReportRepeated(9908, error, "Error getting Overlappedresult");
}

void TWorkThread::MakeCluster(uint32_t Bytes) {
  if (FPort.Destroying.load()) return;
  Bytes = std::min<uint32_t>(Bytes, kReadBufferSize);
  auto cluster = std::make_unique<TSerialCluster>(FReadBuffer.data(), Bytes, FLineErrors);
  FLineErrors = 0;
  {
    std::lock_guard<std::mutex> guard(FPort.ClusterLock);
    FPort.ClusterList.push_back(std::move(cluster));
  }
  RaiseEvent(pekRxCluster);
}

void TWorkThread::EndWrite(uint32_t Transferred) {
  FPort.WrittenBytes.store(Transferred);
  FPort.SendInProgress.store(false);
}

void TWorkThread::CheckWrite() {
  if (!FPort.SendInProgress.load()) return;
  IPortDriver& driver = FPort.Driver;
  const THandle port = FPort.ComHandle.load();
  uint32_t transferred = 0;
  if (driver.GetOverlappedResult(port, &FPort.WriteOverlapped, &transferred, false)) {
    EndWrite(transferred);
    if (transferred != FPort.SendRequestSize.load()) Report(9701, 0, 0, "Error write TimeOut");
    RaiseEvent(pekWriteDone);
    return;
  }
  const uint32_t error = driver.GetLastError();
  if (error == ERROR_IO_INCOMPLETE || error == ERROR_IO_PENDING) {
    // A write still running or still pending, timed by what was asked of
    // it: the bytes sent so far would give a long write no time at all.
    const uint32_t bytes = std::max(transferred, FPort.SendRequestSize.load());
    const double limit = bytes * static_cast<double>(FPort.WTOCharDelayTime.load()) / 1000.0 +
                         FPort.WTOExtraDelayTime.load();
    const uint32_t elapsed = FPort.Clock.GetTickCount() - FPort.SendStartTick.load();
    // A closing port does not wait for it: the closer has purged the port.
    if (static_cast<double>(elapsed) <= limit && FPort.Active.load()) return;
    EndWrite(transferred);
    // Given up: the driver drops it too, so that the next write can go.
    driver.PurgeComm(port, PURGE_TXABORT);
    ResetWriteEvent();
    Report(9701, error, 0, "Error write TimeOut");
    RaiseEvent(pekWriteDone);
    return;
  }
  EndWrite(transferred);
  ResetWriteEvent();
  if (error == ERROR_DEVICE_NOT_CONNECTED)
    DeviceLost();
  else
    Report(9702, error, 0, "Error getting Overlapped Result");
  RaiseEvent(pekWriteDone);
}

void TWorkThread::SignalEvent(THandle Event) {
  if (!FPort.Driver.SetEvent(Event))
    ReportRepeated(1101, FPort.Driver.GetLastError(), "Error setting Overlapped Event");
}

void TWorkThread::ResetWriteEvent() {
  if (!FPort.Driver.ResetEvent(FPort.WriteOverlapped.hEvent))
    Report(1101, FPort.Driver.GetLastError(), 0, "Error resetting Overlapped Event");
}

}  // namespace serial
