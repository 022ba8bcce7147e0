// The Win32 port driver against the system: two linked ptys mapped as COM
// ports in the wine prefix (com-pair.sh). Data both ways, pending reads,
// time-outs, purges and break, and the component on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "core/Timing.h"
#include "serial/SerialDevices.h"
#include "serial/SerialPort.h"
#include "serial/win32/Win32Port.h"
#include "tests/serial/SerialTestSupport.h"

namespace serial::win32 {
namespace {

using test::PumpUntil;

class Win32Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    core::MainThread::SetMainThread();
    A = Driver.CreateFile("\\\\.\\COM33");
    B = Driver.CreateFile("\\\\.\\COM34");
    ASSERT_NE(A, INVALID_HANDLE_VALUE) << Driver.GetLastError();
    ASSERT_NE(B, INVALID_HANDLE_VALUE) << Driver.GetLastError();
    Record.hEvent = Driver.CreateEvent();
    Write.hEvent = Driver.CreateEvent();
  }
  void TearDown() override {
    if (A != INVALID_HANDLE_VALUE) Driver.CloseHandle(A);
    if (B != INVALID_HANDLE_VALUE) Driver.CloseHandle(B);
    Driver.CloseEvent(Record.hEvent);
    Driver.CloseEvent(Write.hEvent);
  }
  // Reads wait for their whole count (no time-outs), or up to Total ms.
  void Timeouts(THandle Port, uint32_t Total) {
    TCommTimeouts t;
    t.ReadTotalTimeoutConstant = Total;
    ASSERT_TRUE(Driver.SetCommTimeouts(Port, t));
  }
  void Send(THandle Port, const std::string& Text) {
    uint32_t written = 0;
    if (!Driver.WriteFile(Port, Text.data(), static_cast<uint32_t>(Text.size()), &written,
                          &Write)) {
      ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
      ASSERT_TRUE(Driver.GetOverlappedResult(Port, &Write, &written, true));
    }
    EXPECT_EQ(written, Text.size());
  }

  TWin32PortDriver Driver;
  THandle A = INVALID_HANDLE_VALUE;
  THandle B = INVALID_HANDLE_VALUE;
  TOverlapped Record;
  TOverlapped Write;
  char Buffer[64] = {};
};

TEST_F(Win32Pty, ThePortsAreListedInOrder) {
  const std::vector<std::string> ports = ListSerialDevices();
  const auto a = std::find(ports.begin(), ports.end(), "COM33");
  const auto b = std::find(ports.begin(), ports.end(), "COM34");
  ASSERT_NE(a, ports.end());
  ASSERT_NE(b, ports.end());
  EXPECT_LT(a, b);
  EXPECT_EQ(Driver.CreateFile("\\\\.\\COM99"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Pty, APendingReadEndsWhenTheOtherSideWritesAndDataGoesBothWays) {
  Timeouts(B, 0);
  uint32_t read = 0;
  ASSERT_FALSE(Driver.ReadFile(B, Buffer, 5, &read, &Record));
  ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(Record.Internal.load(), STATUS_PENDING);
  EXPECT_FALSE(Driver.GetOverlappedResult(B, &Record, &read, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_INCOMPLETE);
  Send(A, "hello");
  ASSERT_EQ(Driver.WaitForSingleObject(Record.hEvent, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(Driver.GetOverlappedResult(B, &Record, &read, false));
  EXPECT_EQ(std::string(Buffer, read), "hello");

  Timeouts(A, 0);
  Send(B, "back");
  ASSERT_TRUE(Driver.ReadFile(A, Buffer, 4, &read, &Record) ||
              Driver.GetOverlappedResult(A, &Record, &read, true));
  EXPECT_EQ(std::string(Buffer, read), "back");
}

TEST_F(Win32Pty, AReadTimesOutWithWhatArrivedAndAPurgeAbortsOrDrops) {
  Timeouts(B, 100);
  uint32_t read = 99;
  if (!Driver.ReadFile(B, Buffer, 10, &read, &Record)) {
    ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(Driver.GetOverlappedResult(B, &Record, &read, true)) << Driver.GetLastError();
  }
  EXPECT_EQ(read, 0u);

  Timeouts(B, 0);
  ASSERT_FALSE(Driver.ReadFile(B, Buffer, 10, &read, &Record));
  ASSERT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(Driver.PurgeComm(B, PURGE_RXABORT));
  ASSERT_EQ(Driver.WaitForSingleObject(Record.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(Driver.GetOverlappedResult(B, &Record, &read, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_OPERATION_ABORTED);

  Send(A, "dropped");
  TComStat stat;
  uint32_t errors = 0;
  ASSERT_TRUE(
      PumpUntil([&] { return Driver.ClearCommError(B, &errors, &stat) && stat.cbInQue == 7; }));
  ASSERT_TRUE(Driver.PurgeComm(B, PURGE_RXCLEAR));
  ASSERT_TRUE(Driver.ClearCommError(B, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);

  EXPECT_TRUE(Driver.SetCommBreak(A));
  EXPECT_TRUE(Driver.ClearCommBreak(A));
}

TEST_F(Win32Pty, TheComponentReceivesClustersAndSends) {
  Driver.CloseHandle(A);
  A = INVALID_HANDLE_VALUE;
  TSerialPort port(nullptr, Driver, core::SystemClock());
  port.SetCommPort("COM33");
  port.SetActive(true);
  ASSERT_TRUE(port.Active());
  port.SetReadRequest(true);
  ASSERT_TRUE(PumpUntil([&] { return port.ThreadIsRunning(); }));
  Send(B, "paddle");
  ASSERT_TRUE(PumpUntil([&] { return port.ClusterCount() > 0; }, 5000));
  std::string got;
  while (port.ClusterCount() > 0) {
    std::unique_ptr<TSerialCluster> c = port.TakeCluster();
    got.append(reinterpret_cast<const char*>(c->Data()), c->Size());
  }
  EXPECT_EQ(got, "paddle");

  ASSERT_TRUE(port.SendData("rig", 3));
  Timeouts(B, 2000);
  uint32_t read = 0;
  ASSERT_TRUE(Driver.ReadFile(B, Buffer, 3, &read, &Record) ||
              Driver.GetOverlappedResult(B, &Record, &read, true));
  EXPECT_EQ(std::string(Buffer, read), "rig");
  port.SetActive(false);
}

}  // namespace
}  // namespace serial::win32
