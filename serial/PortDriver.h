#pragma once
// The port-driver interface: the serial communications calls the component
// and its worker thread make, in the shape of the Win32 calls they replace.
// A call answers true (or a valid handle) on success; on failure it answers
// false and leaves the reason in GetLastError(). The overlapped operations
// (WaitCommEvent, ReadFile, WriteFile) either complete at once or answer
// false with ERROR_IO_PENDING and complete later by storing their result in
// the TOverlapped record and signalling its event.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace serial {

using THandle = uint32_t;
inline constexpr THandle INVALID_HANDLE_VALUE = 0xFFFFFFFF;

// Error codes the component tells apart. Other failures carry the platform's
// own error number (errno for the Linux driver).
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr uint32_t ERROR_IO_INCOMPLETE = 996;
inline constexpr uint32_t ERROR_IO_PENDING = 997;
// The device behind an open port hung up or was unplugged.
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

// Codes of this system's own (the application-defined range), the same on
// every platform, for failures the window tells apart from the rest.
// The port is the machine's system console: it is never opened.
inline constexpr uint32_t ERROR_PORT_IS_CONSOLE = 0x20000001;
// Another process holds the port's lock file.
inline constexpr uint32_t ERROR_PORT_LOCKED = 0x20000002;

// Wait results.
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

// Communication events (event mask bits).
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;
inline constexpr uint32_t EV_ALL = 0x01FF;

// Modem-status word.
inline constexpr uint32_t MS_CTS_ON = 0x10;
inline constexpr uint32_t MS_DSR_ON = 0x20;
inline constexpr uint32_t MS_RING_ON = 0x40;
inline constexpr uint32_t MS_RLSD_ON = 0x80;

// Line-error bits of ClearCommError.
inline constexpr uint32_t CE_RXOVER = 0x01;
inline constexpr uint32_t CE_OVERRUN = 0x02;
inline constexpr uint32_t CE_RXPARITY = 0x04;
inline constexpr uint32_t CE_FRAME = 0x08;
inline constexpr uint32_t CE_BREAK = 0x10;

// EscapeCommFunction codes.
inline constexpr uint32_t SETXOFF = 1;
inline constexpr uint32_t SETXON = 2;
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;
inline constexpr uint32_t SETBREAK = 8;
inline constexpr uint32_t CLRBREAK = 9;

// PurgeComm flags.
inline constexpr uint32_t PURGE_TXABORT = 0x1;
inline constexpr uint32_t PURGE_RXABORT = 0x2;
inline constexpr uint32_t PURGE_TXCLEAR = 0x4;
inline constexpr uint32_t PURGE_RXCLEAR = 0x8;

// DCB flag bits (the packed flags word).
inline constexpr uint32_t DCB_fBinary = 0x0001;
inline constexpr uint32_t DCB_fParity = 0x0002;
inline constexpr uint32_t DCB_fOutxCtsFlow = 0x0004;
inline constexpr uint32_t DCB_fOutxDsrFlow = 0x0008;
inline constexpr uint32_t DCB_fDtrControlMask = 0x0030;
inline constexpr uint32_t DCB_fDsrSensitivity = 0x0040;
inline constexpr uint32_t DCB_fTXContinueOnXoff = 0x0080;
inline constexpr uint32_t DCB_fOutX = 0x0100;
inline constexpr uint32_t DCB_fInX = 0x0200;
inline constexpr uint32_t DCB_fErrorChar = 0x0400;
inline constexpr uint32_t DCB_fNull = 0x0800;
inline constexpr uint32_t DCB_fRtsControlMask = 0x3000;
inline constexpr uint32_t DCB_fRtsControlHandshake = 0x2000;
inline constexpr uint32_t DCB_fAbortOnError = 0x4000;

// Parity codes and stop-bit codes.
inline constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3,
                         SPACEPARITY = 4;
inline constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// The fields of the device-control block the component sets.
struct TDCB {
  uint32_t BaudRate = 9600;
  uint32_t Flags = DCB_fBinary;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
  char XonChar = 17;
  char XoffChar = 19;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

struct TCommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// The COMSTAT record: status flags (fCtsHold bit 0 ... fTxim bit 6) and queue counts.
struct TComStat {
  uint32_t Flags = 0;
  uint32_t cbInQue = 0;
  uint32_t cbOutQue = 0;
};

// Provider capabilities of GetCommProperties (the lines the device can serve).
inline constexpr uint32_t PCF_DTRDSR = 0x0001;
inline constexpr uint32_t PCF_RTSCTS = 0x0002;
inline constexpr uint32_t PCF_RLSD = 0x0004;

// The part of the COMMPROP record the component reads.
struct TCommProp {
  uint32_t ProvCapabilities = 0;
  uint32_t MaxBaud = 0;
};

// Status stored in TOverlapped::Internal while an operation runs. A finished
// operation stores ERROR_SUCCESS or its error code there, and its byte count
// in InternalHigh, before its event is signalled.
inline constexpr uint32_t STATUS_PENDING = 0x103;

// One overlapped record. Internal and InternalHigh are written by the driver
// (possibly on a thread of its own) and read by GetOverlappedResult.
struct TOverlapped {
  std::atomic<uint32_t> Internal{0};
  std::atomic<uint32_t> InternalHigh{0};
  uint32_t Offset = 0;
  uint32_t OffsetHigh = 0;
  THandle hEvent = 0;
};

class IPortDriver {
 public:
  virtual ~IPortDriver() = default;

  // Opens a port for overlapped input and output, exclusively. Name is the
  // device name as the component builds it ("\\.\" + port name).
  virtual THandle CreateFile(const std::string& Name) = 0;
  // Closes a port; operations still pending on it end with ERROR_OPERATION_ABORTED.
  virtual bool CloseHandle(THandle Port) = 0;
  virtual bool SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) = 0;
  virtual bool GetCommState(THandle Port, TDCB& DCB) = 0;
  virtual bool SetCommState(THandle Port, const TDCB& DCB) = 0;
  virtual bool GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) = 0;
  virtual bool SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) = 0;
  // Sets the events a wait reports; completes a pending wait with mask 0.
  virtual bool SetCommMask(THandle Port, uint32_t Mask) = 0;
  // *Mask is written when the wait completes (at once or later).
  virtual bool WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) = 0;
  virtual bool ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                        TOverlapped* Overlapped) = 0;
  virtual bool WriteFile(THandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                         TOverlapped* Overlapped) = 0;
  // Without Wait, a running operation answers false with ERROR_IO_INCOMPLETE.
  virtual bool GetOverlappedResult(THandle Port, TOverlapped* Overlapped, uint32_t* Transferred,
                                   bool Wait) = 0;
  virtual bool GetCommModemStatus(THandle Port, uint32_t* ModemStatus) = 0;
  // Returns and clears the line errors seen since the last call.
  virtual bool ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) = 0;
  virtual bool EscapeCommFunction(THandle Port, uint32_t Function) = 0;
  virtual bool SetCommBreak(THandle Port) = 0;
  virtual bool ClearCommBreak(THandle Port) = 0;
  virtual bool PurgeComm(THandle Port, uint32_t Flags) = 0;
  // What the device behind an open port can do; a device that cannot
  // report CTS leaves PCF_RTSCTS out.
  virtual bool GetCommProperties(THandle Port, TCommProp& Properties) = 0;

  // Manual-reset events for the overlapped records. CreateEvent answers 0
  // on failure; a successful call leaves ERROR_ALREADY_EXISTS in
  // GetLastError() when the event already existed, else ERROR_SUCCESS.
  virtual THandle CreateEvent() = 0;
  virtual bool SetEvent(THandle Event) = 0;
  virtual bool ResetEvent(THandle Event) = 0;
  virtual bool CloseEvent(THandle Event) = 0;
  // Waits until any of the events is signalled (WAIT_OBJECT_0 + its index),
  // the time passes (WAIT_TIMEOUT) or the wait fails (WAIT_FAILED).
  virtual uint32_t WaitForMultipleObjects(uint32_t Count, const THandle* Events,
                                          uint32_t Milliseconds) = 0;
  uint32_t WaitForSingleObject(THandle Event, uint32_t Milliseconds) {
    return WaitForMultipleObjects(1, &Event, Milliseconds);
  }

  // The platform identifier (1 = the family that needs the ring workaround).
  virtual bool GetVersionEx(uint32_t& PlatformId) = 0;
  // The calling thread's last error.
  virtual uint32_t GetLastError() = 0;
};

// The process-wide port driver for real devices (the platform's back end).
IPortDriver& DefaultPortDriver();
// A driver of its own for real devices, from the platform's back end, for
// an owner that keeps it (the window).
std::unique_ptr<IPortDriver> CreateDevicePortDriver();

}  // namespace serial
