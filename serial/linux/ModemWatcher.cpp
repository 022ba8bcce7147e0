#include "serial/linux/ModemWatcher.h"

#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>

#include "core/Trace.h"
#include "serial/PortDriver.h"
#include "serial/ThreadPriority.h"

namespace serial {
namespace {

constexpr int kLines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
// The kernel's answer for an operation the device's driver lacks.
constexpr int kNoIoctlCommand = 515;

// The signal that knocks the watcher out of TIOCMIWAIT.
int WakeSignal() {
  return SIGRTMIN + 3;
}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked ioctl must return EINTR
    sigaction(WakeSignal(), &action, nullptr);
  });
}

bool Unsupported(int Error) {
  return Error == ENOTTY || Error == EINVAL || Error == kNoIoctlCommand;
}

bool Gone(int Error) {
  return Error == EIO || Error == ENODEV || Error == ENXIO;
}

bool SameCounts(const serial_icounter_struct& A, const serial_icounter_struct& B) {
  return A.cts == B.cts && A.dsr == B.dsr && A.rng == B.rng && A.dcd == B.dcd;
}

}  // namespace

TModemWatcher::TModemWatcher(TLinuxSystem& System, int Fd, TAdapterKind Kind,
                             std::function<void(uint32_t)> Raise, std::function<void()> Lost)
    : FSystem(System), FFd(Fd), FKind(Kind), FRaise(std::move(Raise)), FLost(std::move(Lost)) {
  InstallWakeHandler();
}

TModemWatcher::~TModemWatcher() {
  Stop();
}

void TModemWatcher::Start() {
  if (FThread.joinable()) return;
  FThread = std::thread([this] { Loop(); });
  FThreadId = FThread.native_handle();
}

void TModemWatcher::Stop() {
  if (!FThread.joinable()) return;
  FStop.store(true);
  std::unique_lock<std::mutex> lock(FStateLock);
  FStateChanged.notify_all();
  // A signal sent just before the watcher enters its wait is lost, so it is
  // sent again until the watcher says it has left.
  while (!FExited) {
    FSystem.SignalThread(FThreadId, WakeSignal());
    FStateChanged.wait_for(lock, std::chrono::milliseconds(1), [this] { return FExited; });
  }
  lock.unlock();
  FThread.join();
}

void TModemWatcher::Rearm() {
  std::lock_guard<std::mutex> guard(FStateLock);
  if (FThread.joinable() && !FExited && !FPolling.load())
    FSystem.SignalThread(FThreadId, WakeSignal());
}

int TModemWatcher::Take(TReading& Reading) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    serial_icounter_struct before{};
    Reading.HaveCounts = FSystem.Ioctl(FFd, TIOCGICOUNT, &before) == 0;
    if (FSystem.Ioctl(FFd, TIOCMGET, &Reading.Lines) != 0) return -1;
    if (!Reading.HaveCounts) return 0;
    if (FSystem.Ioctl(FFd, TIOCGICOUNT, &Reading.Counts) != 0) {
      Reading.HaveCounts = false;
      return 0;
    }
    if (SameCounts(before, Reading.Counts)) return 0;
  }
  // Changing faster than it can be read: the last reading stands, and the
  // next one reports what follows.
  return 0;
}

uint32_t TModemWatcher::Compare(const TReading& Now) {
  if (!FHaveReported) {
    FReported = Now;
    FHaveReported = true;
    return 0;
  }
  const TReading& was = FReported;
  uint32_t events = 0;
  if (Now.HaveCounts && was.HaveCounts) {
    if (Now.Counts.cts != was.Counts.cts) events |= EV_CTS;
    if (Now.Counts.dsr != was.Counts.dsr) events |= EV_DSR;
    if (Now.Counts.dcd != was.Counts.dcd) events |= EV_RLSD;
    if (Now.Counts.rng != was.Counts.rng) events |= EV_RING;
  }
  const int changed = Now.Lines ^ was.Lines;
  if (changed & TIOCM_CTS) events |= EV_CTS;
  if (changed & TIOCM_DSR) events |= EV_DSR;
  if (changed & TIOCM_CD) events |= EV_RLSD;
  // The ring event marks a ring arriving.
  if ((changed & TIOCM_RNG) && (Now.Lines & TIOCM_RNG)) events |= EV_RING;
  // The paddle's lines as the driver saw them, for the timing trace.
  if (events & EV_CTS) core::TracePost(core::tsPort, core::teLine, 0, (Now.Lines & TIOCM_CTS) != 0);
  if (events & EV_DSR) core::TracePost(core::tsPort, core::teLine, 1, (Now.Lines & TIOCM_DSR) != 0);
  FReported = Now;
  return events;
}

int TModemWatcher::Observe(int* Lines) {
  std::lock_guard<std::mutex> guard(FLock);
  TReading reading;
  if (Take(reading) != 0) return -1;
  if (Lines) *Lines = reading.Lines;
  const uint32_t events = Compare(reading);
  if (events) FRaise(events);
  return 0;
}

int TModemWatcher::ReadLines(int& Lines) {
  return Observe(&Lines);
}

void TModemWatcher::Pause(int Milliseconds) {
  std::unique_lock<std::mutex> lock(FStateLock);
  FStateChanged.wait_for(lock, std::chrono::milliseconds(Milliseconds),
                         [this] { return FStop.load(); });
}

void TModemWatcher::Loop() {
  RaiseThreadPriority();
  // Each CP210x poll is a USB control transfer; it has no wait to offer.
  bool polling = FKind == akCp210x;
  bool lost = false;
  while (!polling && !FStop.load()) {
    if (Observe(nullptr) != 0) {
      const int error = errno;
      if (Gone(error)) lost = true;
      // A device without modem lines (a pty) has nothing to watch.
      break;
    }
    if (FStop.load()) break;
    if (FSystem.Ioctl(FFd, TIOCMIWAIT, reinterpret_cast<void*>(static_cast<uintptr_t>(kLines))) ==
        0)
      continue;
    const int error = errno;
    if (error == EINTR) continue;
    if (Unsupported(error)) {
      polling = true;
    } else if (Gone(error)) {
      lost = true;
      break;
    } else {
      Pause(10);
    }
  }
  if (polling) {
    FPolling.store(true);
    while (!FStop.load()) {
      if (Observe(nullptr) != 0) {
        lost = Gone(errno);
        break;
      }
      Pause(1);
    }
  }
  if (lost && FLost) FLost();
  std::lock_guard<std::mutex> guard(FStateLock);
  FExited = true;
  FStateChanged.notify_all();
}

}  // namespace serial
