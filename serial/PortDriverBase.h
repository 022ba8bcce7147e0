#pragma once
// What every port driver shares: process-wide manual-reset events (like the
// system's event objects, so any driver or thread can signal the event of
// any overlapped record), the per-thread last error, the overlapped result
// that only reads the record, and the bookkeeping of a port's pending wait,
// read and write.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "serial/PortDriver.h"

namespace serial {

// The calling thread's last error, shared by all drivers as the system's is.
uint32_t LastError();
void SetLastError(uint32_t Code);

// The process-wide event objects. Handles are never reused, so a stale
// handle fails with ERROR_INVALID_HANDLE instead of reaching a newer event.
class TEventTable {
 public:
  static TEventTable& Instance();

  THandle Create();
  bool Set(THandle Event);
  bool Reset(THandle Event);
  bool Close(THandle Event);
  bool IsSignalled(THandle Event);
  uint32_t WaitAny(uint32_t Count, const THandle* Events, uint32_t Milliseconds);

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::unordered_map<THandle, bool> FEvents;
  THandle FNext = 0x100;
};

// The operations pending on one open port and the events it has seen. The
// driver guards it with a lock of its own and calls every member with that
// lock held; completing an operation stores its outcome in the record and
// signals the record's event.
struct TPendingOps {
  uint32_t Mask = 0;        // the events a wait reports (SetCommMask)
  uint32_t EventsSeen = 0;  // seen since the last wait returned them
  uint32_t* WaitMask = nullptr;
  TOverlapped* WaitOverlapped = nullptr;
  uint8_t* ReadBuffer = nullptr;
  uint32_t ReadCount = 0;
  uint32_t ReadDone = 0;
  TOverlapped* ReadOverlapped = nullptr;
  std::string WriteData;
  uint32_t WriteDone = 0;
  TOverlapped* WriteOverlapped = nullptr;

  // Records the enabled ones among Events; completes a pending wait with them.
  void Raise(uint32_t Events);
  // A new mask: the seen events are forgotten and a pending wait ends with 0.
  void SetMask(uint32_t NewMask);
  // WaitCommEvent: completes at once with the events seen since the last
  // wait, or leaves the wait pending.
  bool StartWait(uint32_t* Mask, TOverlapped* Overlapped);
  // Ends a pending wait with Status and an empty mask.
  void EndWait(uint32_t Status);
  void BeginRead(void* Buffer, uint32_t Count, uint32_t Done, TOverlapped* Overlapped);
  // Ends the pending read with its bytes so far.
  void EndRead(uint32_t Status);
  void BeginWrite(const void* Buffer, uint32_t Count, TOverlapped* Overlapped);
  void EndWrite(uint32_t Status);
  // PurgeComm's abort flags: ends the read, the write or both with ERROR_OPERATION_ABORTED.
  void Abort(uint32_t PurgeFlags);
  // Closing: everything pending ends with ERROR_OPERATION_ABORTED.
  void AbortAll();
};

class TPortDriverBase : public IPortDriver {
 public:
  bool GetOverlappedResult(THandle Port, TOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override;
  THandle CreateEvent() override;
  bool SetEvent(THandle Event) override;
  bool ResetEvent(THandle Event) override;
  bool CloseEvent(THandle Event) override;
  uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Events,
                                  uint32_t Milliseconds) override;
  // An NT-like platform: the ring workaround is off.
  bool GetVersionEx(uint32_t& PlatformId) override {
    PlatformId = 2;
    return true;
  }
  uint32_t GetLastError() override { return LastError(); }

  // Marks an operation as running: resets its event, stores STATUS_PENDING.
  static void BeginOverlapped(TOverlapped* Overlapped);
  // Stores the outcome, then signals the event.
  static void CompleteOverlapped(TOverlapped* Overlapped, uint32_t Status, uint32_t Bytes);

 protected:
  static bool Fail(uint32_t Code) {
    SetLastError(Code);
    return false;
  }
};

}  // namespace serial
