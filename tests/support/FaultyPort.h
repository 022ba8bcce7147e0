#pragma once
// The simulated port driver with fault injection and call counts: any one
// operation can be made to fail with any error code, a given number of
// times or until cleared.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "serial/SimulatedPort.h"

namespace serial {

// The operations of IPortDriver, for fault injection and call counts.
enum TPortOp {
  poCreateFile,
  poCloseHandle,
  poSetupComm,
  poGetCommState,
  poSetCommState,
  poGetCommTimeouts,
  poSetCommTimeouts,
  poSetCommMask,
  poWaitCommEvent,
  poReadFile,
  poWriteFile,
  poGetOverlappedResult,
  poGetCommModemStatus,
  poClearCommError,
  poEscapeCommFunction,
  poSetCommBreak,
  poClearCommBreak,
  poPurgeComm,
  poGetCommProperties,
  poCreateEvent,
  poSetEvent,
  poResetEvent,
  poCloseEvent,
  poWaitForMultipleObjects,
  poGetVersionEx,
  poCount
};

class TFaultyPortDriver : public TSimulatedPortDriver {
 public:
  // The next Times calls of Op fail with Code (Times < 0: every call until
  // cleared). CreateEvent injected with ERROR_ALREADY_EXISTS succeeds and
  // leaves that code, as an event that already existed does; waits answer
  // WAIT_FAILED with Code as the last error; GetOverlappedResult still
  // reports the bytes the record holds.
  void InjectFailure(TPortOp Op, uint32_t Code, int Times = 1);
  void ClearFailures();
  // The next call of Op first sleeps Milliseconds (a driver call that hangs).
  void InjectDelay(TPortOp Op, uint32_t Milliseconds);
  // Whether a call is sleeping out an injected delay now.
  bool Delaying() const { return FDelaying.load(); }
  uint64_t Calls(TPortOp Op) const;
  // Every operation called while logging is on, in order.
  void SetLogging(bool Value);
  std::vector<TPortOp> CallLog() const;

  void SetPlatformId(uint32_t Value);

  THandle CreateFile(const std::string& Name) override;
  bool CloseHandle(THandle Port) override;
  bool SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) override;
  bool GetCommState(THandle Port, TDCB& DCB) override;
  bool SetCommState(THandle Port, const TDCB& DCB) override;
  bool GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) override;
  bool SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) override;
  bool SetCommMask(THandle Port, uint32_t Mask) override;
  bool WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) override;
  bool ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override;
  bool WriteFile(THandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override;
  bool GetOverlappedResult(THandle Port, TOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override;
  bool GetCommModemStatus(THandle Port, uint32_t* ModemStatus) override;
  bool ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) override;
  bool EscapeCommFunction(THandle Port, uint32_t Function) override;
  bool SetCommBreak(THandle Port) override;
  bool ClearCommBreak(THandle Port) override;
  bool PurgeComm(THandle Port, uint32_t Flags) override;
  bool GetCommProperties(THandle Port, TCommProp& Properties) override;
  THandle CreateEvent() override;
  bool SetEvent(THandle Event) override;
  bool ResetEvent(THandle Event) override;
  bool CloseEvent(THandle Event) override;
  uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Events,
                                  uint32_t Milliseconds) override;
  bool GetVersionEx(uint32_t& PlatformId) override;

 private:
  struct TFault {
    uint32_t Code = 0;
    int Times = 0;
  };
  // Counts the call; answers true (with the last error set) when it is to fail.
  bool Injected(TPortOp Op, uint32_t* Code = nullptr);

  mutable std::mutex FFaultLock;
  std::array<uint32_t, poCount> FDelays{};
  std::atomic<bool> FDelaying{false};
  std::array<TFault, poCount> FFaults{};
  std::array<uint64_t, poCount> FCalls{};
  std::vector<TPortOp> FCallLog;
  bool FLogging = false;
  uint32_t FPlatformId = 2;
};

}  // namespace serial
