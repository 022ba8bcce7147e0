#pragma once
// An emulated serial device for the Linux port driver: a pty carries the
// data, and the modem lines are emulated beside it, answering TIOCMGET,
// TIOCMIWAIT and TIOCGICOUNT as the kernel does (a wait compares against
// the counters as they were when it was entered; a change before that
// completes nothing). A device can behave as an 8250/16550 UART (writing
// the settings with CLOCAL and without CRTSCTS turns its modem-status
// interrupt off until a wait is entered: changes then count nothing and
// wake no one), as a CDC-ACM adapter (CTS always reported on, never
// counted) or as a CP210x (no TIOCMIWAIT, no counters). Hooks let a test
// change a line at exact points of the driver's cycle.
#include <linux/serial.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "serial/linux/DeviceOpen.h"
#include "serial/linux/LinuxSystem.h"

namespace serial::test {

class TEmulatedSystem;

class TEmulatedDevice {
 public:
  // The path the driver opens (the pty's slave side).
  const std::string& Path() const { return FPath; }
  // The far end of the data line.
  int Master() const { return FMaster; }
  TAdapterKind Kind() const { return FKind; }

  // The far end drives an input line (TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG).
  void SetLine(int Bit, bool Active);
  void Toggle(int Bit);
  // The input lines as they really are (CDC-ACM: as the device would
  // report them if it could).
  int Lines() const;
  serial_icounter_struct Counts() const;
  // The outputs the driver set (TIOCM_DTR, TIOCM_RTS).
  int Outputs() const;
  // The flags last written with TIOCSSERIAL.
  int SerialFlags() const;
  void SetSerialFlags(int Flags);
  // 8250: whether its modem-status interrupt is on.
  bool InterruptOn() const;
  // Waits entered so far, and waits blocked right now.
  uint64_t WaitsEntered() const;
  int Waiting() const;

  // Run on the driver's thread: inside TIOCMIWAIT before it takes its
  // snapshot; after TIOCMIWAIT returns, before the driver sees it; inside
  // tcsetattr, after an 8250 has turned its interrupt off.
  void SetOnWaitEntry(std::function<void()> Hook);
  void SetOnWaitReturn(std::function<void()> Hook);
  void SetOnSetAttr(std::function<void()> Hook);

  // The far end goes away: the pty hangs up, the modem calls fail with EIO.
  void HangUp();

 private:
  friend class TEmulatedSystem;
  TEmulatedDevice(TAdapterKind Kind, std::string Path, int Master)
      : FKind(Kind), FPath(std::move(Path)), FMaster(Master) {}
  std::function<void()> Hook(const std::function<void()>& Which) const;

  const TAdapterKind FKind;
  const std::string FPath;
  int FMaster;

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  int FLines = 0;
  int FOutputs = 0;
  int FSerialFlags = 0;
  serial_icounter_struct FCounts{};
  bool FInterruptOn = true;
  bool FHungUp = false;
  uint64_t FWaitsEntered = 0;
  std::set<pthread_t> FWaiters;
  std::set<pthread_t> FInterrupted;
  std::function<void()> FOnWaitEntry;
  std::function<void()> FOnWaitReturn;
  std::function<void()> FOnSetAttr;
};

class TEmulatedSystem : public TLinuxSystem {
 public:
  // Lays out a sysfs tree and a lock directory of its own under the
  // system's temporary directory.
  TEmulatedSystem();
  ~TEmulatedSystem() override;

  TEmulatedDevice& AddDevice(TAdapterKind Kind);
  // Where the driver is to look (the tree and lock directory above).
  TDevicePlaces Places() const { return {FRoot + "/sys", FRoot + "/lock"}; }
  const std::string& LockDir() const { return FLockDir; }
  // Lists a device as an active system console.
  void SetConsole(const std::string& Path);
  uint64_t PollCalls() const { return FPolls.load(); }
  uint64_t ReadCalls() const { return FReads.load(); }

  int Open(const std::string& Path, int Flags) override;
  int Close(int Fd) override;
  ssize_t Read(int Fd, void* Buffer, size_t Count) override;
  int Poll(pollfd* Fds, nfds_t Count, int Timeout) override;
  int Ioctl(int Fd, unsigned long Request, void* Arg) override;
  int TcSetAttr(int Fd, const termios& Settings) override;
  int SignalThread(pthread_t Thread, int Signal) override;

 private:
  TEmulatedDevice* Device(int Fd);
  int ModemWait(TEmulatedDevice& Device, int Mask);

  std::string FRoot;
  std::string FLockDir;
  std::mutex FLock;
  std::map<std::string, std::unique_ptr<TEmulatedDevice>> FDevices;  // by path
  std::map<int, TEmulatedDevice*> FOpen;                             // by descriptor
  std::atomic<uint64_t> FPolls{0};
  std::atomic<uint64_t> FReads{0};
};

}  // namespace serial::test
