// Port drivers called directly: the event objects, the simulated driver's
// overlapped behaviour and fault injection, routing, name mapping and the
// device listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "FaultyPort.h"
#include "serial/PortErrors.h"
#include "serial/SerialDevices.h"
#include "serial/SimulatedPort.h"
#include "serial/linux/LinuxPort.h"
#include "serial/linux/PortErrorsLinux.h"

namespace serial {
namespace {

namespace fs = std::filesystem;

TEST(EventTable, WaitsReportTheFirstSignalledEventTimeoutsAndStaleHandles) {
  TSimulatedPortDriver driver;
  const THandle a = driver.CreateEvent();
  const THandle b = driver.CreateEvent();
  ASSERT_NE(a, 0u);
  ASSERT_NE(a, b);
  const THandle both[2] = {a, b};
  EXPECT_EQ(driver.WaitForMultipleObjects(2, both, 5), WAIT_TIMEOUT);
  driver.SetEvent(b);
  EXPECT_EQ(driver.WaitForMultipleObjects(2, both, 5), WAIT_OBJECT_0 + 1);
  driver.SetEvent(a);
  EXPECT_EQ(driver.WaitForMultipleObjects(2, both, 5), WAIT_OBJECT_0);
  driver.ResetEvent(a);
  driver.ResetEvent(b);
  EXPECT_EQ(driver.WaitForSingleObject(a, 0), WAIT_TIMEOUT);

  ASSERT_TRUE(driver.CloseEvent(a));
  EXPECT_FALSE(driver.SetEvent(a));  // never reused
  EXPECT_EQ(driver.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(driver.WaitForMultipleObjects(2, both, 5), WAIT_FAILED);
  EXPECT_FALSE(driver.CloseEvent(a));
  driver.CloseEvent(b);
}

class SimulatedDriverTest : public ::testing::Test {
 protected:
  SimulatedDriverTest() : Sim(Driver.AddPort("COM1")) {
    Wait.hEvent = Driver.CreateEvent();
    Read.hEvent = Driver.CreateEvent();
  }
  ~SimulatedDriverTest() override {
    if (Port != INVALID_HANDLE_VALUE) Driver.CloseHandle(Port);
    Driver.CloseEvent(Wait.hEvent);
    Driver.CloseEvent(Read.hEvent);
  }
  void Open() {
    Port = Driver.CreateFile("\\\\.\\com1");
    ASSERT_NE(Port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Driver.SetCommMask(Port, EV_ALL));
  }
  bool Signalled(TOverlapped& Record) {
    return Driver.WaitForSingleObject(Record.hEvent, 0) == WAIT_OBJECT_0;
  }

  TFaultyPortDriver Driver;
  TSimulatedPort& Sim;
  THandle Port = INVALID_HANDLE_VALUE;
  TOverlapped Wait;
  TOverlapped Read;
  uint32_t Mask = 0;
};

TEST_F(SimulatedDriverTest, OpenIsExclusiveAndFindsNamesWithOrWithoutThePrefix) {
  Open();
  EXPECT_EQ(Driver.CreateFile("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Driver.CreateFile("\\\\.\\COM7"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(Driver.CloseHandle(Port));
  EXPECT_FALSE(Driver.CloseHandle(Port));
  const THandle again = Driver.CreateFile("COM1");
  EXPECT_NE(again, Port);  // a stale handle never reaches the new opening
  Port = again;
}

TEST_F(SimulatedDriverTest, LineChangeCompletesThePendingWaitAndEventsWaitForTheNext) {
  Open();
  ASSERT_FALSE(Driver.WaitCommEvent(Port, &Mask, &Wait));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  uint32_t bytes = 0;
  EXPECT_FALSE(Driver.GetOverlappedResult(Port, &Wait, &bytes, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_INCOMPLETE);

  Sim.SetCTS(false);  // no change, no event
  EXPECT_FALSE(Signalled(Wait));
  Sim.SetCTS(true);
  EXPECT_TRUE(Signalled(Wait));
  EXPECT_EQ(Mask, EV_CTS);
  EXPECT_TRUE(Driver.GetOverlappedResult(Port, &Wait, &bytes, false));

  // Changes while no wait is outstanding are kept and returned at once.
  Sim.SetDSR(true);
  Sim.SetCTS(false);
  Mask = 0;
  ASSERT_TRUE(Driver.WaitCommEvent(Port, &Mask, &Wait));
  EXPECT_EQ(Mask, EV_CTS | EV_DSR);
  uint32_t modem = 0;
  ASSERT_TRUE(Driver.GetCommModemStatus(Port, &modem));
  EXPECT_EQ(modem, MS_DSR_ON);
}

TEST_F(SimulatedDriverTest, ClearingTheMaskEndsTheWaitWithNoEvents) {
  Open();
  ASSERT_FALSE(Driver.WaitCommEvent(Port, &Mask, &Wait));
  Mask = 0xDEAD;
  ASSERT_TRUE(Driver.SetCommMask(Port, 0));
  EXPECT_TRUE(Signalled(Wait));
  EXPECT_EQ(Mask, 0u);
  // With no events enabled a wait stays pending (it ends with the port).
  ASSERT_FALSE(Driver.WaitCommEvent(Port, &Mask, &Wait));
  Sim.SetCTS(true);
  EXPECT_FALSE(Signalled(Wait));
  ASSERT_TRUE(Driver.CloseHandle(Port));
  Port = INVALID_HANDLE_VALUE;
  uint32_t bytes = 0;
  EXPECT_FALSE(Driver.GetOverlappedResult(Port, &Wait, &bytes, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SimulatedDriverTest, ReadsReturnWhatIsWaitingOrPendUntilCompletedOrPurged) {
  Open();
  Sim.Receive("abcdef");
  uint32_t errors = 0;
  TComStat stat;
  ASSERT_TRUE(Driver.ClearCommError(Port, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 6u);
  char buffer[16] = {};
  uint32_t got = 0;
  ASSERT_TRUE(Driver.ReadFile(Port, buffer, 4, &got, &Read));
  EXPECT_EQ(std::string(buffer, got), "abcd");

  Sim.SetReadsPend(true);
  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 16, &got, &Read));
  EXPECT_EQ(Driver.GetLastError(), ERROR_IO_PENDING);
  Sim.Receive("gh");
  ASSERT_TRUE(Sim.CompleteRead());
  ASSERT_TRUE(Driver.GetOverlappedResult(Port, &Read, &got, false));
  EXPECT_EQ(std::string(buffer, got), "efgh");

  ASSERT_FALSE(Driver.ReadFile(Port, buffer, 16, &got, &Read));
  ASSERT_TRUE(Driver.PurgeComm(Port, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_FALSE(Driver.GetOverlappedResult(Port, &Read, &got, false));
  EXPECT_EQ(Driver.GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(Sim.CompleteRead());  // nothing left to complete
}

TEST_F(SimulatedDriverTest, LineErrorsAreReportedOnceAndRaiseTheirEvents) {
  Open();
  ASSERT_FALSE(Driver.WaitCommEvent(Port, &Mask, &Wait));
  Sim.LineError(CE_BREAK | CE_FRAME);
  EXPECT_EQ(Mask, EV_ERR | EV_BREAK);
  uint32_t errors = 0;
  TComStat stat;
  ASSERT_TRUE(Driver.ClearCommError(Port, &errors, &stat));
  EXPECT_EQ(errors, CE_BREAK | CE_FRAME);
  ASSERT_TRUE(Driver.ClearCommError(Port, &errors, &stat));
  EXPECT_EQ(errors, 0u);
}

TEST_F(SimulatedDriverTest, InjectedFailuresHitTheNamedOperationForTheGivenCount) {
  Open();
  Driver.InjectFailure(poGetCommModemStatus, 1234, 2);
  uint32_t modem = 0;
  EXPECT_FALSE(Driver.GetCommModemStatus(Port, &modem));
  EXPECT_EQ(Driver.GetLastError(), 1234u);
  EXPECT_FALSE(Driver.GetCommModemStatus(Port, &modem));
  EXPECT_TRUE(Driver.GetCommModemStatus(Port, &modem));
  EXPECT_EQ(Driver.Calls(poGetCommModemStatus), 3u);

  Driver.InjectFailure(poWaitForMultipleObjects, 77, -1);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Driver.WaitForSingleObject(Wait.hEvent, 0), WAIT_FAILED);
  EXPECT_EQ(Driver.GetLastError(), 77u);
  Driver.ClearFailures();
  EXPECT_EQ(Driver.WaitForSingleObject(Wait.hEvent, 0), WAIT_TIMEOUT);

  Driver.InjectFailure(poCreateEvent, ERROR_ALREADY_EXISTS);
  const THandle existing = Driver.CreateEvent();
  EXPECT_NE(existing, 0u);
  EXPECT_EQ(Driver.GetLastError(), ERROR_ALREADY_EXISTS);
  Driver.CloseEvent(existing);
  Driver.InjectFailure(poCreateEvent, 8);
  EXPECT_EQ(Driver.CreateEvent(), 0u);
}

TEST_F(SimulatedDriverTest, InvalidSettingsAreRefusedWithInvalidParameter) {
  Open();
  TDCB dcb;
  ASSERT_TRUE(Driver.GetCommState(Port, dcb));
  dcb.ByteSize = 9;
  EXPECT_FALSE(Driver.SetCommState(Port, dcb));
  EXPECT_EQ(Driver.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Driver.EscapeCommFunction(Port, 42));
}

TEST(RoutingDriver, RegisteredNamesGoToTheirDriverAndTheRestToTheDefault) {
  TSimulatedPortDriver real;
  TSimulatedPortDriver keyboard;
  real.AddPort("COM1");
  TSimulatedPort& paddle = keyboard.AddPort("Keyboard paddle");
  TRoutingPortDriver router(real);
  router.Route("Keyboard paddle", keyboard);

  const THandle com = router.CreateFile("\\\\.\\COM1");
  const THandle key = router.CreateFile("\\\\.\\Keyboard paddle");
  ASSERT_NE(com, INVALID_HANDLE_VALUE);
  ASSERT_NE(key, INVALID_HANDLE_VALUE);
  EXPECT_EQ(router.CreateFile("\\\\.\\COM5"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(router.GetLastError(), ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(router.EscapeCommFunction(key, SETDTR));
  EXPECT_TRUE(paddle.DTR());
  EXPECT_FALSE(real.Port("COM1")->DTR());
  paddle.SetCTS(true);
  uint32_t modem = 0;
  ASSERT_TRUE(router.GetCommModemStatus(key, &modem));
  EXPECT_EQ(modem, MS_CTS_ON);
  ASSERT_TRUE(router.GetCommModemStatus(com, &modem));
  EXPECT_EQ(modem, 0u);

  ASSERT_TRUE(router.CloseHandle(key));
  EXPECT_FALSE(paddle.IsOpen());
  EXPECT_FALSE(router.GetCommModemStatus(key, &modem));
  EXPECT_EQ(router.GetLastError(), ERROR_INVALID_HANDLE);
  router.CloseHandle(com);
}

TEST(LinuxPortNames, ComNamesMapToTtySAndPathsPassThrough) {
  EXPECT_EQ(TLinuxPortDriver::DevicePath("\\\\.\\COM1"), "/dev/ttyS0");
  EXPECT_EQ(TLinuxPortDriver::DevicePath("COM12"), "/dev/ttyS11");
  EXPECT_EQ(TLinuxPortDriver::DevicePath("\\\\.\\/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TLinuxPortDriver::DevicePath("COM0"), "");
  EXPECT_EQ(TLinuxPortDriver::DevicePath("COMX"), "");
  EXPECT_EQ(TLinuxPortDriver::DevicePath("Keyboard paddle"), "");
}

class TempTree : public ::testing::Test {
 protected:
  TempTree() {
    std::string pattern = (fs::temp_directory_path() / "serial-tree-XXXXXX").string();
    Root = mkdtemp(pattern.data());
  }
  ~TempTree() override { fs::remove_all(Root); }
  void File(const std::string& Path, const std::string& Text = "") {
    fs::create_directories(fs::path(Root + Path).parent_path());
    std::ofstream(Root + Path) << Text;
  }
  std::string Root;
};

TEST_F(TempTree, ConsoleDevicesAreRecognisedFromTheActiveList) {
  File("/sys/class/tty/console/active", "tty0 ttyS1\n");
  File("/dev/ttyS1");
  File("/dev/ttyS2");
  fs::create_symlink(Root + "/dev/ttyS1", Root + "/dev/alias");
  TLinuxPortDriver driver(Root + "/sys");
  EXPECT_TRUE(driver.IsConsole(Root + "/dev/ttyS1"));
  EXPECT_TRUE(driver.IsConsole(Root + "/dev/alias"));  // resolved before comparing
  EXPECT_FALSE(driver.IsConsole(Root + "/dev/ttyS2"));
  EXPECT_TRUE(driver.IsConsole("/dev/console"));
  EXPECT_EQ(driver.CreateFile(Root + "/dev/ttyS1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver.GetLastError(), ERROR_PORT_IS_CONSOLE);
}

TEST_F(TempTree, DeviceListHasLinksThenUnlinkedUsbThenRealUarts) {
  File("/dev/ttyUSB0");
  File("/dev/ttyUSB10");
  File("/dev/ttyUSB2");
  File("/dev/ttyACM0");
  File("/dev/ttyS0");
  File("/dev/ttyS1");
  File("/dev/ttyS10");
  File("/dev/tty1");
  File("/sys/class/tty/ttyS0/type", "4\n");
  File("/sys/class/tty/ttyS1/type", "0\n");  // no UART behind it
  File("/sys/class/tty/ttyS10/type", "4\n");
  File("/sys/class/tty/ttyS4/type", "4\n");
  File("/dev/ttyS4");
  File("/sys/class/tty/console/active", "tty0 ttyS4\n");  // never offered
  fs::create_directories(Root + "/dev/serial/by-id");
  fs::create_symlink("../../ttyUSB0", Root + "/dev/serial/by-id/usb-Maker_Cable_1-if00");

  const auto devices = ListSerialDevices(Root + "/dev", Root + "/sys");
  const std::vector<std::string> expected = {
      Root + "/dev/serial/by-id/usb-Maker_Cable_1-if00",
      Root + "/dev/ttyUSB2",
      Root + "/dev/ttyUSB10",
      Root + "/dev/ttyACM0",
      Root + "/dev/ttyS0",
      Root + "/dev/ttyS10",
  };
  EXPECT_EQ(devices, expected);
  EXPECT_TRUE(ListSerialDevices(Root + "/nothing", Root + "/nothing").empty());
}

TEST(LinuxPortDriver, TheBackEndMakesDriversOfItsOwn) {
  auto driver = CreateDevicePortDriver();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->CreateFile("\\\\.\\/nonexistent-device"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver->GetLastError(), static_cast<uint32_t>(ENOENT));
}

TEST_F(TempTree, PortErrorsReadAsWordsTheOperatorCanActOn) {
  EXPECT_EQ(DescribePortError("COM3", ENOENT), "COM3: cannot open: no such device");
  EXPECT_EQ(DescribePortError("\\\\.\\COM3", ENXIO), "COM3: cannot open: no such device");
  EXPECT_EQ(DescribePortError("COM1", ERROR_PORT_IS_CONSOLE),
            "COM1 is the system console and is never opened");
  EXPECT_EQ(DescribePortError("/dev/ttyUSB7", EACCES),
            "/dev/ttyUSB7: permission denied: add your user to the dialout group");
  EXPECT_EQ(DescribePortError("/dev/ttyUSB0", EBUSY), "/dev/ttyUSB0: in use by another program");
  EXPECT_EQ(DescribePortError("/dev/ttyACM0", ERROR_DEVICE_NOT_CONNECTED),
            "/dev/ttyACM0: the device hung up or went away");
  // A lock whose owner is gone names no one.
  File("/lock/LCK..ttyS2", "    999999\n");
  EXPECT_EQ(DescribePortError("COM3", ERROR_PORT_LOCKED, Root + "/lock"),
            "COM3: in use by another program");
  // Any other code still says what happened, with its number.
  EXPECT_EQ(DescribePortError("COM2", EROFS).rfind("COM2: ", 0), 0u);
  EXPECT_NE(DescribePortError("COM2", EROFS).find(std::to_string(EROFS)), std::string::npos);
}

}  // namespace
}  // namespace serial
