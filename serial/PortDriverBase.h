#pragma once
// What every port driver shares: process-wide manual-reset events (like the
// system's event objects, so any driver or thread can signal the event of
// any overlapped record), the per-thread last error, and the overlapped
// result that only reads the record.
#include <condition_variable>
#include <cstdint>
#include <mutex>
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
  // WaitCommEvent on a port that has seen EventsSeen since its last wait:
  // completes at once with those events, or leaves the wait pending in
  // WaitMask/WaitOverlapped for the port to complete later.
  static bool StartWait(uint32_t& EventsSeen, uint32_t*& WaitMask, TOverlapped*& WaitOverlapped,
                        uint32_t* Mask, TOverlapped* Overlapped);
  static bool Fail(uint32_t Code) {
    SetLastError(Code);
    return false;
  }
};

}  // namespace serial
