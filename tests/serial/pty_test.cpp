// The Linux port driver against a pseudo-terminal pair. The test holds the
// master side; the driver opens the slave by its path. Ptys have no modem
// lines, so the modem calls fail there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/Timing.h"
#include "serial/SerialPort.h"
#include "serial/linux/LinuxPort.h"
#include "tests/serial/SerialTestSupport.h"

namespace serial {
namespace {

using test::PumpUntil;

// A lock directory of the test's own, so that no lock file lands in the system's.
struct TLockDir {
  TLockDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "serial-lock-XXXXXX").string();
    Path = mkdtemp(pattern.data());
  }
  ~TLockDir() { std::filesystem::remove_all(Path); }
  std::string Path;
};

class PtyTest : public ::testing::Test {
 protected:
  PtyTest() : Driver(TDevicePlaces{"/nonexistent-sysfs", Locks.Path}) {
    int slave = -1;
    char name[256] = {};
    if (openpty(&Master, &slave, name, nullptr, nullptr) == 0) {
      Path = name;
      ::close(slave);
      fcntl(Master, F_SETFL, O_NONBLOCK);
    }
    Wait.hEvent = Driver.CreateEvent();
    Read.hEvent = Driver.CreateEvent();
    Write.hEvent = Driver.CreateEvent();
  }
  ~PtyTest() override {
    if (Port != INVALID_HANDLE_VALUE) Driver.CloseHandle(Port);
    for (TOverlapped* record : {&Wait, &Read, &Write})
      Driver.CloseEvent(record->hEvent);
    if (Master >= 0) ::close(Master);
  }
  void Open() {
    ASSERT_FALSE(Path.empty());
    Port = Driver.CreateFile("\\\\.\\" + Path);
    ASSERT_NE(Port, INVALID_HANDLE_VALUE) << Driver.GetLastError();
  }
  void ReturnAtOnce() {
    TCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    ASSERT_TRUE(Driver.SetCommTimeouts(Port, timeouts));
  }
  void MasterWrite(const std::string& Text) {
    ASSERT_EQ(::write(Master, Text.data(), Text.size()), static_cast<ssize_t>(Text.size()));
  }
  std::string MasterRead(size_t Count) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (text.size() < Count && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{Master, POLLIN, 0};
      if (::poll(&fd, 1, 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(Master, buffer, sizeof buffer);
      if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
  uint32_t Waiting() {
    uint32_t errors = 0;
    TComStat stat;
    return Driver.ClearCommError(Port, &errors, &stat) ? stat.cbInQue : 0;
  }
  uint32_t Result(TOverlapped& Record, uint32_t* Bytes) {
    return Driver.GetOverlappedResult(Port, &Record, Bytes, false) ? ERROR_SUCCESS
                                                                   : Driver.GetLastError();
  }

  TLockDir Locks;
  TLinuxPortDriver Driver;
  int Master = -1;
  std::string Path;
  THandle Port = INVALID_HANDLE_VALUE;
  TOverlapped Wait, Read, Write;
};

TEST_F(PtyTest, OpenIsExclusiveUntilClosed) {
  Open();
  EXPECT_EQ(Driver.CreateFile(Path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), static_cast<uint32_t>(EBUSY));
  ASSERT_TRUE(Driver.CloseHandle(Port));
  EXPECT_FALSE(Driver.CloseHandle(Port));
  Port = Driver.CreateFile(Path);
  EXPECT_NE(Port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.CreateFile("/nonexistent-device"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), static_cast<uint32_t>(ENOENT));
}

TEST_F(PtyTest, SettingsRoundTripAndImpossibleOnesAreRefused) {
  Open();
  TDCB dcb;
  ASSERT_TRUE(Driver.GetCommState(Port, dcb));
  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.XonLim = 1351;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(Driver.SetCommState(Port, dcb));
  TDCB back;
  ASSERT_TRUE(Driver.GetCommState(Port, back));
  // The state read back is the line's: a pty keeps 8 bits without parity.
  EXPECT_EQ(back.BaudRate, 19200u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.XonLim, 1351);
  EXPECT_EQ(back.EvtChar, '\n');

  // Rates outside the kernel's table go through its arbitrary-rate interface.
  dcb.BaudRate = 14400;
  ASSERT_TRUE(Driver.SetCommState(Port, dcb));
  ASSERT_TRUE(Driver.GetCommState(Port, back));
  EXPECT_EQ(back.BaudRate, 14400u);
  dcb.BaudRate = 0;
  EXPECT_FALSE(Driver.SetCommState(Port, dcb));
  EXPECT_EQ(Driver.GetLastError(), ERROR_INVALID_PARAMETER);
  dcb.BaudRate = 9600;
  dcb.ByteSize = 4;
  EXPECT_FALSE(Driver.SetCommState(Port, dcb));
  EXPECT_TRUE(Driver.SetupComm(Port, 4096, 4096));
}

TEST_F(PtyTest, DataFlowsBothWaysAndArrivalCompletesTheWait) {
  Open();
  ReturnAtOnce();
  TDCB dcb;
  ASSERT_TRUE(Driver.GetCommState(Port, dcb));
  dcb.EvtChar = '!';
  ASSERT_TRUE(Driver.SetCommState(Port, dcb));
  ASSERT_TRUE(Driver.SetCommMask(Port, EV_ALL));

  uint32_t written = 0;
  ASSERT_TRUE(Driver.WriteFile(Port, "hello", 5, &written, &Write));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(MasterRead(5), "hello");
  uint32_t mask = 0;
  ASSERT_TRUE(Driver.WaitCommEvent(Port, &mask, &Wait));  // kept since the write
  EXPECT_EQ(mask, EV_TXEMPTY);

  ASSERT_FALSE(Driver.WaitCommEvent(Port, &mask, &Wait));
  ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  MasterWrite("world!");
  ASSERT_EQ(Driver.WaitForSingleObject(Wait.hEvent, 3000), WAIT_OBJECT_0);
  EXPECT_EQ(mask & (EV_RXCHAR | EV_RXFLAG), EV_RXCHAR | EV_RXFLAG);
  ASSERT_TRUE(PumpUntil([&] { return Waiting() == 6; }));

  char buffer[16] = {};
  uint32_t got = 0;
  ASSERT_TRUE(Driver.ReadFile(Port, buffer, sizeof buffer, &got, &Read));
  EXPECT_EQ(std::string(buffer, got), "world!");
  ASSERT_TRUE(Driver.ReadFile(Port, buffer, sizeof buffer, &got, &Read));
  EXPECT_EQ(got, 0u);  // returns at once with nothing
}

TEST_F(PtyTest, PendingReadsCompleteOnDataTimeOutOrAreCancelled) {
  Open();
  char buffer[8] = {};
  uint32_t got = 0;
  // All time-outs 0: the read waits for its whole count.
  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 4, &got, &Read));
  ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(Result(Read, &got), ERROR_IO_INCOMPLETE);
  MasterWrite("ab");
  MasterWrite("cd");
  ASSERT_EQ(Driver.WaitForSingleObject(Read.hEvent, 3000), WAIT_OBJECT_0);
  ASSERT_EQ(Result(Read, &got), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, got), "abcd");

  // Cancelled by a purge.
  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 4, &got, &Read));
  ASSERT_TRUE(Driver.PurgeComm(Port, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(Result(Read, &got), ERROR_OPERATION_ABORTED);

  // A total time-out ends it with what came.
  TCommTimeouts timeouts;
  timeouts.ReadTotalTimeoutConstant = 30;
  ASSERT_TRUE(Driver.SetCommTimeouts(Port, timeouts));
  MasterWrite("x");
  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 4, &got, &Read));
  ASSERT_EQ(Driver.WaitForSingleObject(Read.hEvent, 3000), WAIT_OBJECT_0);
  ASSERT_EQ(Result(Read, &got), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, got), "x");

  // Cancelled by closing, together with a pending wait.
  timeouts.ReadTotalTimeoutConstant = 0;
  ASSERT_TRUE(Driver.SetCommTimeouts(Port, timeouts));
  ASSERT_TRUE(Driver.SetCommMask(Port, EV_CTS));
  uint32_t mask = 0;
  ASSERT_FALSE(Driver.WaitCommEvent(Port, &mask, &Wait));
  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 4, &got, &Read));
  ASSERT_TRUE(Driver.CloseHandle(Port));
  Port = INVALID_HANDLE_VALUE;
  EXPECT_EQ(Result(Read, &got), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(Result(Wait, &got), ERROR_OPERATION_ABORTED);
}

TEST_F(PtyTest, HugeReadTimeOutsSaturateInsteadOfExpiringAtOnce) {
  Open();
  TCommTimeouts timeouts;
  timeouts.ReadTotalTimeoutMultiplier = 0xFFFFFFFE;
  timeouts.ReadTotalTimeoutConstant = 0xFFFFFFFE;
  ASSERT_TRUE(Driver.SetCommTimeouts(Port, timeouts));
  std::vector<char> buffer(65536);
  uint32_t got = 0;
  ASSERT_FALSE(Driver.ReadFile(Port, buffer.data(), 65536, &got, &Read));
  ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(Driver.WaitForSingleObject(Read.hEvent, 100), WAIT_TIMEOUT);
  EXPECT_EQ(Result(Read, &got), ERROR_IO_INCOMPLETE);
}

TEST_F(PtyTest, AHangUpEndsWhatIsPendingAndIsNotPolledAgain) {
  Open();
  ASSERT_TRUE(Driver.SetCommMask(Port, EV_ALL));
  uint32_t mask = 0;
  ASSERT_FALSE(Driver.WaitCommEvent(Port, &mask, &Wait));
  char buffer[4];
  uint32_t got = 0;
  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 4, &got, &Read));
  ::close(Master);
  Master = -1;
  ASSERT_EQ(Driver.WaitForSingleObject(Read.hEvent, 3000), WAIT_OBJECT_0);
  EXPECT_EQ(Result(Read, &got), ERROR_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(Driver.WaitForSingleObject(Wait.hEvent, 3000), WAIT_OBJECT_0);
  EXPECT_EQ(Result(Wait, &got), ERROR_DEVICE_NOT_CONNECTED);
  uint32_t errors = 0;
  TComStat stat;
  EXPECT_FALSE(Driver.ClearCommError(Port, &errors, &stat));
  EXPECT_EQ(Driver.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(Driver.WaitCommEvent(Port, &mask, &Wait));
  EXPECT_EQ(Driver.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  // Closing still works and lowers nothing with a report.
  EXPECT_TRUE(Driver.EscapeCommFunction(Port, CLRDTR));
  EXPECT_TRUE(Driver.PurgeComm(Port, 15));
  EXPECT_TRUE(Driver.CloseHandle(Port));
  Port = INVALID_HANDLE_VALUE;
}

TEST_F(PtyTest, ModemCallsFailOnAPtyButBreakAndPurgeWork) {
  Open();
  uint32_t modem = 0;
  EXPECT_FALSE(Driver.GetCommModemStatus(Port, &modem));
  EXPECT_NE(Driver.GetLastError(), 0u);
  EXPECT_FALSE(Driver.EscapeCommFunction(Port, SETDTR));
  EXPECT_FALSE(Driver.EscapeCommFunction(Port, CLRRTS));
  EXPECT_FALSE(Driver.EscapeCommFunction(Port, 99));
  EXPECT_EQ(Driver.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Driver.SetCommBreak(Port));
  EXPECT_TRUE(Driver.ClearCommBreak(Port));
  EXPECT_TRUE(Driver.PurgeComm(Port, 15));
}

TEST_F(PtyTest, ComponentReadsClustersAndWritesThroughThePty) {
  test::TReportLog log;
  {
    TSerialPort port(nullptr, Driver, core::SystemClock(), log.Handler());
    port.SetCommPort(Path);
    port.SetActive(true);
    ASSERT_TRUE(port.Active());
    EXPECT_TRUE(log.HasPlace(601));  // no DTR on a pty
    EXPECT_TRUE(log.HasPlace(501));
    MasterWrite("paddle");
    // On a slow machine the worker may read (part of) the bytes on its own
    // before the queue is seen full; the clusters together hold them all.
    ASSERT_TRUE(PumpUntil([&] { return port.CommStateInQueue() == 6 || port.ClusterCount() > 0; }));
    std::string received;
    ASSERT_TRUE(PumpUntil([&] {
      port.SetReadRequest(true);
      while (auto cluster = port.TakeCluster())
        received.append(reinterpret_cast<const char*>(cluster->Data()), cluster->Size());
      return received.size() >= 6;
    }));
    EXPECT_EQ(received, "paddle");
    ASSERT_TRUE(port.SendData("key", 3));
    EXPECT_EQ(MasterRead(3), "key");
    ASSERT_TRUE(PumpUntil([&] { return !port.SendInProgress(); }));
    EXPECT_EQ(port.WrittenBytes(), 3u);
    port.SetActive(false);
    EXPECT_FALSE(port.Active());
  }
  EXPECT_TRUE(log.HasPlace(9905));  // the modem status cannot be read
  Open();                           // the device was released
}

}  // namespace
}  // namespace serial
