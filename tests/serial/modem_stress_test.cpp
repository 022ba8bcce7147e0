// 100 000 random line changes, with random contact bounce, from the
// emulated device through the real driver, the worker and the main-thread
// hand-off: after every burst the handlers have seen the lines as they
// are, and no change is left unreported.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "EmulatedSerialDevice.h"
#include "core/MainThread.h"
#include "core/Timing.h"
#include "serial/SerialPort.h"
#include "serial/linux/LinuxPort.h"
#include "tests/serial/SerialTestSupport.h"

namespace serial {
namespace {

TEST(ModemLinesStress, EveryChangeIsAccountedForAndTheLevelsEndRight) {
  test::TEmulatedSystem system;
  test::TEmulatedDevice& dev = system.AddDevice(akUart);
  TLinuxPortDriver driver(system.Places(), system);
  test::TReportLog log;
  TSerialPort port(nullptr, driver, core::SystemClock(), log.Handler());
  // What the handlers saw, as the keyer would.
  bool cts = false;
  bool dsr = false;
  uint64_t events = 0;
  port.OnCTSEvent = [&](core::TObject*) {
    cts = port.CTSState();
    ++events;
  };
  port.OnDSREvent = [&](core::TObject*) {
    dsr = port.DSRState();
    ++events;
  };
  port.SetCommPort(dev.Path());
  port.SetActive(true);
  ASSERT_TRUE(port.Active());
  ASSERT_TRUE(test::PumpUntil([&] { return dev.Waiting() == 1; }));

  constexpr int kChanges = 100000;
  constexpr int kBurst = 400;
  std::atomic<int> made{0};
  std::atomic<bool> burstDone{false};
  std::atomic<bool> checked{false};
  std::thread paddle([&] {
    std::mt19937 random(12345);
    while (made.load() < kChanges) {
      for (int i = 0; i < kBurst && made.load() < kChanges; ++i) {
        const int line = random() % 2 ? TIOCM_CTS : TIOCM_DSR;
        // A press or release, bouncing a few times on the way.
        const int bounces = static_cast<int>(random() % 4) * 2 + 1;
        for (int b = 0; b < bounces; ++b) {
          dev.Toggle(line);
          if (random() % 8 == 0) std::this_thread::yield();
        }
        made.fetch_add(bounces);
        if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      burstDone.store(true);
      while (!checked.exchange(false))
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });

  int bursts = 0;
  bool converged = true;
  while (converged) {
    if (!test::PumpUntil([&] { return burstDone.load(); }, 30000)) {
      converged = false;
      break;
    }
    burstDone.store(false);
    const int lines = dev.Lines();
    converged = test::PumpUntil(
        [&] { return cts == ((lines & TIOCM_CTS) != 0) && dsr == ((lines & TIOCM_DSR) != 0); });
    ++bursts;
    const bool last = made.load() >= kChanges;
    checked.store(true);
    if (last) break;
  }
  paddle.join();
  ASSERT_TRUE(converged) << "after burst " << bursts;
  EXPECT_GE(bursts, kChanges / (kBurst * 7));
  // Events gather several changes, but never outnumber them.
  EXPECT_GT(events, 0u);
  EXPECT_LE(events, static_cast<uint64_t>(made.load()));
  const serial_icounter_struct counts = dev.Counts();
  EXPECT_EQ(static_cast<int>(counts.cts + counts.dsr), made.load());
  EXPECT_EQ(port.CTSState(), (dev.Lines() & TIOCM_CTS) != 0);
  EXPECT_EQ(port.DSRState(), (dev.Lines() & TIOCM_DSR) != 0);
  EXPECT_TRUE(log.Reports.size() <= 2u);  // the open's progress report only
  port.SetActive(false);
}

}  // namespace
}  // namespace serial
