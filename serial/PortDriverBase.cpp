#include "serial/PortDriverBase.h"

#include <chrono>

namespace serial {
namespace {
thread_local uint32_t GLastError = ERROR_SUCCESS;
}

uint32_t LastError() {
  return GLastError;
}

void SetLastError(uint32_t Code) {
  GLastError = Code;
}

TEventTable& TEventTable::Instance() {
  static TEventTable* table = new TEventTable;  // never destroyed: threads may outlive statics
  return *table;
}

THandle TEventTable::Create() {
  std::lock_guard<std::mutex> guard(FLock);
  THandle handle = FNext++;
  FEvents.emplace(handle, false);
  return handle;
}

bool TEventTable::Set(THandle Event) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FEvents.find(Event);
  if (it == FEvents.end()) return false;
  it->second = true;
  FChanged.notify_all();
  return true;
}

bool TEventTable::Reset(THandle Event) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FEvents.find(Event);
  if (it == FEvents.end()) return false;
  it->second = false;
  return true;
}

bool TEventTable::Close(THandle Event) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FEvents.erase(Event) == 0) return false;
  // A waiter on the closed event must not sleep out its whole time.
  FChanged.notify_all();
  return true;
}

bool TEventTable::IsSignalled(THandle Event) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FEvents.find(Event);
  return it != FEvents.end() && it->second;
}

uint32_t TEventTable::WaitAny(uint32_t Count, const THandle* Events, uint32_t Milliseconds) {
  if (Count == 0 || Events == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    for (uint32_t i = 0; i < Count; ++i) {
      auto it = FEvents.find(Events[i]);
      if (it == FEvents.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      if (it->second) return WAIT_OBJECT_0 + i;
    }
    if (Milliseconds == INFINITE) {
      FChanged.wait(lock);
    } else if (FChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (uint32_t i = 0; i < Count; ++i) {
        auto it = FEvents.find(Events[i]);
        if (it != FEvents.end() && it->second) return WAIT_OBJECT_0 + i;
      }
      return WAIT_TIMEOUT;
    }
  }
}

bool TPortDriverBase::GetOverlappedResult(THandle, TOverlapped* Overlapped, uint32_t* Transferred,
                                          bool Wait) {
  if (Overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  uint32_t status = Overlapped->Internal.load(std::memory_order_acquire);
  if (status == STATUS_PENDING && Wait) {
    while (status == STATUS_PENDING) {
      if (WaitForSingleObject(Overlapped->hEvent, INFINITE) == WAIT_FAILED) return false;
      status = Overlapped->Internal.load(std::memory_order_acquire);
      if (status == STATUS_PENDING) {
        // Someone else signalled the event; re-read after the reset so a
        // completion between the two is not slept through.
        ResetEvent(Overlapped->hEvent);
        status = Overlapped->Internal.load(std::memory_order_acquire);
      }
    }
  }
  if (Transferred) *Transferred = Overlapped->InternalHigh.load(std::memory_order_acquire);
  if (status == STATUS_PENDING) return Fail(ERROR_IO_INCOMPLETE);
  if (status != ERROR_SUCCESS) return Fail(status);
  SetLastError(ERROR_SUCCESS);
  return true;
}

THandle TPortDriverBase::CreateEvent() {
  THandle handle = TEventTable::Instance().Create();
  SetLastError(ERROR_SUCCESS);
  return handle;
}

bool TPortDriverBase::SetEvent(THandle Event) {
  if (!TEventTable::Instance().Set(Event)) return Fail(ERROR_INVALID_HANDLE);
  return true;
}

bool TPortDriverBase::ResetEvent(THandle Event) {
  if (!TEventTable::Instance().Reset(Event)) return Fail(ERROR_INVALID_HANDLE);
  return true;
}

bool TPortDriverBase::CloseEvent(THandle Event) {
  if (!TEventTable::Instance().Close(Event)) return Fail(ERROR_INVALID_HANDLE);
  return true;
}

uint32_t TPortDriverBase::WaitForMultipleObjects(uint32_t Count, const THandle* Events,
                                                 uint32_t Milliseconds) {
  return TEventTable::Instance().WaitAny(Count, Events, Milliseconds);
}

void TPortDriverBase::BeginOverlapped(TOverlapped* Overlapped) {
  TEventTable::Instance().Reset(Overlapped->hEvent);
  Overlapped->InternalHigh.store(0, std::memory_order_relaxed);
  Overlapped->Internal.store(STATUS_PENDING, std::memory_order_release);
}

void TPortDriverBase::CompleteOverlapped(TOverlapped* Overlapped, uint32_t Status, uint32_t Bytes) {
  Overlapped->InternalHigh.store(Bytes, std::memory_order_relaxed);
  Overlapped->Internal.store(Status, std::memory_order_release);
  TEventTable::Instance().Set(Overlapped->hEvent);
}

void TPendingOps::Raise(uint32_t Events) {
  const uint32_t seen = Events & Mask;
  if (seen == 0) return;
  EventsSeen |= seen;
  if (WaitOverlapped == nullptr) return;
  *WaitMask = EventsSeen;
  EventsSeen = 0;
  TOverlapped* record = WaitOverlapped;
  WaitOverlapped = nullptr;
  WaitMask = nullptr;
  TPortDriverBase::CompleteOverlapped(record, ERROR_SUCCESS, 0);
}

void TPendingOps::SetMask(uint32_t NewMask) {
  Mask = NewMask;
  EventsSeen = 0;
  EndWait(ERROR_SUCCESS);
}

bool TPendingOps::StartWait(uint32_t* MaskOut, TOverlapped* Overlapped) {
  if (EventsSeen != 0) {
    *MaskOut = EventsSeen;
    EventsSeen = 0;
    TPortDriverBase::CompleteOverlapped(Overlapped, ERROR_SUCCESS, 0);
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  // With mask 0 the wait stays pending until the mask changes or the port closes.
  TPortDriverBase::BeginOverlapped(Overlapped);
  WaitMask = MaskOut;
  WaitOverlapped = Overlapped;
  SetLastError(ERROR_IO_PENDING);
  return false;
}

void TPendingOps::EndWait(uint32_t Status) {
  if (WaitOverlapped == nullptr) return;
  *WaitMask = 0;
  TOverlapped* record = WaitOverlapped;
  WaitOverlapped = nullptr;
  WaitMask = nullptr;
  TPortDriverBase::CompleteOverlapped(record, Status, 0);
}

void TPendingOps::BeginRead(void* Buffer, uint32_t Count, uint32_t Done, TOverlapped* Overlapped) {
  TPortDriverBase::BeginOverlapped(Overlapped);
  ReadBuffer = static_cast<uint8_t*>(Buffer);
  ReadCount = Count;
  ReadDone = Done;
  ReadOverlapped = Overlapped;
}

void TPendingOps::EndRead(uint32_t Status) {
  if (ReadOverlapped == nullptr) return;
  TOverlapped* record = ReadOverlapped;
  ReadOverlapped = nullptr;
  ReadBuffer = nullptr;
  TPortDriverBase::CompleteOverlapped(record, Status, ReadDone);
}

void TPendingOps::BeginWrite(const void* Buffer, uint32_t Count, TOverlapped* Overlapped) {
  TPortDriverBase::BeginOverlapped(Overlapped);
  WriteData.assign(static_cast<const char*>(Buffer), Count);
  WriteDone = 0;
  WriteOverlapped = Overlapped;
}

void TPendingOps::EndWrite(uint32_t Status) {
  if (WriteOverlapped == nullptr) return;
  TOverlapped* record = WriteOverlapped;
  WriteOverlapped = nullptr;
  WriteData.clear();
  TPortDriverBase::CompleteOverlapped(record, Status, WriteDone);
}

void TPendingOps::Abort(uint32_t PurgeFlags) {
  if (PurgeFlags & PURGE_RXABORT) EndRead(ERROR_OPERATION_ABORTED);
  if (PurgeFlags & PURGE_TXABORT) EndWrite(ERROR_OPERATION_ABORTED);
}

void TPendingOps::AbortAll() {
  Abort(PURGE_RXABORT | PURGE_TXABORT);
  EndWait(ERROR_OPERATION_ABORTED);
}

}  // namespace serial
