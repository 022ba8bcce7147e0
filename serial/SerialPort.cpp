#include "serial/SerialPort.h"

#include <algorithm>
#include <cstring>

namespace serial {
namespace {

// One read takes at most this much; the buffer is allocated once for the
// thread's life so that its address stays valid for the driver.
constexpr uint32_t kReadBufferSize = 65536;

// Line-error bits that make the worker read at once.
constexpr uint32_t kReadNowErrors = 0x1F;

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
    : core::TComponent(AOwner), FDriver(Driver), FClock(Clock) {
  OnProcessError = std::move(AOnProcessError);
  uint32_t platform = 0;
  FPlatformId = FDriver.GetVersionEx(platform) ? platform : 0xFFFFFFFF;

  for (TOverlapped* record : {&FWriteOverlapped, &FReadOverlapped, &FWaitOverlapped}) {
    record->hEvent = FDriver.CreateEvent();
    const uint32_t error = FDriver.GetLastError();
    if (record->hEvent == 0)
      ProcessError(1001, error, 0, "Error Creating Overlapped Event");
    else if (error == ERROR_ALREADY_EXISTS)
      ProcessError(1002, ERROR_ALREADY_EXISTS, 0, "Error Overlapped Event Exists");
  }

  FWorkThread = std::make_unique<TWorkThread>(*this);
  FWorkThread->OnTerminate = [this](core::TObject* Sender) { ThreadTerminated(Sender); };
  FWorkThread->Start();
}

TSerialPort::~TSerialPort() {
  FDestroying.store(true);
  Reactivate(false);
  FWorkThread->Terminate();
  for (int i = 0; i < 10 && FThreadIsRunning.load(); ++i)
    FClock.Sleep(75);
  // The thread must be gone before the events and records it uses are:
  // a thread held back by a slow hand-off may still be inside a pass.
  FWorkThread->WaitFor();
  for (TOverlapped* record : {&FWriteOverlapped, &FWaitOverlapped, &FReadOverlapped})
    if (record->hEvent != 0) FDriver.CloseEvent(record->hEvent);
  {
    std::lock_guard<std::mutex> guard(FClusterLock);
    FClusterList.clear();
  }
  FWorkThread.reset();
}

void TSerialPort::ProcessError(uint32_t Place, uint32_t Code, uint8_t Noise,
                               const std::string& Msg) {
  if (FDestroying.load() || Noise > FErrorNoise || !OnProcessError) return;
  OnProcessError(this, Place, Code, Msg, Noise);
}

void TSerialPort::ThreadTerminated(core::TObject*) {
  FThreadIsRunning.store(false);
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
    FActive.store(false);
    if (!FDriver.PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
      ProcessError(102, FDriver.GetLastError(), 0, "Error clearing Queues");
    for (int i = 0; i < 15 && FThreadIsRunning.load(); ++i)
      FClock.Sleep(75);
    if (FThreadIsRunning.load()) ProcessError(104, 0, 1, "Warning ThreadIsRunning");
    if (!FDriver.EscapeCommFunction(port, CLRDTR))
      ProcessError(602, FDriver.GetLastError(), 0, "Error clearing DTR");
    if (!FDriver.EscapeCommFunction(port, CLRRTS))
      ProcessError(502, FDriver.GetLastError(), 0, "Error clearing RTS");
    FDTRState = false;
    FRTSState = false;
    if (!FDriver.CloseHandle(port))
      ProcessError(103, FDriver.GetLastError(), 0, "Error closing Port");
    FComHandle.store(INVALID_HANDLE_VALUE);
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
  FComHandle.store(port);
  FActive.store(port != INVALID_HANDLE_VALUE);
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
  if (Value == FWTOCharDelayTime.load()) return;
  FWTOCharDelayTime.store(Value);
  ApplyIfActive();
}

void TSerialPort::SetWTOExtraDelayTime(uint16_t Value) {
  if (Value == FWTOExtraDelayTime.load()) return;
  FWTOExtraDelayTime.store(Value);
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
  std::lock_guard<std::mutex> guard(FClusterLock);
  return FClusterList.size();
}

std::unique_ptr<TSerialCluster> TSerialPort::TakeCluster() {
  std::lock_guard<std::mutex> guard(FClusterLock);
  if (FClusterList.empty()) return nullptr;
  std::unique_ptr<TSerialCluster> cluster = std::move(FClusterList.front());
  FClusterList.pop_front();
  return cluster;
}

bool TSerialPort::SendData(const void* Data, uint32_t Size) {
  if (!Active() || FSendInProgress.load()) return false;
  // A write given up after its time limit may still be running in the
  // driver, reading the send buffer: it must end before the buffer changes.
  if (FWriteOverlapped.Internal.load() == STATUS_PENDING) return false;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  FSendBuffer.assign(bytes, bytes + Size);
  FSendRequestSize.store(Size);
  FSendStartTick.store(FClock.GetTickCount());
  FSendInProgress.store(true);
  uint32_t written = 0;
  if (FDriver.WriteFile(ComHandle(), FSendBuffer.data(), Size, &written, &FWriteOverlapped))
    return true;
  if (FDriver.GetLastError() == ERROR_IO_PENDING) return true;
  FSendInProgress.store(false);
  return false;
}

// ---------------------------------------------------------------- TWorkThread

TWorkThread::TWorkThread(TSerialPort& AOwner) : FOwner(AOwner), FReadBuffer(kReadBufferSize) {}

TWorkThread::~TWorkThread() {
  Shutdown();
}

void TWorkThread::HandOff(const std::function<void()>& Method) {
  if (FOwner.FThreadQuietMode.load()) return;
  Synchronize(Method);
}

void TWorkThread::Report(uint32_t Place, uint32_t Code, uint8_t Noise, const char* Msg) {
  if (FOwner.FDestroying.load()) return;
  HandOff([this, Place, Code, Noise, Msg] { FOwner.ProcessError(Place, Code, Noise, Msg); });
}

void TWorkThread::RaiseEvent(const core::TNotifyEvent& Event) {
  // Skipped outright once destruction has begun: a hand-off would hold the
  // worker until the destructor's bounded waits are over.
  if (!Event || FOwner.FDestroying.load()) return;
  HandOff([this, &Event] {
    if (!FOwner.FDestroying.load() && Event) Event(&FOwner);
  });
}

void TWorkThread::Execute() {
  IPortDriver& driver = FOwner.FDriver;
  FLastReadTick = FOwner.FClock.GetTickCount();
  FReadPending = false;
  FWaitPending = false;
  FRunning = FOwner.Active();
  FFinished = Terminated();
  while (!FFinished) {
    if (FRunning) {
      FOwner.FThreadIsRunning.store(true);
      if (FOwner.Active()) PollStatus();
      CheckWrite();
      if (!FReadPending && FOwner.Active()) CheckRead();
      if (!FWaitPending && FOwner.Active()) StartWait();

      const THandle readEvent = FOwner.FReadOverlapped.hEvent;
      const THandle waitEvent = FOwner.FWaitOverlapped.hEvent;
      if (FReadPending && FWaitPending) {
        const THandle events[2] = {readEvent, waitEvent};
        const uint32_t result = driver.WaitForMultipleObjects(2, events, 75);
        if (FOwner.Active()) PollStatus();
        if (result == WAIT_OBJECT_0) {
          ReadDone();
        } else if (result == WAIT_OBJECT_0 + 1) {
          WaitDone();
        } else if (result != WAIT_TIMEOUT) {
          Report(9911, result, 0, "Error getting Overlappedresult");
          FReadPending = false;
          FWaitPending = false;
        }
      } else if (FReadPending) {
        const uint32_t result = driver.WaitForSingleObject(readEvent, 75);
        if (FOwner.Active()) PollStatus();
        if (result == WAIT_OBJECT_0) {
          ReadDone();
        } else if (result != WAIT_TIMEOUT) {
          Report(9912, result, 0, "Error getting Overlappedresult");
          FReadPending = false;
        }
      } else if (FWaitPending) {
        const uint32_t result = driver.WaitForSingleObject(waitEvent, 75);
        if (FOwner.Active()) PollStatus();
        if (result == WAIT_OBJECT_0) {
          WaitDone();
        } else if (result != WAIT_TIMEOUT) {
          Report(9913, result, 0, "Error getting Overlappedresult");
          FWaitPending = false;
        }
      }

      if (!FOwner.Active()) {
        // The port is being closed: end what is pending, then let go of it.
        if (FReadPending) SignalEvent(readEvent);
        if (FWaitPending) {
          driver.SetCommMask(FOwner.ComHandle(), 0);
          SignalEvent(waitEvent);
        }
        if (!FReadPending && !FWaitPending && !FOwner.FSendInProgress.load()) FRunning = false;
      }
    } else {
      FOwner.FThreadIsRunning.store(false);
      FRunning = FOwner.Active();
      FOwner.FClock.Sleep(200);
    }
    if (Terminated() && !FRunning) FFinished = true;
  }
  FOwner.FThreadFinished.store(true);
}

void TWorkThread::PollStatus() {
  IPortDriver& driver = FOwner.FDriver;
  const THandle port = FOwner.ComHandle();
  uint32_t modem = 0;
  if (driver.GetCommModemStatus(port, &modem)) {
    const uint32_t previous = FOwner.FModemState.load();
    bool trailingRing = false;
    // That family's drivers report only the leading edge of a ring; the
    // trailing edge is made up here from the line state.
    if (FOwner.FPlatformId == 1 && !(modem & MS_RING_ON) && (previous & MS_RING_ON)) {
      FOwner.FRingState.store(false);
      trailingRing = true;
    }
    const bool ringChanged = ((modem ^ previous) & MS_RING_ON) != 0;
    FModemStatus = modem;
    FOwner.FModemState.store(modem);
    FOwner.FCTSState.store((modem & MS_CTS_ON) != 0);
    FOwner.FDSRState.store((modem & MS_DSR_ON) != 0);
    FOwner.FRLSDState.store((modem & MS_RLSD_ON) != 0);
    FOwner.FRingState.store((modem & MS_RING_ON) != 0);
    if (ringChanged) RaiseEvent(FOwner.OnRIEvent);
    if (trailingRing) DispatchEvents(EV_RING);
  } else {
    Report(9905, driver.GetLastError(), 0, "Error getting ModemStatus");
  }

  for (;;) {
    uint32_t errors = 0;
    TComStat stat;
    if (!driver.ClearCommError(port, &errors, &stat)) {
      Report(9803, driver.GetLastError(), 0, "Error ClearCommError");
      break;
    }
    // Errors are kept until a read consumes them: each call returns only
    // what happened since the previous one, so the last call of this loop
    // nearly always sees none.
    FLineErrors |= errors;
    FComStat = stat;
    const auto flags = static_cast<uint8_t>(stat.Flags & 0xFF);
    if (errors == FOwner.FCommError.load() && flags == FOwner.FCommStateFlags.load() &&
        stat.cbInQue == FOwner.FCommStateInQueue.load() &&
        stat.cbOutQue == FOwner.FCommStateOutQueue.load())
      break;
    FOwner.FCommError.store(errors);
    FOwner.FCommStateFlags.store(flags);
    FOwner.FCommStateInQueue.store(stat.cbInQue);
    FOwner.FCommStateOutQueue.store(stat.cbOutQue);
    RaiseEvent(FOwner.OnCommStat);
  }
}

void TWorkThread::DispatchEvents(uint32_t Mask) {
  if (FOwner.FDestroying.load()) return;
  FOwner.FCommEvent.store(Mask);
  if (Mask & EV_BREAK) RaiseEvent(FOwner.OnBreakEvent);
  if (Mask & EV_CTS) RaiseEvent(FOwner.OnCTSEvent);
  if (Mask & EV_DSR) RaiseEvent(FOwner.OnDSREvent);
  if (Mask & EV_ERR) RaiseEvent(FOwner.OnLineErrorEvent);
  if (Mask & EV_RING) RaiseEvent(FOwner.OnRingEvent);
  if (Mask & EV_RLSD) RaiseEvent(FOwner.OnRLSDEvent);
  if (Mask & EV_RXCHAR) RaiseEvent(FOwner.OnRxCharEvent);
  if (Mask & EV_RXFLAG) RaiseEvent(FOwner.OnRxEventCharEvent);
  if (Mask & EV_TXEMPTY) RaiseEvent(FOwner.OnTxQueueEmptyEvent);
  if (Mask != 0) RaiseEvent(FOwner.OnCommEvent);
}

void TWorkThread::StartWait() {
  IPortDriver& driver = FOwner.FDriver;
  FEventMask = 0;
  if (driver.WaitCommEvent(FOwner.ComHandle(), &FEventMask, &FOwner.FWaitOverlapped)) {
    const uint32_t mask = FEventMask;
    PollStatus();
    DispatchEvents(mask);
  } else if (driver.GetLastError() == ERROR_IO_PENDING) {
    FWaitPending = true;
  } else {
    Report(9907, driver.GetLastError(), 0, "Error calling WaitCommEvent");
  }
}

void TWorkThread::WaitDone() {
  const uint32_t mask = FEventMask;
  if (FOwner.Active()) {
    PollStatus();
    DispatchEvents(mask);
  }
  FWaitPending = false;
}

void TWorkThread::CheckRead() {
  const uint32_t waiting = FComStat.cbInQue;
  if (waiting == 0) {
    FLastReadTick = FOwner.FClock.GetTickCount();
    FLineErrors = 0;
    return;
  }
  const uint32_t now = FOwner.FClock.GetTickCount();
  if (!FOwner.FReadRequest.load() && waiting < FOwner.FClusterSize.load()) {
    const double limit = waiting * static_cast<double>(FOwner.FRTOCharDelayTime.load()) / 1000.0 +
                         FOwner.FRTOExtraDelayTime.load();
    if (static_cast<double>(now - FLastReadTick) <= limit && !(FLineErrors & kReadNowErrors))
      return;
  }
  IPortDriver& driver = FOwner.FDriver;
  const uint32_t count = std::min<uint32_t>(waiting, kReadBufferSize);
  FBytesRead = 0;
  if (driver.ReadFile(FOwner.ComHandle(), FReadBuffer.data(), count, &FBytesRead,
                      &FOwner.FReadOverlapped)) {
    FOwner.FReadRequest.store(false);
    MakeCluster(FBytesRead);
    FLastReadTick = FOwner.FClock.GetTickCount();
  } else if (driver.GetLastError() == ERROR_IO_PENDING) {
    FReadPending = true;
  } else {
    FOwner.FReadRequest.store(false);
    Report(9804, driver.GetLastError(), 0, "Error reading Data");
  }
}

void TWorkThread::ReadDone() {
  IPortDriver& driver = FOwner.FDriver;
  // The request is answered by this read, whatever its outcome; left set it
  // would make the next bytes skip the clustering delay.
  FOwner.FReadRequest.store(false);
  uint32_t bytes = 0;
  if (driver.GetOverlappedResult(FOwner.ComHandle(), &FOwner.FReadOverlapped, &bytes, false)) {
    MakeCluster(bytes);
    FLastReadTick = FOwner.FClock.GetTickCount();
  } else {
    const uint32_t error = driver.GetLastError();
    if (error == ERROR_OPERATION_ABORTED)
      Report(9907, error, 0, "Error read aborted");
    else
      Report(9908, error, 0, "Error getting Overlappedresult");
  }
  FReadPending = false;
}

void TWorkThread::MakeCluster(uint32_t Bytes) {
  if (FOwner.FDestroying.load()) return;
  Bytes = std::min<uint32_t>(Bytes, kReadBufferSize);
  auto cluster = std::make_unique<TSerialCluster>(FReadBuffer.data(), Bytes, FLineErrors);
  FLineErrors = 0;
  {
    std::lock_guard<std::mutex> guard(FOwner.FClusterLock);
    FOwner.FClusterList.push_back(std::move(cluster));
  }
  RaiseEvent(FOwner.OnRxClusterEvent);
}

void TWorkThread::CheckWrite() {
  if (!FOwner.FSendInProgress.load()) return;
  IPortDriver& driver = FOwner.FDriver;
  uint32_t transferred = 0;
  if (driver.GetOverlappedResult(FOwner.ComHandle(), &FOwner.FWriteOverlapped, &transferred,
                                 false)) {
    FOwner.FWrittenBytes.store(transferred);
    FOwner.FSendInProgress.store(false);
    if (transferred != FOwner.FSendRequestSize.load()) Report(9701, 0, 0, "Error write TimeOut");
    RaiseEvent(FOwner.OnWriteDone);
    return;
  }
  const uint32_t error = driver.GetLastError();
  if (error == ERROR_IO_INCOMPLETE) return;
  if (error == ERROR_IO_PENDING) {
    const double limit =
        transferred * static_cast<double>(FOwner.FWTOCharDelayTime.load()) / 1000.0 +
        FOwner.FWTOExtraDelayTime.load();
    const uint32_t elapsed = FOwner.FClock.GetTickCount() - FOwner.FSendStartTick.load();
    if (static_cast<double>(elapsed) > limit) {
      FOwner.FWrittenBytes.store(transferred);
      FOwner.FSendInProgress.store(false);
      ResetWriteEvent();
      Report(9701, ERROR_IO_PENDING, 0, "Error write TimeOut");
      RaiseEvent(FOwner.OnWriteDone);
    }
    return;
  }
  FOwner.FSendInProgress.store(false);
  ResetWriteEvent();
  Report(9702, error, 0, "Error getting Overlapped Result");
  RaiseEvent(FOwner.OnWriteDone);
}

void TWorkThread::SignalEvent(THandle Event) {
  if (!FOwner.FDriver.SetEvent(Event))
    Report(1101, FOwner.FDriver.GetLastError(), 0, "Error setting Overlapped Event");
}

void TWorkThread::ResetWriteEvent() {
  if (!FOwner.FDriver.ResetEvent(FOwner.FWriteOverlapped.hEvent))
    Report(1101, FOwner.FDriver.GetLastError(), 0, "Error resetting Overlapped Event");
}

}  // namespace serial
