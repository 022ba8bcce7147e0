#pragma once
// The port driver for real devices on Windows: every call goes to the
// system's serial communications, opened for overlapped input and output.
//
// The component's overlapped records are not the system's: each record
// gets a system OVERLAPPED with an event of its own, and a completion
// thread copies an operation's outcome (the system error code and the
// byte count) into the record and only then signals the record's event,
// so the record reads as the port-driver interface says while and after
// the operation runs. Error codes are the system's own.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/PortDriver.h"
#include "serial/win32/Win32Api.h"

namespace serial::win32 {

// The system's handles fit in 32 bits (they are sign-extended, so the
// invalid handle stays the invalid handle).
inline TNativeHandle ToNative(THandle Handle) {
  return reinterpret_cast<TNativeHandle>(static_cast<intptr_t>(static_cast<int32_t>(Handle)));
}
inline THandle FromNative(TNativeHandle Handle) {
  return static_cast<THandle>(reinterpret_cast<uintptr_t>(Handle));
}

class TWin32PortDriver final : public IPortDriver {
 public:
  explicit TWin32PortDriver(IWin32Api& Api = SystemApi());
  ~TWin32PortDriver() override;

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
  uint32_t GetLastError() override;

 private:
  // The system's side of one of the component's records.
  struct TShadow {
    TNativeOverlapped Native;
    TNativeHandle Event = nullptr;  // the system OVERLAPPED's own
    TNativeHandle Port = nullptr;
    TOverlapped* Record = nullptr;
    uint32_t Bytes = 0;
    bool Pending = false;
    bool Read = false;
    bool Write = false;
  };
  enum class TKind { Wait, Read, Write };
  template <class Call>
  bool StartOverlapped(THandle Port, TOverlapped* Record, TKind Kind, Call&& Operation);
  // Copies a finished operation's outcome into its record and signals it;
  // false (and nothing changed) while it still runs. FLock held.
  bool Finish(TShadow& Shadow);
  // Lets go of an operation the system has not ended in time: its record
  // reads as ended with Status, and its system OVERLAPPED, which the system
  // may still write, is set aside for the driver's life. FLock held.
  void Abandon(TShadow& Shadow, uint32_t Status);
  bool Result(bool Ok);
  void CompletionLoop();

  IWin32Api& FApi;
  std::mutex FLock;
  std::map<TOverlapped*, std::unique_ptr<TShadow>> FShadows;
  std::vector<std::unique_ptr<TShadow>> FAbandoned;
  TNativeHandle FWake = nullptr;
  bool FStopping = false;
  std::thread FCompletion;
};

}  // namespace serial::win32
