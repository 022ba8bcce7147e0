// The Win32 port driver's event logic through a seam over the system's
// communication calls: the system's answers are scripted (a pty cannot
// move modem lines), its events and waits are real. The component and its
// worker run on top, as in the program.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Timing.h"
#include "serial/SerialPort.h"
#include "serial/win32/Win32Port.h"
#include "tests/serial/SerialTestSupport.h"

namespace serial::win32 {
namespace {

using test::PumpUntil;

// The system's NTSTATUS of a running operation, as the record shows it.
constexpr uintptr_t kRunning = 0x103;
TNativeHandle const kPort = reinterpret_cast<TNativeHandle>(uintptr_t{0x4440});

// A COM port of the seam's own: modem lines, received bytes and line
// events as a test sets them; overlapped operations complete the way the
// system completes them (status and count in the record, then its event).
class TScriptedComm final : public IWin32Api {
 public:
  TNativeHandle OpenComm(const std::string& Name) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (Name != "\\\\.\\COM7") return Fail(2), InvalidNativeHandle();  // ERROR_FILE_NOT_FOUND
    if (FOpen) return Fail(5), InvalidNativeHandle();                  // ERROR_ACCESS_DENIED
    FOpen = true;
    return kPort;
  }
  bool CloseHandle(TNativeHandle Handle) override {
    if (Handle != kPort) return SystemApi().CloseHandle(Handle);
    std::lock_guard<std::mutex> guard(FLock);
    FOpen = false;
    FGone = 0;
    Complete(FWait, 995, 0);  // ERROR_OPERATION_ABORTED
    if (LeaveReadOnClose)
      FLateRead = std::exchange(FRead.Record, nullptr);
    else
      Complete(FRead, 995, 0);
    return true;
  }
  bool SetupComm(TNativeHandle, uint32_t, uint32_t) override { return true; }
  bool GetCommState(TNativeHandle, TDCB& DCB) override {
    DCB = TDCB{};
    return true;
  }
  bool SetCommState(TNativeHandle, const TDCB& DCB) override {
    std::lock_guard<std::mutex> guard(FLock);
    State = DCB;
    return true;
  }
  bool GetCommTimeouts(TNativeHandle, TCommTimeouts& T) override {
    T = TCommTimeouts{};
    return true;
  }
  bool SetCommTimeouts(TNativeHandle, const TCommTimeouts&) override { return true; }
  bool SetCommMask(TNativeHandle, uint32_t Mask) override {
    std::lock_guard<std::mutex> guard(FLock);
    FMask = Mask;
    if (FWait.Record) *FWaitMask = 0;
    Complete(FWait, 0, 0);
    return true;
  }
  bool WaitCommEvent(TNativeHandle, uint32_t* Mask, TNativeOverlapped* Overlapped) override {
    std::lock_guard<std::mutex> guard(FLock);
    ++WaitCalls;
    if (FGone) return Fail(FGone);
    if (FSeen & FMask) {
      *Mask = FSeen & FMask;
      FSeen = 0;
      return true;
    }
    Begin(FWait, Overlapped);
    FWaitMask = Mask;
    return Fail(997);  // ERROR_IO_PENDING
  }
  bool ReadFile(TNativeHandle, void* Buffer, uint32_t Count, uint32_t* Read,
                TNativeOverlapped* Overlapped) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (FGone) return Fail(FGone);
    if (!FInput.empty()) {
      *Read = Take(Buffer, Count);
      return true;
    }
    Begin(FRead, Overlapped);
    FReadBuffer = Buffer;
    FReadCount = Count;
    return Fail(997);
  }
  bool WriteFile(TNativeHandle, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TNativeOverlapped*) override {
    std::lock_guard<std::mutex> guard(FLock);
    Output.append(static_cast<const char*>(Buffer), Count);
    *Written = Count;
    return true;
  }
  bool GetOverlappedResult(TNativeHandle, TNativeOverlapped* Overlapped, uint32_t* Transferred,
                           bool) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (Overlapped->Internal == kRunning) return Fail(996);  // ERROR_IO_INCOMPLETE
    *Transferred = static_cast<uint32_t>(Overlapped->InternalHigh);
    if (Overlapped->Internal != 0) return Fail(static_cast<uint32_t>(Overlapped->Internal));
    return true;
  }
  bool GetCommModemStatus(TNativeHandle, uint32_t* ModemStatus) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (FGone) return Fail(FGone);
    *ModemStatus = FModem;
    return true;
  }
  bool ClearCommError(TNativeHandle, uint32_t* Errors, TComStat* Stat) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (FGone) return Fail(FGone);
    *Errors = 0;
    *Stat = TComStat{};
    Stat->cbInQue = static_cast<uint32_t>(FInput.size());
    return true;
  }
  bool EscapeCommFunction(TNativeHandle, uint32_t Function) override {
    std::lock_guard<std::mutex> guard(FLock);
    Escapes.push_back(Function);
    return true;
  }
  bool SetCommBreak(TNativeHandle) override { return true; }
  bool ClearCommBreak(TNativeHandle) override { return true; }
  bool PurgeComm(TNativeHandle, uint32_t Flags) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (Flags & PURGE_RXABORT) Complete(FRead, 995, 0);
    if (Flags & PURGE_RXCLEAR) FInput.clear();
    return true;
  }
  bool CancelIo(TNativeHandle, TNativeOverlapped* Overlapped) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (FRead.Record == Overlapped) Complete(FRead, 995, 0);
    return true;
  }
  bool GetCommProperties(TNativeHandle, TCommProp& P) override {
    P.ProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD;
    P.MaxBaud = 0x10000000;
    return true;
  }
  TNativeHandle NewEvent() override { return SystemApi().NewEvent(); }
  bool SetEvent(TNativeHandle Event) override { return SystemApi().SetEvent(Event); }
  bool ResetEvent(TNativeHandle Event) override { return SystemApi().ResetEvent(Event); }
  uint32_t WaitForMultipleObjects(uint32_t Count, const TNativeHandle* Handles,
                                  uint32_t Milliseconds) override {
    return SystemApi().WaitForMultipleObjects(Count, Handles, Milliseconds);
  }
  bool PlatformId(uint32_t& Id) override {
    Id = 2;
    return true;
  }
  uint32_t GetLastError() override { return SystemApi().GetLastError(); }
  void SetLastError(uint32_t Code) override { SystemApi().SetLastError(Code); }

  // The lines change: the modem word first, then the events they raise.
  void SetModem(uint32_t Modem, uint32_t Events) {
    std::lock_guard<std::mutex> guard(FLock);
    FModem = Modem;
    Raise(Events);
  }
  void Receive(const std::string& Bytes) {
    std::lock_guard<std::mutex> guard(FLock);
    FInput += Bytes;
    if (FRead.Record) {
      const uint32_t n = Take(FReadBuffer, FReadCount);
      Complete(FRead, 0, n);
    }
    Raise(EV_RXCHAR);
  }
  // The adapter is pulled: what runs ends with Code, as does every call on
  // the port after it.
  void Unplug(uint32_t Code) {
    std::lock_guard<std::mutex> guard(FLock);
    FGone = Code;
    Complete(FWait, Code, 0);
    Complete(FRead, Code, 0);
  }
  // A read that closing left running ends now.
  void EndLateRead() {
    std::lock_guard<std::mutex> guard(FLock);
    TOp late{std::exchange(FLateRead, nullptr)};
    Complete(late, 995, 0);
  }
  bool WaitPending() {
    std::lock_guard<std::mutex> guard(FLock);
    return FWait.Record != nullptr;
  }
  bool ReadPending() {
    std::lock_guard<std::mutex> guard(FLock);
    return FRead.Record != nullptr;
  }

  TDCB State;
  std::string Output;
  std::vector<uint32_t> Escapes;
  int WaitCalls = 0;
  // Closing the port leaves a pending read running (a driver that hangs).
  bool LeaveReadOnClose = false;

 private:
  struct TOp {
    TNativeOverlapped* Record = nullptr;
  };
  bool Fail(uint32_t Code) {
    SystemApi().SetLastError(Code);
    return false;
  }
  void Begin(TOp& Op, TNativeOverlapped* Record) {
    Record->Internal = kRunning;
    Op.Record = Record;
  }
  void Complete(TOp& Op, uint32_t Status, uint32_t Bytes) {
    if (!Op.Record) return;
    TNativeOverlapped* record = std::exchange(Op.Record, nullptr);
    record->InternalHigh = Bytes;
    record->Internal = Status;
    SystemApi().SetEvent(record->hEvent);
  }
  void Raise(uint32_t Events) {
    if (FWait.Record && (Events & FMask)) {
      *FWaitMask = Events & FMask;
      Complete(FWait, 0, 0);
    } else {
      FSeen |= Events;
    }
  }
  uint32_t Take(void* Buffer, uint32_t Count) {
    const uint32_t n = std::min<uint32_t>(Count, static_cast<uint32_t>(FInput.size()));
    std::memcpy(Buffer, FInput.data(), n);
    FInput.erase(0, n);
    return n;
  }

  std::mutex FLock;
  bool FOpen = false;
  uint32_t FGone = 0;
  TNativeOverlapped* FLateRead = nullptr;
  uint32_t FMask = 0;
  uint32_t FSeen = 0;
  uint32_t FModem = MS_CTS_ON | MS_DSR_ON;
  std::string FInput;
  TOp FWait;
  uint32_t* FWaitMask = nullptr;
  TOp FRead;
  void* FReadBuffer = nullptr;
  uint32_t FReadCount = 0;
};

class Win32Seam : public ::testing::Test {
 protected:
  void SetUp() override { core::MainThread::SetMainThread(); }
  void Make(const std::string& Name = "COM7") {
    Port = std::make_unique<TSerialPort>(nullptr, Driver, core::SystemClock(), Log.Handler());
    Port->SetCommPort(Name);
  }
  void Open() {
    Port->SetActive(true);
    ASSERT_TRUE(Port->Active());
    ASSERT_TRUE(PumpUntil([&] { return Port->ThreadIsRunning() && Comm.WaitPending(); }));
  }
  void Record(core::TNotifyEvent& Event, const std::string& Name) {
    Event = [this, Name](core::TObject*) {
      Events.push_back(Name + (Name == "cts" ? (Port->CTSState() ? "+" : "-") : ""));
    };
  }
  void TearDown() override { Port.reset(); }

  TScriptedComm Comm;
  TWin32PortDriver Driver{Comm};
  test::TReportLog Log;
  std::vector<std::string> Events;
  std::unique_ptr<TSerialPort> Port;
};

TEST_F(Win32Seam, LineEventsArriveInOrderWithTheNewStateAlreadyRead) {
  Make();
  Record(Port->OnCTSEvent, "cts");
  Record(Port->OnDSREvent, "dsr");
  Record(Port->OnCommEvent, "comm");
  Open();
  EXPECT_TRUE(Port->CTSState());
  // The dah contact closes: CTS inactive, one completed wait.
  Comm.SetModem(MS_DSR_ON, EV_CTS);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() >= 2; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"cts-", "comm"}));
  // Both lines at once: CTS before DSR, then the summary event.
  Events.clear();
  Comm.SetModem(MS_CTS_ON, EV_CTS | EV_DSR);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() >= 3; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"cts+", "dsr", "comm"}));
  EXPECT_FALSE(Port->DSRState());
  EXPECT_EQ(Port->ModemState(), MS_CTS_ON);
}

TEST_F(Win32Seam, APendingReadEndsAsAClusterAndClosingAbortsWhatStillRuns) {
  Make();
  Port->SetReadRequest(true);
  Open();
  Comm.Receive("abc");
  ASSERT_TRUE(PumpUntil([&] { return Port->ClusterCount() >= 1; }));
  std::unique_ptr<TSerialCluster> cluster = Port->TakeCluster();
  ASSERT_EQ(cluster->Size(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cluster->Data()), 3), "abc");

  // The records of a driver read as the interface says while and after an
  // operation runs: pending, then the system's error code.
  TOverlapped record;
  record.hEvent = Driver.CreateEvent();
  uint8_t buffer[8];
  uint32_t read = 0;
  EXPECT_FALSE(Driver.ReadFile(Port->ComHandle(), buffer, 8, &read, &record));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(record.Internal.load(), STATUS_PENDING);
  uint32_t bytes = 0;
  EXPECT_FALSE(Driver.GetOverlappedResult(Port->ComHandle(), &record, &bytes, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_TRUE(Driver.PurgeComm(Port->ComHandle(), PURGE_RXABORT));
  EXPECT_EQ(Driver.WaitForSingleObject(record.hEvent, 2000), WAIT_OBJECT_0);
  EXPECT_FALSE(Driver.GetOverlappedResult(Port->ComHandle(), &record, &bytes, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_OPERATION_ABORTED);
  Driver.CloseEvent(record.hEvent);

  Port->SetActive(false);
  EXPECT_FALSE(Port->Active());
  EXPECT_EQ(Comm.Escapes.back(), CLRRTS);  // DTR, then RTS, lowered on closing
  EXPECT_EQ(Comm.Escapes[Comm.Escapes.size() - 2], CLRDTR);
}

TEST_F(Win32Seam, APulledAdapterIsReportedAsALostDeviceWhateverCodeItsDriverGives) {
  for (uint32_t code : {22u, 31u, 5u, 1617u}) {
    Log.Reports.clear();
    Make();
    Open();
    Comm.Unplug(code);
    ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9920); })) << code;
    EXPECT_EQ(Log.Find(9920, "Port lost: the device hung up or went away")->Code,
              ERROR_DEVICE_NOT_CONNECTED);
    Port.reset();
  }
}

TEST_F(Win32Seam, AReadThatClosingLeftRunningCannotEndTheRecordsNextOne) {
  Comm.LeaveReadOnClose = true;
  TOverlapped record;
  record.hEvent = Driver.CreateEvent();
  uint8_t buffer[8];
  uint32_t bytes = 0;
  THandle port = Driver.CreateFile("\\\\.\\COM7");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Driver.ReadFile(port, buffer, 8, &bytes, &record));
  // Closing waits for it in vain, then lets it go.
  Driver.CloseHandle(port);
  EXPECT_FALSE(Driver.GetOverlappedResult(port, &record, &bytes, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_OPERATION_ABORTED);

  port = Driver.CreateFile("\\\\.\\COM7");
  EXPECT_FALSE(Driver.ReadFile(port, buffer, 8, &bytes, &record));
  Comm.EndLateRead();
  EXPECT_EQ(Driver.WaitForSingleObject(record.hEvent, 200), WAIT_TIMEOUT);
  EXPECT_FALSE(Driver.GetOverlappedResult(port, &record, &bytes, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_INCOMPLETE);
  Comm.Receive("x");
  EXPECT_TRUE(Driver.GetOverlappedResult(port, &record, &bytes, true));
  EXPECT_EQ(bytes, 1u);
  Comm.LeaveReadOnClose = false;
  Driver.CloseHandle(port);
  Driver.CloseEvent(record.hEvent);
}

TEST_F(Win32Seam, OpenFailuresCarryTheSystemsCodes) {
  Make("COM8");
  Port->SetActive(true);
  EXPECT_FALSE(Port->Active());
  EXPECT_EQ(Log.CodeOf(112, "Error reopening Port"), 2);  // ERROR_FILE_NOT_FOUND

  Log.Reports.clear();
  Make("COM7");
  TSerialPort other(nullptr, Driver, core::SystemClock());
  other.SetCommPort("COM7");
  other.SetActive(true);
  ASSERT_TRUE(other.Active());
  Port->SetActive(true);
  EXPECT_FALSE(Port->Active());
  EXPECT_EQ(Log.CodeOf(112, "Error reopening Port"), 5);  // held by another: ERROR_ACCESS_DENIED
}

TEST_F(Win32Seam, SettingsReachTheSystemsDeviceControlBlock) {
  Make();
  Port->SetBaudRate(1200);
  Port->SetParityType(EVENPARITY);
  Port->SetFlowControl(DCB_fOutxCtsFlow | DCB_fRtsControlHandshake);
  Open();
  EXPECT_EQ(Comm.State.BaudRate, 1200u);
  EXPECT_EQ(Comm.State.Parity, EVENPARITY);
  EXPECT_EQ(Comm.State.Flags,
            DCB_fBinary | DCB_fParity | DCB_fOutxCtsFlow | DCB_fRtsControlHandshake);
  EXPECT_EQ(Comm.State.XonLim, 4096u * 33 / 100);
}

}  // namespace
}  // namespace serial::win32
