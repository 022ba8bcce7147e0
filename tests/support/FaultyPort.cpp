#include "FaultyPort.h"

#include <chrono>
#include <thread>

namespace serial {

void TFaultyPortDriver::InjectFailure(TPortOp Op, uint32_t Code, int Times) {
  std::lock_guard<std::mutex> guard(FFaultLock);
  FFaults[Op] = TFault{Code, Times};
}

void TFaultyPortDriver::ClearFailures() {
  std::lock_guard<std::mutex> guard(FFaultLock);
  FFaults.fill(TFault{});
}

uint64_t TFaultyPortDriver::Calls(TPortOp Op) const {
  std::lock_guard<std::mutex> guard(FFaultLock);
  return FCalls[Op];
}

void TFaultyPortDriver::SetLogging(bool Value) {
  std::lock_guard<std::mutex> guard(FFaultLock);
  FLogging = Value;
}

std::vector<TPortOp> TFaultyPortDriver::CallLog() const {
  std::lock_guard<std::mutex> guard(FFaultLock);
  return FCallLog;
}

void TFaultyPortDriver::SetPlatformId(uint32_t Value) {
  std::lock_guard<std::mutex> guard(FFaultLock);
  FPlatformId = Value;
}

void TFaultyPortDriver::InjectDelay(TPortOp Op, uint32_t Milliseconds) {
  std::lock_guard<std::mutex> guard(FFaultLock);
  FDelays[Op] = Milliseconds;
}

bool TFaultyPortDriver::Injected(TPortOp Op, uint32_t* Code) {
  uint32_t delay = 0;
  {
    std::lock_guard<std::mutex> guard(FFaultLock);
    std::swap(delay, FDelays[Op]);
  }
  if (delay > 0) {
    FDelaying.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    FDelaying.store(false);
  }
  std::lock_guard<std::mutex> guard(FFaultLock);
  ++FCalls[Op];
  if (FLogging) FCallLog.push_back(Op);
  TFault& fault = FFaults[Op];
  if (fault.Times == 0) return false;
  if (fault.Times > 0) --fault.Times;
  SetLastError(fault.Code);
  if (Code) *Code = fault.Code;
  return true;
}

#define RIG_FAULTY(Op, Result, Call) \
  if (Injected(Op)) return Result;   \
  return TSimulatedPortDriver::Call

THandle TFaultyPortDriver::CreateFile(const std::string& Name) {
  RIG_FAULTY(poCreateFile, INVALID_HANDLE_VALUE, CreateFile(Name));
}
bool TFaultyPortDriver::CloseHandle(THandle Port) {
  RIG_FAULTY(poCloseHandle, false, CloseHandle(Port));
}
bool TFaultyPortDriver::SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) {
  RIG_FAULTY(poSetupComm, false, SetupComm(Port, InQueue, OutQueue));
}
bool TFaultyPortDriver::GetCommState(THandle Port, TDCB& DCB) {
  RIG_FAULTY(poGetCommState, false, GetCommState(Port, DCB));
}
bool TFaultyPortDriver::SetCommState(THandle Port, const TDCB& DCB) {
  RIG_FAULTY(poSetCommState, false, SetCommState(Port, DCB));
}
bool TFaultyPortDriver::GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) {
  RIG_FAULTY(poGetCommTimeouts, false, GetCommTimeouts(Port, Timeouts));
}
bool TFaultyPortDriver::SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) {
  RIG_FAULTY(poSetCommTimeouts, false, SetCommTimeouts(Port, Timeouts));
}
bool TFaultyPortDriver::SetCommMask(THandle Port, uint32_t Mask) {
  RIG_FAULTY(poSetCommMask, false, SetCommMask(Port, Mask));
}
bool TFaultyPortDriver::WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) {
  RIG_FAULTY(poWaitCommEvent, false, WaitCommEvent(Port, Mask, Overlapped));
}
bool TFaultyPortDriver::ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                                 TOverlapped* Overlapped) {
  RIG_FAULTY(poReadFile, false, ReadFile(Port, Buffer, Count, Read, Overlapped));
}
bool TFaultyPortDriver::WriteFile(THandle Port, const void* Buffer, uint32_t Count,
                                  uint32_t* Written, TOverlapped* Overlapped) {
  RIG_FAULTY(poWriteFile, false, WriteFile(Port, Buffer, Count, Written, Overlapped));
}
bool TFaultyPortDriver::GetCommModemStatus(THandle Port, uint32_t* ModemStatus) {
  RIG_FAULTY(poGetCommModemStatus, false, GetCommModemStatus(Port, ModemStatus));
}
bool TFaultyPortDriver::ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) {
  RIG_FAULTY(poClearCommError, false, ClearCommError(Port, Errors, Stat));
}
bool TFaultyPortDriver::EscapeCommFunction(THandle Port, uint32_t Function) {
  RIG_FAULTY(poEscapeCommFunction, false, EscapeCommFunction(Port, Function));
}
bool TFaultyPortDriver::SetCommBreak(THandle Port) {
  RIG_FAULTY(poSetCommBreak, false, SetCommBreak(Port));
}
bool TFaultyPortDriver::ClearCommBreak(THandle Port) {
  RIG_FAULTY(poClearCommBreak, false, ClearCommBreak(Port));
}
bool TFaultyPortDriver::PurgeComm(THandle Port, uint32_t Flags) {
  RIG_FAULTY(poPurgeComm, false, PurgeComm(Port, Flags));
}
bool TFaultyPortDriver::GetCommProperties(THandle Port, TCommProp& Properties) {
  RIG_FAULTY(poGetCommProperties, false, GetCommProperties(Port, Properties));
}
bool TFaultyPortDriver::SetEvent(THandle Event) {
  RIG_FAULTY(poSetEvent, false, SetEvent(Event));
}
bool TFaultyPortDriver::ResetEvent(THandle Event) {
  RIG_FAULTY(poResetEvent, false, ResetEvent(Event));
}
bool TFaultyPortDriver::CloseEvent(THandle Event) {
  RIG_FAULTY(poCloseEvent, false, CloseEvent(Event));
}
uint32_t TFaultyPortDriver::WaitForMultipleObjects(uint32_t Count, const THandle* Events,
                                                   uint32_t Milliseconds) {
  RIG_FAULTY(poWaitForMultipleObjects, WAIT_FAILED,
             WaitForMultipleObjects(Count, Events, Milliseconds));
}
#undef RIG_FAULTY

bool TFaultyPortDriver::GetOverlappedResult(THandle Port, TOverlapped* Overlapped,
                                            uint32_t* Transferred, bool Wait) {
  if (Injected(poGetOverlappedResult)) {
    if (Transferred && Overlapped) *Transferred = Overlapped->InternalHigh.load();
    return false;
  }
  return TSimulatedPortDriver::GetOverlappedResult(Port, Overlapped, Transferred, Wait);
}

THandle TFaultyPortDriver::CreateEvent() {
  uint32_t code = 0;
  if (Injected(poCreateEvent, &code) && code != ERROR_ALREADY_EXISTS) return 0;
  const THandle event = TSimulatedPortDriver::CreateEvent();
  if (code == ERROR_ALREADY_EXISTS) SetLastError(ERROR_ALREADY_EXISTS);
  return event;
}

bool TFaultyPortDriver::GetVersionEx(uint32_t& PlatformId) {
  if (Injected(poGetVersionEx)) return false;
  std::lock_guard<std::mutex> guard(FFaultLock);
  PlatformId = FPlatformId;
  return true;
}

}  // namespace serial
