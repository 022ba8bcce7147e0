#include "serial/win32/Win32Port.h"

#include <chrono>
#include <vector>

#include "serial/PortDriverBase.h"
#include "serial/ThreadPriority.h"

namespace serial::win32 {
namespace {

// Bound of one wait of the system (MAXIMUM_WAIT_OBJECTS).
constexpr uint32_t kMaxWait = 64;
// How long closing a port waits for its cancelled operations to end.
constexpr uint32_t kCloseWaitMs = 1000;
// A read that ran into its time-out; the system's documented answer is a
// success with the bytes that arrived, which wine reports as this error.
constexpr uint32_t kErrorTimeout = 1460;

// What the calls on an open port answer once its device is gone: the
// serial drivers of USB adapters say ERROR_BAD_COMMAND, ERROR_GEN_FAILURE,
// ERROR_ACCESS_DENIED or ERROR_DEVICE_REMOVED. The component knows a lost
// device by ERROR_DEVICE_NOT_CONNECTED, as the interface promises.
uint32_t OnOpenPort(uint32_t Error) {
  switch (Error) {
    case 5:     // ERROR_ACCESS_DENIED
    case 22:    // ERROR_BAD_COMMAND
    case 31:    // ERROR_GEN_FAILURE
    case 1617:  // ERROR_DEVICE_REMOVED
      return ERROR_DEVICE_NOT_CONNECTED;
    default:
      return Error;
  }
}

}  // namespace

TWin32PortDriver::TWin32PortDriver(IWin32Api& Api) : FApi(Api) {
  FWake = FApi.NewEvent();
  FCompletion = std::thread([this] { CompletionLoop(); });
}

TWin32PortDriver::~TWin32PortDriver() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = true;
  }
  FApi.SetEvent(FWake);
  FCompletion.join();
  for (auto& [record, shadow] : FShadows)
    if (shadow->Event) FApi.CloseHandle(shadow->Event);
  for (auto& shadow : FAbandoned)
    if (shadow->Event) FApi.CloseHandle(shadow->Event);
  FApi.CloseHandle(FWake);
}

bool TWin32PortDriver::Result(bool Ok) {
  // Every call through here acts on an open port (opening has its own path).
  if (!Ok) serial::SetLastError(OnOpenPort(FApi.GetLastError()));
  return Ok;
}

uint32_t TWin32PortDriver::GetLastError() {
  return serial::LastError();
}

THandle TWin32PortDriver::CreateFile(const std::string& Name) {
  const TNativeHandle port = FApi.OpenComm(Name);
  if (port == InvalidNativeHandle()) {
    serial::SetLastError(FApi.GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  serial::SetLastError(ERROR_SUCCESS);
  return FromNative(port);
}

bool TWin32PortDriver::CloseHandle(THandle Port) {
  const TNativeHandle port = ToNative(Port);
  const bool ok = Result(FApi.CloseHandle(port));
  const uint32_t error = serial::LastError();
  // Closing cancels what still runs on the port; its records must read as
  // ended before the port is gone for the caller.
  std::vector<TShadow*> pending;
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (auto& [record, shadow] : FShadows)
      if (shadow->Pending && shadow->Port == port) pending.push_back(shadow.get());
  }
  for (TShadow* shadow : pending) {
    TNativeHandle event = shadow->Event;
    FApi.WaitForMultipleObjects(1, &event, kCloseWaitMs);
    std::lock_guard<std::mutex> guard(FLock);
    if (shadow->Pending && !Finish(*shadow)) Abandon(*shadow, ERROR_OPERATION_ABORTED);
  }
  serial::SetLastError(error);
  return ok;
}

bool TWin32PortDriver::SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) {
  return Result(FApi.SetupComm(ToNative(Port), InQueue, OutQueue));
}
bool TWin32PortDriver::GetCommState(THandle Port, TDCB& DCB) {
  return Result(FApi.GetCommState(ToNative(Port), DCB));
}
bool TWin32PortDriver::SetCommState(THandle Port, const TDCB& DCB) {
  return Result(FApi.SetCommState(ToNative(Port), DCB));
}
bool TWin32PortDriver::GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) {
  return Result(FApi.GetCommTimeouts(ToNative(Port), Timeouts));
}
bool TWin32PortDriver::SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) {
  return Result(FApi.SetCommTimeouts(ToNative(Port), Timeouts));
}
bool TWin32PortDriver::SetCommMask(THandle Port, uint32_t Mask) {
  return Result(FApi.SetCommMask(ToNative(Port), Mask));
}
bool TWin32PortDriver::GetCommModemStatus(THandle Port, uint32_t* ModemStatus) {
  return Result(FApi.GetCommModemStatus(ToNative(Port), ModemStatus));
}
bool TWin32PortDriver::ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) {
  uint32_t errors = 0;
  TComStat stat;
  if (!Result(FApi.ClearCommError(ToNative(Port), &errors, &stat))) return false;
  if (Errors) *Errors = errors;
  if (Stat) *Stat = stat;
  return true;
}
bool TWin32PortDriver::EscapeCommFunction(THandle Port, uint32_t Function) {
  return Result(FApi.EscapeCommFunction(ToNative(Port), Function));
}
bool TWin32PortDriver::SetCommBreak(THandle Port) {
  return Result(FApi.SetCommBreak(ToNative(Port)));
}
bool TWin32PortDriver::ClearCommBreak(THandle Port) {
  return Result(FApi.ClearCommBreak(ToNative(Port)));
}
bool TWin32PortDriver::PurgeComm(THandle Port, uint32_t Flags) {
  const TNativeHandle port = ToNative(Port);
  if (!Result(FApi.PurgeComm(port, Flags))) return false;
  // The system ends the port's read or write with ERROR_OPERATION_ABORTED;
  // where it does not (wine), they are cancelled here to the same effect.
  std::lock_guard<std::mutex> guard(FLock);
  for (auto& [record, shadow] : FShadows)
    if (shadow->Pending && shadow->Port == port &&
        ((shadow->Read && (Flags & PURGE_RXABORT)) || (shadow->Write && (Flags & PURGE_TXABORT))))
      FApi.CancelIo(port, &shadow->Native);
  return true;
}
bool TWin32PortDriver::GetCommProperties(THandle Port, TCommProp& Properties) {
  return Result(FApi.GetCommProperties(ToNative(Port), Properties));
}

template <class Call>
bool TWin32PortDriver::StartOverlapped(THandle Port, TOverlapped* Record, TKind Kind,
                                       Call&& Operation) {
  if (Record == nullptr) {
    serial::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::unique_lock<std::mutex> lock(FLock);
  std::unique_ptr<TShadow>& slot = FShadows[Record];
  if (!slot) {
    slot = std::make_unique<TShadow>();
    slot->Record = Record;
    slot->Event = FApi.NewEvent();
    if (slot->Event == nullptr) {
      const uint32_t error = FApi.GetLastError();
      FShadows.erase(Record);
      serial::SetLastError(error);
      return false;
    }
  }
  TShadow& shadow = *slot;
  // One operation per record at a time, as with the system's own records.
  if (shadow.Pending) {
    serial::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Record->Internal.store(STATUS_PENDING, std::memory_order_release);
  FApi.ResetEvent(ToNative(Record->hEvent));
  FApi.ResetEvent(shadow.Event);
  shadow.Native = TNativeOverlapped{};
  shadow.Native.hEvent = shadow.Event;
  shadow.Port = ToNative(Port);
  shadow.Bytes = 0;
  shadow.Read = Kind == TKind::Read;
  shadow.Write = Kind == TKind::Write;
  if (Operation(&shadow.Native, &shadow.Bytes)) {
    Record->InternalHigh.store(shadow.Bytes, std::memory_order_relaxed);
    Record->Internal.store(ERROR_SUCCESS, std::memory_order_release);
    FApi.SetEvent(ToNative(Record->hEvent));
    return true;
  }
  const uint32_t error = OnOpenPort(FApi.GetLastError());
  if (error == ERROR_IO_PENDING) {
    shadow.Pending = true;
    lock.unlock();
    FApi.SetEvent(FWake);
  } else {
    Record->InternalHigh.store(0, std::memory_order_relaxed);
    Record->Internal.store(error, std::memory_order_release);
  }
  serial::SetLastError(error);
  return false;
}

bool TWin32PortDriver::WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) {
  // The system writes the mask itself when the wait ends, also later.
  return StartOverlapped(Port, Overlapped, TKind::Wait, [&](TNativeOverlapped* Native, uint32_t*) {
    return FApi.WaitCommEvent(ToNative(Port), Mask, Native);
  });
}

bool TWin32PortDriver::ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                                TOverlapped* Overlapped) {
  const bool ok = StartOverlapped(
      Port, Overlapped, TKind::Read, [&](TNativeOverlapped* Native, uint32_t* Bytes) {
        return FApi.ReadFile(ToNative(Port), Buffer, Count, Bytes, Native);
      });
  if (ok && Read) *Read = Overlapped->InternalHigh.load();
  return ok;
}

bool TWin32PortDriver::WriteFile(THandle Port, const void* Buffer, uint32_t Count,
                                 uint32_t* Written, TOverlapped* Overlapped) {
  const bool ok = StartOverlapped(
      Port, Overlapped, TKind::Write, [&](TNativeOverlapped* Native, uint32_t* Bytes) {
        return FApi.WriteFile(ToNative(Port), Buffer, Count, Bytes, Native);
      });
  if (ok && Written) *Written = Overlapped->InternalHigh.load();
  return ok;
}

bool TWin32PortDriver::Finish(TShadow& Shadow) {
  uint32_t bytes = 0;
  uint32_t status = ERROR_SUCCESS;
  if (!FApi.GetOverlappedResult(Shadow.Port, &Shadow.Native, &bytes, false)) {
    status = OnOpenPort(FApi.GetLastError());
    if (status == ERROR_IO_INCOMPLETE) return false;
    if (status == kErrorTimeout && Shadow.Read) {
      status = ERROR_SUCCESS;
      bytes = static_cast<uint32_t>(Shadow.Native.InternalHigh);
    }
  }
  Shadow.Pending = false;
  Shadow.Record->InternalHigh.store(bytes, std::memory_order_relaxed);
  Shadow.Record->Internal.store(status, std::memory_order_release);
  FApi.SetEvent(ToNative(Shadow.Record->hEvent));
  return true;
}

void TWin32PortDriver::Abandon(TShadow& Shadow, uint32_t Status) {
  Shadow.Pending = false;
  Shadow.Record->InternalHigh.store(0, std::memory_order_relaxed);
  Shadow.Record->Internal.store(Status, std::memory_order_release);
  FApi.SetEvent(ToNative(Shadow.Record->hEvent));
  // The record's next operation gets a system OVERLAPPED and an event of
  // its own, so a late end of this one cannot pass for that one's.
  auto it = FShadows.find(Shadow.Record);
  if (it != FShadows.end() && it->second.get() == &Shadow) {
    FAbandoned.push_back(std::move(it->second));
    FShadows.erase(it);
  }
}

bool TWin32PortDriver::GetOverlappedResult(THandle Port, TOverlapped* Overlapped,
                                           uint32_t* Transferred, bool Wait) {
  (void)Port;
  if (Overlapped == nullptr) {
    serial::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (Wait) {
    TShadow* shadow = nullptr;
    {
      std::lock_guard<std::mutex> guard(FLock);
      auto it = FShadows.find(Overlapped);
      if (it != FShadows.end() && it->second->Pending) shadow = it->second.get();
    }
    if (shadow) {
      // The system's end of the operation, or the record's when closing
      // the port lets go of it.
      TNativeHandle events[2] = {shadow->Event, ToNative(Overlapped->hEvent)};
      FApi.WaitForMultipleObjects(events[1] != nullptr ? 2 : 1, events, INFINITE);
      std::lock_guard<std::mutex> guard(FLock);
      if (shadow->Pending) Finish(*shadow);
    }
  }
  const uint32_t status = Overlapped->Internal.load(std::memory_order_acquire);
  if (status == STATUS_PENDING) {
    serial::SetLastError(ERROR_IO_INCOMPLETE);
    return false;
  }
  const uint32_t bytes = Overlapped->InternalHigh.load(std::memory_order_relaxed);
  if (Transferred) *Transferred = bytes;
  if (status != ERROR_SUCCESS) {
    serial::SetLastError(status);
    return false;
  }
  return true;
}

void TWin32PortDriver::CompletionLoop() {
  // Every line event passes through here on its way to the worker.
  RaiseThreadPriority();
  std::vector<TNativeHandle> handles;
  std::vector<TShadow*> shadows;
  for (;;) {
    handles.assign(1, FWake);
    shadows.assign(1, nullptr);
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FStopping) return;
      for (auto& [record, shadow] : FShadows)
        if (shadow->Pending && handles.size() < kMaxWait) {
          handles.push_back(shadow->Event);
          shadows.push_back(shadow.get());
        }
    }
    const uint32_t result = FApi.WaitForMultipleObjects(static_cast<uint32_t>(handles.size()),
                                                        handles.data(), INFINITE);
    if (result == WAIT_OBJECT_0) {
      FApi.ResetEvent(FWake);
      continue;
    }
    if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size()) {
      std::lock_guard<std::mutex> guard(FLock);
      TShadow& shadow = *shadows[result - WAIT_OBJECT_0];
      if (shadow.Pending && !Finish(shadow)) FApi.ResetEvent(shadow.Event);  // woke too early
      continue;
    }
    // A failed wait (a handle closed under it): look again a little later
    // (not on the wake event, which may stay set).
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

THandle TWin32PortDriver::CreateEvent() {
  FApi.SetLastError(ERROR_SUCCESS);
  const TNativeHandle event = FApi.NewEvent();
  serial::SetLastError(FApi.GetLastError());
  return event == nullptr ? 0 : FromNative(event);
}
bool TWin32PortDriver::SetEvent(THandle Event) {
  return Result(FApi.SetEvent(ToNative(Event)));
}
bool TWin32PortDriver::ResetEvent(THandle Event) {
  return Result(FApi.ResetEvent(ToNative(Event)));
}
bool TWin32PortDriver::CloseEvent(THandle Event) {
  return Result(FApi.CloseHandle(ToNative(Event)));
}

uint32_t TWin32PortDriver::WaitForMultipleObjects(uint32_t Count, const THandle* Events,
                                                  uint32_t Milliseconds) {
  if (Count == 0 || Count > kMaxWait || Events == nullptr) {
    serial::SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  TNativeHandle handles[kMaxWait];
  for (uint32_t i = 0; i < Count; ++i)
    handles[i] = ToNative(Events[i]);
  const uint32_t result = FApi.WaitForMultipleObjects(Count, handles, Milliseconds);
  if (result == WAIT_FAILED) serial::SetLastError(FApi.GetLastError());
  return result;
}

bool TWin32PortDriver::GetVersionEx(uint32_t& PlatformId) {
  return Result(FApi.PlatformId(PlatformId));
}

}  // namespace serial::win32

namespace serial {

std::unique_ptr<IPortDriver> CreateDevicePortDriver() {
  return std::make_unique<win32::TWin32PortDriver>();
}

IPortDriver& DefaultPortDriver() {
  static auto* driver = new win32::TWin32PortDriver;  // outlives every component
  return *driver;
}

}  // namespace serial
