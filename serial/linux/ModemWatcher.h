#pragma once
// The modem-line watcher of one open device: a thread that waits for line
// changes (TIOCMIWAIT) or, where the device has no such wait, polls the
// levels every millisecond, and raises EV_CTS, EV_DSR, EV_RLSD and EV_RING.
//
// The kernel's wait compares against the change counters as they are when
// it is entered, so a change between one wake and the next entry completes
// no wait. The watcher therefore keeps the counters and levels it last
// reported and compares each new reading with them: before every wait
// (which covers whatever came since the last wake) and at every level read
// the driver makes for GetCommModemStatus. Counters catch a press and
// release that leave the level as it was; levels catch a change the
// counters missed (an 8250 stops counting while its modem-status
// interrupt is off). A change is reported once.
#include <linux/serial.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "serial/linux/DeviceOpen.h"
#include "serial/linux/LinuxSystem.h"

namespace serial {

class TModemWatcher {
 public:
  // Raise receives the events of each change; Lost runs once when the
  // device hangs up. Both run on the watcher's thread or on the thread
  // that reads the lines.
  TModemWatcher(TLinuxSystem& System, int Fd, TAdapterKind Kind,
                std::function<void(uint32_t Events)> Raise, std::function<void()> Lost);
  ~TModemWatcher();

  void Start();
  void Stop();
  // Makes the watcher leave its wait and enter a fresh one (after a
  // settings change: an 8250 turns its modem-status interrupt back on only
  // when a wait is entered).
  void Rearm();

  // Reads the lines (TIOCM_ bits) and raises the events of any change not
  // yet reported. Answers -1 with errno set when the device cannot tell.
  int ReadLines(int& Lines);

  // CDC-ACM devices report CTS as always on and never count its changes.
  bool CanReportCts() const { return FKind != akCdcAcm; }
  // Whether the levels are polled instead of waited for.
  bool Polling() const { return FPolling.load(); }

 private:
  struct TReading {
    int Lines = 0;
    serial_icounter_struct Counts{};
    bool HaveCounts = false;
  };
  // A consistent reading: the counters before and after the level read agree.
  int Take(TReading& Reading);
  // With FLock held: the events of what changed since the last report.
  uint32_t Compare(const TReading& Reading);
  int Observe(int* Lines);
  void Loop();
  // Waits up to Milliseconds or until stopped.
  void Pause(int Milliseconds);

  TLinuxSystem& FSystem;
  const int FFd;
  const TAdapterKind FKind;
  std::function<void(uint32_t)> FRaise;
  std::function<void()> FLost;

  std::mutex FLock;  // orders the readings and guards what was reported
  TReading FReported;
  bool FHaveReported = false;

  std::mutex FStateLock;
  std::condition_variable FStateChanged;
  bool FExited = false;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FPolling{false};
  std::thread FThread;
  pthread_t FThreadId{};
};

}  // namespace serial
