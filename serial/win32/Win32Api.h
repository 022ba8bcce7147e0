#pragma once
// The Win32 calls the port driver makes, behind an interface so tests can
// script what the system answers (a pty mapped as a COM port cannot move
// its modem lines). This header stays free of <windows.h>: the system's
// macros (CreateFile, ERROR_SUCCESS, INFINITE, ...) would clash with the
// port-driver interface's names. Handles are the system's, as void*.
#include <cstdint>
#include <string>
#include <vector>

#include "serial/PortDriver.h"

namespace serial::win32 {

using TNativeHandle = void*;
// INVALID_HANDLE_VALUE as the system spells it. (Calls whose system names
// are A/W macros are named differently here: OpenComm, NewEvent, PlatformId.)
inline TNativeHandle InvalidNativeHandle() {
  return reinterpret_cast<TNativeHandle>(intptr_t{-1});
}

// The system's OVERLAPPED record, field for field (checked where
// <windows.h> is seen).
struct TNativeOverlapped {
  uintptr_t Internal = 0;
  uintptr_t InternalHigh = 0;
  uint32_t Offset = 0;
  uint32_t OffsetHigh = 0;
  TNativeHandle hEvent = nullptr;
};

class IWin32Api {
 public:
  virtual ~IWin32Api() = default;

  // Communication resources. BOOL results as bool; failures leave the
  // reason in GetLastError().
  virtual TNativeHandle OpenComm(const std::string& Name) = 0;  // overlapped, exclusive
  virtual bool CloseHandle(TNativeHandle Handle) = 0;
  virtual bool SetupComm(TNativeHandle Port, uint32_t InQueue, uint32_t OutQueue) = 0;
  virtual bool GetCommState(TNativeHandle Port, TDCB& DCB) = 0;
  virtual bool SetCommState(TNativeHandle Port, const TDCB& DCB) = 0;
  virtual bool GetCommTimeouts(TNativeHandle Port, TCommTimeouts& Timeouts) = 0;
  virtual bool SetCommTimeouts(TNativeHandle Port, const TCommTimeouts& Timeouts) = 0;
  virtual bool SetCommMask(TNativeHandle Port, uint32_t Mask) = 0;
  virtual bool WaitCommEvent(TNativeHandle Port, uint32_t* Mask, TNativeOverlapped* Overlapped) = 0;
  virtual bool ReadFile(TNativeHandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                        TNativeOverlapped* Overlapped) = 0;
  virtual bool WriteFile(TNativeHandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                         TNativeOverlapped* Overlapped) = 0;
  virtual bool GetOverlappedResult(TNativeHandle Port, TNativeOverlapped* Overlapped,
                                   uint32_t* Transferred, bool Wait) = 0;
  virtual bool GetCommModemStatus(TNativeHandle Port, uint32_t* ModemStatus) = 0;
  virtual bool ClearCommError(TNativeHandle Port, uint32_t* Errors, TComStat* Stat) = 0;
  virtual bool EscapeCommFunction(TNativeHandle Port, uint32_t Function) = 0;
  virtual bool SetCommBreak(TNativeHandle Port) = 0;
  virtual bool ClearCommBreak(TNativeHandle Port) = 0;
  virtual bool PurgeComm(TNativeHandle Port, uint32_t Flags) = 0;
  // CancelIoEx: ends one operation on the port, whichever thread began it.
  virtual bool CancelIo(TNativeHandle Port, TNativeOverlapped* Overlapped) = 0;
  virtual bool GetCommProperties(TNativeHandle Port, TCommProp& Properties) = 0;

  // Events and waits (manual-reset, unnamed, initially clear).
  virtual TNativeHandle NewEvent() = 0;
  virtual bool SetEvent(TNativeHandle Event) = 0;
  virtual bool ResetEvent(TNativeHandle Event) = 0;
  virtual uint32_t WaitForMultipleObjects(uint32_t Count, const TNativeHandle* Handles,
                                          uint32_t Milliseconds) = 0;

  virtual bool PlatformId(uint32_t& Id) = 0;
  virtual uint32_t GetLastError() = 0;
  virtual void SetLastError(uint32_t Code) = 0;
};

// The system itself.
IWin32Api& SystemApi();

// The value names of the registry's serial-device map
// (HKEY_LOCAL_MACHINE "HARDWARE\DEVICEMAP\SERIALCOMM") hold the device
// paths, their data the port names; the port names, in natural order
// (COM2 before COM10).
std::vector<std::string> SerialCommPorts();

}  // namespace serial::win32
