#pragma once
// A private JACK server for tests that stop, kill or reconfigure it, and
// what those tests read: the process's CPU time and the drivers' status
// records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/StatusChannel.h"
#include "drivers_stand_in.h"

namespace rigtest {

// Runs `jackd -n <name> -d dummy` for one test; it can be stopped (with
// any signal) and started again under the same name.
class TPrivateServer {
 public:
  explicit TPrivateServer(int Period) : FPeriod(Period) {
    // A killed server's entry stays in JACK's registry of servers, which
    // holds only a few; a server started under the same name takes the
    // entry over. So the tests share a small pool of names, each held by a
    // lock for the test's life, rather than one new name per process.
    for (int slot = 0; FSlotLock < 0; slot = (slot + 1) % kSlots) {
      const std::string lock =
          (std::filesystem::temp_directory_path() / ("rig-drivers-jack-" + std::to_string(slot)))
              .string();
      const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        FSlotLock = fd;
        Name = "rig-drivers-" + std::to_string(slot);
      } else {
        if (fd >= 0) ::close(fd);
        if (slot == kSlots - 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    Start();
  }
  ~TPrivateServer() {
    Stop();
    ::close(FSlotLock);
  }
  bool Start() {
    std::string period = std::to_string(FPeriod);
    FPid = ::fork();
    if (FPid == 0) {
      ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execlp("jackd", "jackd", "-n", Name.c_str(), "-d", "dummy", "-r", "48000", "-p",
               period.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    Up = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FPid > 0 && std::chrono::steady_clock::now() < until) {
      jack_status_t st{};
      jack_client_t* c =
          jack_client_open("probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                           &st, Name.c_str());
      if (c) {
        jack_client_close(c);
        Up = true;
        break;
      }
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Up;
  }
  void Stop(int Signal = SIGTERM) {
    if (FPid <= 0) return;
    ::kill(FPid, Signal);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
    Up = false;
  }
  std::string Name;
  static constexpr int kSlots = 3;
  int FSlotLock = -1;
  bool Up = false;

 private:
  int FPeriod;
  pid_t FPid = -1;
};

inline double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// The driver's status records since the last call, as "severity:text".
inline std::vector<std::string> DriverStatus() {
  std::vector<std::string> out;
  core::TStatusRecord r;
  while (core::StatusChannel().Read(r))
    if (r.Source == core::ssDriver)
      out.push_back(std::to_string(static_cast<int>(r.Severity)) + ":" + std::string(r.TextView()));
  return out;
}

inline bool AnyWith(const std::vector<std::string>& Records, int Severity,
                    const std::string& Part) {
  for (const std::string& r : Records)
    if (r.rfind(std::to_string(Severity) + ":", 0) == 0 && r.find(Part) != std::string::npos)
      return true;
  return false;
}

#define RIG_NEED_PRIVATE_SERVER(server)                                      \
  do {                                                                       \
    if (!(server).Up) {                                                      \
      if (rigtest::JackRequired()) FAIL() << "cannot start a private jackd"; \
      GTEST_SKIP() << "cannot start jackd";                                  \
    }                                                                        \
  } while (0)

}  // namespace rigtest
