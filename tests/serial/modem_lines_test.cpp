// The Linux driver's real code against emulated devices: modem-line
// changes at every point of the watcher's cycle, the 8250, CDC-ACM, CP210x
// and FTDI behaviours, lock files, exclusive opening and a hang-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "EmulatedSerialDevice.h"
#include "core/Timing.h"
#include "serial/SerialPort.h"
#include "serial/linux/LinuxPort.h"
#include "serial/linux/PortErrorsLinux.h"
#include "tests/serial/SerialTestSupport.h"

namespace serial {
namespace {

using test::PumpFor;
using test::PumpUntil;
using test::TEmulatedDevice;
using test::TEmulatedSystem;

// A process that lives until it is killed, and one that is gone.
pid_t LiveProcess() {
  const pid_t pid = fork();
  if (pid == 0) {
    pause();
    _exit(0);
  }
  return pid;
}
pid_t DeadProcess() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}
void WriteLock(const std::string& File, pid_t Pid) {
  std::ofstream(File) << std::string(10 - std::to_string(Pid).size(), ' ') << Pid << "\n";
}

class ModemLinesTest : public ::testing::Test {
 protected:
  void Make(TAdapterKind Kind) {
    Dev = &System.AddDevice(Kind);
    // Contacts open: both lines active.
    Dev->SetLine(TIOCM_CTS, true);
    Dev->SetLine(TIOCM_DSR, true);
    Driver = std::make_unique<TLinuxPortDriver>(System.Places(), System);
    Port = std::make_unique<TSerialPort>(nullptr, *Driver, core::SystemClock(), Log.Handler());
    Port->OnCTSEvent = [this](core::TObject*) {
      ++CtsEvents;
      Cts = Port->CTSState();
    };
    Port->OnDSREvent = [this](core::TObject*) {
      ++DsrEvents;
      Dsr = Port->DSRState();
    };
    Port->SetCommPort(Dev->Path());
    Port->SetActive(true);
    ASSERT_TRUE(Port->Active()) << Log.CodeOf(112, "Error reopening Port");
    ASSERT_TRUE(PumpUntil([&] { return Port->ThreadIsRunning() && Port->CTSState(); }));
  }
  // Waits until the watcher blocks in its wait.
  void Settled() {
    ASSERT_TRUE(PumpUntil([&] { return Dev->Waiting() == 1; }));
  }
  void TearDown() override {
    Port.reset();
    Driver.reset();
  }

  TEmulatedSystem System;
  TEmulatedDevice* Dev = nullptr;
  std::unique_ptr<TLinuxPortDriver> Driver;
  test::TReportLog Log;
  std::unique_ptr<TSerialPort> Port;
  int CtsEvents = 0;
  int DsrEvents = 0;
  bool Cts = true;
  bool Dsr = true;
};

// Pumps long enough for a second event to show (the worker polls the
// lines at least every 75 ms), then counts.
#define EXPECT_EVENTS_SETTLE(Events, Count) \
  do {                                      \
    PumpFor(200);                           \
    EXPECT_EQ(Events, Count);               \
  } while (0)

TEST_F(ModemLinesTest, AChangeAtEachPointOfTheWatchersCycleArrivesOnce) {
  Make(akUart);
  Settled();
  // In the wait: the plain case.
  Dev->SetLine(TIOCM_CTS, false);
  ASSERT_TRUE(PumpUntil([&] { return CtsEvents == 1; }));
  EXPECT_FALSE(Cts);
  EXPECT_EVENTS_SETTLE(CtsEvents, 1);

  // Between the watcher's last reading and the kernel's snapshot: the
  // wait never sees it, the next reading of the levels does.
  Settled();
  Dev->SetOnWaitEntry([this] {
    Dev->SetOnWaitEntry(nullptr);
    Dev->SetLine(TIOCM_CTS, true);
  });
  Dev->Toggle(TIOCM_DSR);  // wakes the watcher into a fresh wait
  ASSERT_TRUE(PumpUntil([&] { return CtsEvents == 2 && DsrEvents == 1; }));
  EXPECT_TRUE(Cts);
  EXPECT_EVENTS_SETTLE(CtsEvents, 2);
  EXPECT_EQ(DsrEvents, 1);

  // Between a wake and the next wait.
  Settled();
  Dev->SetOnWaitReturn([this] {
    Dev->SetOnWaitReturn(nullptr);
    Dev->SetLine(TIOCM_CTS, false);
  });
  Dev->Toggle(TIOCM_DSR);
  ASSERT_TRUE(PumpUntil([&] { return CtsEvents == 3 && DsrEvents == 2; }));
  EXPECT_FALSE(Cts);
  EXPECT_EVENTS_SETTLE(CtsEvents, 3);
  EXPECT_EQ(DsrEvents, 2);
  EXPECT_EQ(Port->CTSState(), (Dev->Lines() & TIOCM_CTS) != 0);
  EXPECT_EQ(Port->DSRState(), (Dev->Lines() & TIOCM_DSR) != 0);
}

TEST_F(ModemLinesTest, An8250KeepsReportingAfterASettingsChange) {
  Make(akUart);
  Settled();
  // Writing the settings turns the 8250's modem-status interrupt off; a
  // change then counts nothing and wakes no one.
  Dev->SetOnSetAttr([this] {
    Dev->SetOnSetAttr(nullptr);
    Dev->SetLine(TIOCM_CTS, false);
  });
  Port->SetBaudRate(19200);
  ASSERT_TRUE(PumpUntil([&] { return CtsEvents == 1; }));
  EXPECT_FALSE(Cts);
  // The watcher entered a fresh wait, which turned the interrupt back on.
  ASSERT_TRUE(PumpUntil([&] { return Dev->InterruptOn() && Dev->Waiting() == 1; }));
  for (int i = 0; i < 4; ++i) {
    Dev->Toggle(TIOCM_CTS);
    ASSERT_TRUE(PumpUntil([&] { return CtsEvents == 2 + i; }));
    ASSERT_EQ(Cts, (Dev->Lines() & TIOCM_CTS) != 0);
  }
  EXPECT_EVENTS_SETTLE(CtsEvents, 5);
  EXPECT_EQ(Dev->Counts().cts, 1 + 4);  // raised before opening, then the toggles
}

TEST_F(ModemLinesTest, ACdcAcmAdapterWarnsThatCtsCannotWorkAndStillServesDsr) {
  Make(akCdcAcm);
  const auto* warning =
      Log.Find(202, "this adapter cannot report CTS: the dah contact will not work");
  ASSERT_NE(warning, nullptr);
  EXPECT_EQ(warning->Noise, 1);
  Dev->SetLine(TIOCM_CTS, false);  // the adapter never tells
  Dev->SetLine(TIOCM_DSR, false);
  ASSERT_TRUE(PumpUntil([&] { return DsrEvents == 1; }));
  EXPECT_FALSE(Dsr);
  EXPECT_EVENTS_SETTLE(CtsEvents, 0);
  EXPECT_TRUE(Port->CTSState());
}

TEST_F(ModemLinesTest, ACp210xIsPolledAndOthersWait) {
  Make(akCp210x);
  EXPECT_FALSE(Log.HasPlace(202));
  Dev->SetLine(TIOCM_CTS, false);
  ASSERT_TRUE(PumpUntil([&] { return CtsEvents == 1; }));
  Dev->SetLine(TIOCM_DSR, false);
  ASSERT_TRUE(PumpUntil([&] { return DsrEvents == 1; }));
  EXPECT_EQ(Dev->WaitsEntered(), 0u);
  EXPECT_EVENTS_SETTLE(CtsEvents, 1);
}

TEST_F(ModemLinesTest, AnFtdiAdaptersLowLatencyFlagIsRaisedWhileOpenAndPutBack) {
  TEmulatedDevice& ftdi = System.AddDevice(akFtdi);
  ftdi.SetSerialFlags(0x40);
  TLinuxPortDriver driver(System.Places(), System);
  const THandle port = driver.CreateFile(ftdi.Path());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ftdi.SerialFlags(), 0x40 | ASYNC_LOW_LATENCY);
  ASSERT_TRUE(driver.CloseHandle(port));
  EXPECT_EQ(ftdi.SerialFlags(), 0x40);
}

TEST_F(ModemLinesTest, AHungUpDeviceIsReportedOnceAndNoLongerPolled) {
  Make(akUart);
  Dev->HangUp();
  ASSERT_TRUE(PumpUntil([&] { return Log.HasPlace(9920); }));
  const auto* report = Log.Find(9920, "Port lost: the device hung up or went away");
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->Code, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(report->Noise, 0);
  const uint64_t polls = System.PollCalls();
  PumpFor(300);
  EXPECT_LE(System.PollCalls(), polls + 1);  // no spinning on the dead line
  const size_t reports = Log.Reports.size();
  PumpFor(200);
  EXPECT_EQ(Log.Reports.size(), reports);  // nothing more to say
  Port->SetActive(false);
  EXPECT_FALSE(Log.HasPlace(104));
  EXPECT_FALSE(Log.HasPlace(602));
}

// ------------------------------------------------------------ opening

class DeviceOpenTest : public ::testing::Test {
 protected:
  DeviceOpenTest() : Dev(System.AddDevice(akUart)), Driver(System.Places(), System) {}
  std::string LockFile() const { return LockFilePath(Dev.Path(), System.LockDir()); }

  TEmulatedSystem System;
  TEmulatedDevice& Dev;
  TLinuxPortDriver Driver;
};

TEST_F(DeviceOpenTest, ALiveOwnersLockRefusesTheOpenAndAStaleOneIsCleared) {
  const pid_t owner = LiveProcess();
  WriteLock(LockFile(), owner);
  EXPECT_EQ(Driver.CreateFile(Dev.Path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), ERROR_PORT_LOCKED);
  EXPECT_EQ(DescribePortError(Dev.Path(), ERROR_PORT_LOCKED, System.LockDir()),
            Dev.Path() + ": in use by another program (PID " + std::to_string(owner) + ")");
  kill(owner, SIGKILL);
  waitpid(owner, nullptr, 0);

  // The owner is gone: its lock is stale, cleared and taken.
  const THandle port = Driver.CreateFile(Dev.Path());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  std::ifstream lock(LockFile());
  long pid = 0;
  lock >> pid;
  EXPECT_EQ(pid, getpid());
  ASSERT_TRUE(Driver.CloseHandle(port));
  EXPECT_FALSE(std::ifstream(LockFile()).good());

  WriteLock(LockFile(), DeadProcess());
  const THandle again = Driver.CreateFile(Dev.Path());
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  Driver.CloseHandle(again);
}

TEST_F(DeviceOpenTest, ALineHeldExclusivelyIsRefusedAndExclusivityIsGivenBack) {
  // Another program holds the line exclusively (root passes TIOCEXCL).
  const int other = ::open(Dev.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  EXPECT_EQ(Driver.CreateFile(Dev.Path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), static_cast<uint32_t>(EBUSY));
  ioctl(other, TIOCNXCL);

  const THandle port = Driver.CreateFile(Dev.Path());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  int held = 0;
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &held), 0);
  EXPECT_NE(held, 0);
  ASSERT_TRUE(Driver.CloseHandle(port));
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &held), 0);
  EXPECT_EQ(held, 0);  // not left set on the line
  ::close(other);
}

TEST_F(DeviceOpenTest, TheConsoleIsNeverOpened) {
  System.SetConsole(Dev.Path());
  EXPECT_EQ(Driver.CreateFile(Dev.Path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver.GetLastError(), ERROR_PORT_IS_CONSOLE);
  EXPECT_EQ(Dev.Outputs(), 0);  // not even touched
}

}  // namespace
}  // namespace serial
