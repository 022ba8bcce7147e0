// The port-driver names come first; <windows.h> after them, so its macros
// only reach the code below.
#include "serial/win32/Win32Api.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

#include <windows.h>

namespace serial::win32 {
namespace {

static_assert(sizeof(TNativeOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(TNativeOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(offsetof(TNativeOverlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(sizeof(DWORD) == sizeof(uint32_t));

OVERLAPPED* Native(TNativeOverlapped* Overlapped) {
  return reinterpret_cast<OVERLAPPED*>(Overlapped);
}
DWORD* Dword(uint32_t* Value) {
  return reinterpret_cast<DWORD*>(Value);
}

std::wstring Widen(const std::string& Text) {
  if (Text.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* Text, std::size_t Length) {
  if (Length == 0) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, Text, static_cast<int>(Length), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text, static_cast<int>(Length), narrow.data(), n, nullptr,
                      nullptr);
  return narrow;
}

// The DCB's bit fields from and to the packed flags word; the bits are in
// the system's own order, so the word is the record's third field as is.
uint32_t PackFlags(const DCB& D) {
  return D.fBinary | D.fParity << 1 | D.fOutxCtsFlow << 2 | D.fOutxDsrFlow << 3 |
         D.fDtrControl << 4 | D.fDsrSensitivity << 6 | D.fTXContinueOnXoff << 7 | D.fOutX << 8 |
         D.fInX << 9 | D.fErrorChar << 10 | D.fNull << 11 | D.fRtsControl << 12 |
         D.fAbortOnError << 14;
}

void UnpackFlags(uint32_t F, DCB& D) {
  D.fBinary = F & 1;
  D.fParity = F >> 1 & 1;
  D.fOutxCtsFlow = F >> 2 & 1;
  D.fOutxDsrFlow = F >> 3 & 1;
  D.fDtrControl = F >> 4 & 3;
  D.fDsrSensitivity = F >> 6 & 1;
  D.fTXContinueOnXoff = F >> 7 & 1;
  D.fOutX = F >> 8 & 1;
  D.fInX = F >> 9 & 1;
  D.fErrorChar = F >> 10 & 1;
  D.fNull = F >> 11 & 1;
  D.fRtsControl = F >> 12 & 3;
  D.fAbortOnError = F >> 14 & 1;
}

class TSystemApi final : public IWin32Api {
 public:
  TNativeHandle OpenComm(const std::string& Name) override {
    return ::CreateFileW(Widen(Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
  bool CloseHandle(TNativeHandle Handle) override { return ::CloseHandle(Handle); }
  bool SetupComm(TNativeHandle Port, uint32_t InQueue, uint32_t OutQueue) override {
    return ::SetupComm(Port, InQueue, OutQueue);
  }
  bool GetCommState(TNativeHandle Port, TDCB& Out) override {
    DCB d{};
    d.DCBlength = sizeof(d);
    if (!::GetCommState(Port, &d)) return false;
    Out.BaudRate = d.BaudRate;
    Out.Flags = PackFlags(d);
    Out.XonLim = d.XonLim;
    Out.XoffLim = d.XoffLim;
    Out.ByteSize = d.ByteSize;
    Out.Parity = d.Parity;
    Out.StopBits = d.StopBits;
    Out.XonChar = d.XonChar;
    Out.XoffChar = d.XoffChar;
    Out.ErrorChar = d.ErrorChar;
    Out.EofChar = d.EofChar;
    Out.EvtChar = d.EvtChar;
    return true;
  }
  bool SetCommState(TNativeHandle Port, const TDCB& In) override {
    DCB d{};
    d.DCBlength = sizeof(d);
    d.BaudRate = In.BaudRate;
    UnpackFlags(In.Flags, d);
    d.XonLim = In.XonLim;
    d.XoffLim = In.XoffLim;
    d.ByteSize = In.ByteSize;
    d.Parity = In.Parity;
    d.StopBits = In.StopBits;
    d.XonChar = In.XonChar;
    d.XoffChar = In.XoffChar;
    d.ErrorChar = In.ErrorChar;
    d.EofChar = In.EofChar;
    d.EvtChar = In.EvtChar;
    return ::SetCommState(Port, &d);
  }
  bool GetCommTimeouts(TNativeHandle Port, TCommTimeouts& Out) override {
    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(Port, &t)) return false;
    Out = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
           t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
  }
  bool SetCommTimeouts(TNativeHandle Port, const TCommTimeouts& In) override {
    COMMTIMEOUTS t{In.ReadIntervalTimeout, In.ReadTotalTimeoutMultiplier,
                   In.ReadTotalTimeoutConstant, In.WriteTotalTimeoutMultiplier,
                   In.WriteTotalTimeoutConstant};
    return ::SetCommTimeouts(Port, &t);
  }
  bool SetCommMask(TNativeHandle Port, uint32_t Mask) override { return ::SetCommMask(Port, Mask); }
  bool WaitCommEvent(TNativeHandle Port, uint32_t* Mask, TNativeOverlapped* Overlapped) override {
    return ::WaitCommEvent(Port, Dword(Mask), Native(Overlapped));
  }
  bool ReadFile(TNativeHandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                TNativeOverlapped* Overlapped) override {
    return ::ReadFile(Port, Buffer, Count, Dword(Read), Native(Overlapped));
  }
  bool WriteFile(TNativeHandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TNativeOverlapped* Overlapped) override {
    return ::WriteFile(Port, Buffer, Count, Dword(Written), Native(Overlapped));
  }
  bool GetOverlappedResult(TNativeHandle Port, TNativeOverlapped* Overlapped, uint32_t* Transferred,
                           bool Wait) override {
    return ::GetOverlappedResult(Port, Native(Overlapped), Dword(Transferred), Wait);
  }
  bool GetCommModemStatus(TNativeHandle Port, uint32_t* ModemStatus) override {
    return ::GetCommModemStatus(Port, Dword(ModemStatus));
  }
  bool ClearCommError(TNativeHandle Port, uint32_t* Errors, TComStat* Stat) override {
    COMSTAT s{};
    if (!::ClearCommError(Port, Dword(Errors), &s)) return false;
    // The status flags are COMSTAT's leading bit fields, fCtsHold first.
    Stat->Flags = s.fCtsHold | s.fDsrHold << 1 | s.fRlsdHold << 2 | s.fXoffHold << 3 |
                  s.fXoffSent << 4 | s.fEof << 5 | s.fTxim << 6;
    Stat->cbInQue = s.cbInQue;
    Stat->cbOutQue = s.cbOutQue;
    return true;
  }
  bool EscapeCommFunction(TNativeHandle Port, uint32_t Function) override {
    return ::EscapeCommFunction(Port, Function);
  }
  bool SetCommBreak(TNativeHandle Port) override { return ::SetCommBreak(Port); }
  bool ClearCommBreak(TNativeHandle Port) override { return ::ClearCommBreak(Port); }
  bool PurgeComm(TNativeHandle Port, uint32_t Flags) override { return ::PurgeComm(Port, Flags); }
  bool CancelIo(TNativeHandle Port, TNativeOverlapped* Overlapped) override {
    return ::CancelIoEx(Port, Native(Overlapped));
  }
  bool GetCommProperties(TNativeHandle Port, TCommProp& Out) override {
    COMMPROP p{};
    if (!::GetCommProperties(Port, &p)) return false;
    Out.ProvCapabilities = p.dwProvCapabilities;
    Out.MaxBaud = p.dwMaxBaud;
    return true;
  }

  TNativeHandle NewEvent() override { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  bool SetEvent(TNativeHandle Event) override { return ::SetEvent(Event); }
  bool ResetEvent(TNativeHandle Event) override { return ::ResetEvent(Event); }
  uint32_t WaitForMultipleObjects(uint32_t Count, const TNativeHandle* Handles,
                                  uint32_t Milliseconds) override {
    return ::WaitForMultipleObjects(Count, Handles, FALSE, Milliseconds);
  }

  bool PlatformId(uint32_t& Id) override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);  // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(&info)) return false;
#pragma GCC diagnostic pop
    Id = info.dwPlatformId;
    return true;
  }
  uint32_t GetLastError() override {
    return ::GetLastError();
  }
  void SetLastError(uint32_t Code) override {
    ::SetLastError(Code);
  }
};

// Natural order: the digits of a name compare as numbers.
bool NaturalLess(const std::string& A, const std::string& B) {
  std::size_t i = 0, j = 0;
  while (i < A.size() && j < B.size()) {
    const bool da = A[i] >= '0' && A[i] <= '9', db = B[j] >= '0' && B[j] <= '9';
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < A.size() && A[ei] >= '0' && A[ei] <= '9')
        ++ei;
      while (ej < B.size() && B[ej] >= '0' && B[ej] <= '9')
        ++ej;
      const std::string na = A.substr(i, ei - i), nb = B.substr(j, ej - j);
      const std::size_t za = na.find_first_not_of('0'), zb = nb.find_first_not_of('0');
      const std::string ta = za == std::string::npos ? "" : na.substr(za);
      const std::string tb = zb == std::string::npos ? "" : nb.substr(zb);
      if (ta.size() != tb.size()) return ta.size() < tb.size();
      if (ta != tb) return ta < tb;
      i = ei;
      j = ej;
      continue;
    }
    const char ca = static_cast<char>(std::toupper(static_cast<unsigned char>(A[i])));
    const char cb = static_cast<char>(std::toupper(static_cast<unsigned char>(B[j])));
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  return A.size() - i < B.size() - j;
}

}  // namespace

IWin32Api& SystemApi() {
  static TSystemApi* api = new TSystemApi;  // threads may outlive statics
  return *api;
}

std::vector<std::string> SerialCommPorts() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return ports;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    wchar_t data[256];
    DWORD dataBytes = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    const LONG result = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataBytes);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    std::size_t length = dataBytes / sizeof(wchar_t);
    data[length] = L'\0';
    while (length > 0 && data[length - 1] == L'\0')
      --length;
    if (length > 0) ports.push_back(Narrow(data, length));
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), NaturalLess);
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

}  // namespace serial::win32
