#include "serial/SimulatedPort.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/Trace.h"

namespace serial {

std::string PortKey(const std::string& Name) {
  std::string key = Name.rfind("\\\\.\\", 0) == 0 ? Name.substr(4) : Name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return key;
}

// ---------------------------------------------------------------- TSimulatedPort

void TSimulatedPort::RaiseLocked(uint32_t Events) {
  if (FOpen) FOps.Raise(Events);
}

namespace {
// The paddle's lines as this port saw them change, for the timing trace.
void TracePaddleLines(uint32_t Changed, uint32_t Lines) {
  if (Changed & MS_CTS_ON) core::TracePost(core::tsPort, core::teLine, 0, (Lines & MS_CTS_ON) != 0);
  if (Changed & MS_DSR_ON) core::TracePost(core::tsPort, core::teLine, 1, (Lines & MS_DSR_ON) != 0);
}
}  // namespace

void TSimulatedPort::SetLineLocked(uint32_t Bit, bool Value, uint32_t Event) {
  if (((FModem & Bit) != 0) == Value) return;
  FModem ^= Bit;
  if (FOpen) TracePaddleLines(Bit, FModem);
  RaiseLocked(Event);
}

void TSimulatedPort::SetCTS(bool Value) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  SetLineLocked(MS_CTS_ON, Value, EV_CTS);
}

void TSimulatedPort::SetDSR(bool Value) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  SetLineLocked(MS_DSR_ON, Value, EV_DSR);
}

void TSimulatedPort::SetRLSD(bool Value) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  SetLineLocked(MS_RLSD_ON, Value, EV_RLSD);
}

void TSimulatedPort::SetRing(bool Value) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  // The ring event marks a ring arriving, not its end.
  SetLineLocked(MS_RING_ON, Value, Value ? EV_RING : 0);
}

void TSimulatedPort::SetLines(uint32_t ModemStatus) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  const uint32_t lines = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
  const uint32_t changed = (FModem ^ ModemStatus) & lines;
  FModem = ModemStatus & lines;
  if (FOpen) TracePaddleLines(changed, FModem);
  uint32_t events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  if ((changed & MS_RING_ON) && (FModem & MS_RING_ON)) events |= EV_RING;
  RaiseLocked(events);
}

void TSimulatedPort::Receive(const std::string& Bytes) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  if (!FOpen || Bytes.empty()) return;
  FInput += Bytes;
  uint32_t events = EV_RXCHAR;
  if (Bytes.find(FDCB.EvtChar) != std::string::npos) events |= EV_RXFLAG;
  RaiseLocked(events);
}

void TSimulatedPort::LineError(uint32_t Errors) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  if (!FOpen) return;
  FErrors |= Errors;
  RaiseLocked(EV_ERR | ((Errors & CE_BREAK) ? EV_BREAK : 0));
}

void TSimulatedPort::SetStatusFlags(uint32_t Flags) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  FStatusFlags = Flags;
}

void TSimulatedPort::SetReadsPend(bool Value) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  FReadsPend = Value;
}

void TSimulatedPort::SetWritesPend(bool Value) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  FWritesPend = Value;
}

bool TSimulatedPort::CompleteRead(uint32_t Error, uint32_t Limit) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  if (FOps.ReadOverlapped == nullptr) return false;
  uint32_t bytes = 0;
  if (Error == ERROR_SUCCESS) {
    bytes = std::min<uint32_t>({FOps.ReadCount, static_cast<uint32_t>(FInput.size()), Limit});
    if (bytes > 0) std::memcpy(FOps.ReadBuffer, FInput.data(), bytes);
    FInput.erase(0, bytes);
  }
  FOps.ReadDone = bytes;
  FOps.EndRead(Error);
  return true;
}

bool TSimulatedPort::CompleteWrite(uint32_t Bytes, uint32_t Error) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  if (FOps.WriteOverlapped == nullptr) return false;
  Bytes = std::min<uint32_t>(Bytes, static_cast<uint32_t>(FOps.WriteData.size()));
  FSent += FOps.WriteData.substr(0, Bytes);
  FOps.WriteDone = Bytes;
  FOps.EndWrite(Error);
  if (Error == ERROR_SUCCESS) RaiseLocked(EV_TXEMPTY);
  return true;
}

void TSimulatedPort::SetCapabilities(uint32_t Capabilities) {
  std::lock_guard<std::mutex> guard(FDriver.FLock);
  FCapabilities = Capabilities;
}

#define RIG_SIM_GETTER(Type, Name, Expr)              \
  Type TSimulatedPort::Name() const {                 \
    std::lock_guard<std::mutex> guard(FDriver.FLock); \
    return Expr;                                      \
  }
RIG_SIM_GETTER(bool, IsOpen, FOpen)
RIG_SIM_GETTER(bool, DTR, FDTR)
RIG_SIM_GETTER(bool, RTS, FRTS)
RIG_SIM_GETTER(bool, Break, FBreak)
RIG_SIM_GETTER(uint32_t, Mask, FOps.Mask)
RIG_SIM_GETTER(TDCB, DCB, FDCB)
RIG_SIM_GETTER(TCommTimeouts, Timeouts, FTimeouts)
RIG_SIM_GETTER(uint32_t, InQueueSize, FInQueueSize)
RIG_SIM_GETTER(uint32_t, OutQueueSize, FOutQueueSize)
RIG_SIM_GETTER(bool, WaitPending, FOps.WaitOverlapped != nullptr)
RIG_SIM_GETTER(bool, ReadPending, FOps.ReadOverlapped != nullptr)
RIG_SIM_GETTER(bool, WritePending, FOps.WriteOverlapped != nullptr)
RIG_SIM_GETTER(uint32_t, LastPurge, FLastPurge)
RIG_SIM_GETTER(std::string, Sent, FSent)
RIG_SIM_GETTER(uint32_t, Waiting, static_cast<uint32_t>(FInput.size()))
#undef RIG_SIM_GETTER

// ---------------------------------------------------------------- TSimulatedPortDriver

TSimulatedPortDriver::TSimulatedPortDriver() = default;

TSimulatedPortDriver::~TSimulatedPortDriver() {
  std::lock_guard<std::mutex> guard(FLock);
  for (auto& entry : FPorts)
    entry.second->FOps.AbortAll();
}

TSimulatedPort& TSimulatedPortDriver::AddPort(const std::string& Name) {
  std::lock_guard<std::mutex> guard(FLock);
  auto& slot = FPorts[PortKey(Name)];
  if (!slot) slot.reset(new TSimulatedPort(*this, Name));
  return *slot;
}

TSimulatedPort* TSimulatedPortDriver::Port(const std::string& Name) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FPorts.find(PortKey(Name));
  return it == FPorts.end() ? nullptr : it->second.get();
}

TSimulatedPort* TSimulatedPortDriver::FindLocked(THandle Port) {
  for (auto& entry : FPorts)
    if (entry.second->FOpen && entry.second->FHandle == Port) return entry.second.get();
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// Locks the driver and finds the port.
#define RIG_SIM_ENTER()                     \
  std::lock_guard<std::mutex> guard(FLock); \
  TSimulatedPort* port = FindLocked(Port);  \
  if (port == nullptr) return false

THandle TSimulatedPortDriver::CreateFile(const std::string& Name) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FPorts.find(PortKey(Name));
  if (it == FPorts.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  TSimulatedPort& port = *it->second;
  if (port.FOpen) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  port.FOpen = true;
  port.FHandle = FNextHandle++;
  port.FOps = TPendingOps{};
  port.FErrors = 0;
  port.FDCB = TDCB{};
  port.FTimeouts = TCommTimeouts{};
  SetLastError(ERROR_SUCCESS);
  return port.FHandle;
}

bool TSimulatedPortDriver::CloseHandle(THandle Port) {
  RIG_SIM_ENTER();
  port->FOps.AbortAll();
  port->FOpen = false;
  port->FHandle = INVALID_HANDLE_VALUE;
  port->FDTR = port->FRTS = port->FBreak = false;
  port->FInput.clear();
  return true;
}

bool TSimulatedPortDriver::SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) {
  RIG_SIM_ENTER();
  port->FInQueueSize = InQueue;
  port->FOutQueueSize = OutQueue;
  return true;
}

bool TSimulatedPortDriver::GetCommState(THandle Port, TDCB& DCB) {
  RIG_SIM_ENTER();
  DCB = port->FDCB;
  return true;
}

bool TSimulatedPortDriver::SetCommState(THandle Port, const TDCB& DCB) {
  RIG_SIM_ENTER();
  if (DCB.ByteSize < 5 || DCB.ByteSize > 8 || DCB.Parity > SPACEPARITY ||
      DCB.StopBits > TWOSTOPBITS || DCB.BaudRate == 0)
    return Fail(ERROR_INVALID_PARAMETER);
  port->FDCB = DCB;
  return true;
}

bool TSimulatedPortDriver::GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) {
  RIG_SIM_ENTER();
  Timeouts = port->FTimeouts;
  return true;
}

bool TSimulatedPortDriver::SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) {
  RIG_SIM_ENTER();
  port->FTimeouts = Timeouts;
  return true;
}

bool TSimulatedPortDriver::SetCommMask(THandle Port, uint32_t Mask) {
  RIG_SIM_ENTER();
  port->FOps.SetMask(Mask);
  return true;
}

bool TSimulatedPortDriver::WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) {
  RIG_SIM_ENTER();
  if (Mask == nullptr || Overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return port->FOps.StartWait(Mask, Overlapped);
}

bool TSimulatedPortDriver::ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                                    TOverlapped* Overlapped) {
  RIG_SIM_ENTER();
  if (Overlapped == nullptr || (Buffer == nullptr && Count > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  if (Read) *Read = 0;
  if (port->FOps.ReadOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (port->FReadsPend) {
    port->FOps.BeginRead(Buffer, Count, 0, Overlapped);
    return Fail(ERROR_IO_PENDING);
  }
  const uint32_t bytes = std::min<uint32_t>(Count, static_cast<uint32_t>(port->FInput.size()));
  if (bytes > 0) std::memcpy(Buffer, port->FInput.data(), bytes);
  port->FInput.erase(0, bytes);
  if (Read) *Read = bytes;
  CompleteOverlapped(Overlapped, ERROR_SUCCESS, bytes);
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool TSimulatedPortDriver::WriteFile(THandle Port, const void* Buffer, uint32_t Count,
                                     uint32_t* Written, TOverlapped* Overlapped) {
  RIG_SIM_ENTER();
  if (Overlapped == nullptr || (Buffer == nullptr && Count > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  if (Written) *Written = 0;
  if (port->FOps.WriteOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (port->FWritesPend) {
    port->FOps.BeginWrite(Buffer, Count, Overlapped);
    return Fail(ERROR_IO_PENDING);
  }
  port->FSent.append(static_cast<const char*>(Buffer), Count);
  if (Written) *Written = Count;
  CompleteOverlapped(Overlapped, ERROR_SUCCESS, Count);
  port->RaiseLocked(EV_TXEMPTY);
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool TSimulatedPortDriver::GetCommModemStatus(THandle Port, uint32_t* ModemStatus) {
  RIG_SIM_ENTER();
  if (ModemStatus) *ModemStatus = port->FModem;
  return true;
}

bool TSimulatedPortDriver::ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) {
  RIG_SIM_ENTER();
  if (Errors) *Errors = port->FErrors;
  port->FErrors = 0;
  if (Stat) {
    Stat->Flags = port->FStatusFlags;
    Stat->cbInQue = static_cast<uint32_t>(port->FInput.size());
    Stat->cbOutQue = static_cast<uint32_t>(port->FOps.WriteData.size() - port->FOps.WriteDone);
  }
  return true;
}

bool TSimulatedPortDriver::EscapeCommFunction(THandle Port, uint32_t Function) {
  RIG_SIM_ENTER();
  switch (Function) {
    case SETRTS:
      port->FRTS = true;
      break;
    case CLRRTS:
      port->FRTS = false;
      break;
    case SETDTR:
      port->FDTR = true;
      break;
    case CLRDTR:
      port->FDTR = false;
      break;
    case SETBREAK:
      port->FBreak = true;
      break;
    case CLRBREAK:
      port->FBreak = false;
      break;
    case SETXON:
    case SETXOFF:
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return true;
}

bool TSimulatedPortDriver::SetCommBreak(THandle Port) {
  RIG_SIM_ENTER();
  port->FBreak = true;
  return true;
}

bool TSimulatedPortDriver::ClearCommBreak(THandle Port) {
  RIG_SIM_ENTER();
  port->FBreak = false;
  return true;
}

bool TSimulatedPortDriver::PurgeComm(THandle Port, uint32_t Flags) {
  RIG_SIM_ENTER();
  port->FLastPurge = Flags;
  port->FOps.Abort(Flags);
  if (Flags & PURGE_RXCLEAR) port->FInput.clear();
  return true;
}

bool TSimulatedPortDriver::GetCommProperties(THandle Port, TCommProp& Properties) {
  RIG_SIM_ENTER();
  Properties.ProvCapabilities = port->FCapabilities;
  Properties.MaxBaud = 0x10000000;  // BAUD_USER: any rate
  return true;
}

#undef RIG_SIM_ENTER

// ---------------------------------------------------------------- TRoutingPortDriver

void TRoutingPortDriver::Route(const std::string& Name, IPortDriver& Driver) {
  std::lock_guard<std::mutex> guard(FLock);
  FRoutes[PortKey(Name)] = &Driver;
}

bool TRoutingPortDriver::Find(THandle Port, TTarget& Target) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FHandles.find(Port);
  if (it == FHandles.end()) return Fail(ERROR_INVALID_HANDLE);
  Target = it->second;
  return true;
}

THandle TRoutingPortDriver::CreateFile(const std::string& Name) {
  IPortDriver* driver = &FDefault;
  {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FRoutes.find(PortKey(Name));
    if (it != FRoutes.end()) driver = it->second;
  }
  const THandle inner = driver->CreateFile(Name);
  if (inner == INVALID_HANDLE_VALUE) return inner;
  std::lock_guard<std::mutex> guard(FLock);
  const THandle handle = FNextHandle++;
  FHandles[handle] = TTarget{driver, inner};
  return handle;
}

bool TRoutingPortDriver::CloseHandle(THandle Port) {
  TTarget target;
  if (!Find(Port, target)) return false;
  if (!target.Driver->CloseHandle(target.Handle)) return false;
  std::lock_guard<std::mutex> guard(FLock);
  FHandles.erase(Port);
  return true;
}

#define RIG_ROUTE(Call)                  \
  TTarget target;                        \
  if (!Find(Port, target)) return false; \
  return target.Driver->Call

bool TRoutingPortDriver::SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) {
  RIG_ROUTE(SetupComm(target.Handle, InQueue, OutQueue));
}
bool TRoutingPortDriver::GetCommState(THandle Port, TDCB& DCB) {
  RIG_ROUTE(GetCommState(target.Handle, DCB));
}
bool TRoutingPortDriver::SetCommState(THandle Port, const TDCB& DCB) {
  RIG_ROUTE(SetCommState(target.Handle, DCB));
}
bool TRoutingPortDriver::GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) {
  RIG_ROUTE(GetCommTimeouts(target.Handle, Timeouts));
}
bool TRoutingPortDriver::SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) {
  RIG_ROUTE(SetCommTimeouts(target.Handle, Timeouts));
}
bool TRoutingPortDriver::SetCommMask(THandle Port, uint32_t Mask) {
  RIG_ROUTE(SetCommMask(target.Handle, Mask));
}
bool TRoutingPortDriver::WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) {
  RIG_ROUTE(WaitCommEvent(target.Handle, Mask, Overlapped));
}
bool TRoutingPortDriver::ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                                  TOverlapped* Overlapped) {
  RIG_ROUTE(ReadFile(target.Handle, Buffer, Count, Read, Overlapped));
}
bool TRoutingPortDriver::WriteFile(THandle Port, const void* Buffer, uint32_t Count,
                                   uint32_t* Written, TOverlapped* Overlapped) {
  RIG_ROUTE(WriteFile(target.Handle, Buffer, Count, Written, Overlapped));
}
bool TRoutingPortDriver::GetOverlappedResult(THandle Port, TOverlapped* Overlapped,
                                             uint32_t* Transferred, bool Wait) {
  // The record alone tells the outcome, even after the port has closed.
  TTarget target;
  if (!Find(Port, target))
    return TPortDriverBase::GetOverlappedResult(Port, Overlapped, Transferred, Wait);
  return target.Driver->GetOverlappedResult(target.Handle, Overlapped, Transferred, Wait);
}
bool TRoutingPortDriver::GetCommModemStatus(THandle Port, uint32_t* ModemStatus) {
  RIG_ROUTE(GetCommModemStatus(target.Handle, ModemStatus));
}
bool TRoutingPortDriver::ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) {
  RIG_ROUTE(ClearCommError(target.Handle, Errors, Stat));
}
bool TRoutingPortDriver::EscapeCommFunction(THandle Port, uint32_t Function) {
  RIG_ROUTE(EscapeCommFunction(target.Handle, Function));
}
bool TRoutingPortDriver::SetCommBreak(THandle Port) {
  RIG_ROUTE(SetCommBreak(target.Handle));
}
bool TRoutingPortDriver::ClearCommBreak(THandle Port) {
  RIG_ROUTE(ClearCommBreak(target.Handle));
}
bool TRoutingPortDriver::PurgeComm(THandle Port, uint32_t Flags) {
  RIG_ROUTE(PurgeComm(target.Handle, Flags));
}
bool TRoutingPortDriver::GetCommProperties(THandle Port, TCommProp& Properties) {
  RIG_ROUTE(GetCommProperties(target.Handle, Properties));
}
#undef RIG_ROUTE

}  // namespace serial
