#include "serial/linux/LinuxPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "serial/linux/ModemWatcher.h"
#include "serial/linux/TermiosSettings.h"

namespace serial {
namespace {

using TSteady = std::chrono::steady_clock;

// Bytes the driver keeps for the application beyond the kernel's queue.
constexpr size_t kInputLimit = 1 << 16;
// The longest read time-out: about 49 days, so that no sum overflows.
constexpr uint64_t kLongestTimeout = 0xFFFFFFFE;

bool FailErrno() {
  SetLastError(static_cast<uint32_t>(errno));
  return false;
}

uint32_t ErrorsFromCounts(const serial_icounter_struct& Now, const serial_icounter_struct& Was) {
  uint32_t errors = 0;
  if (Now.buf_overrun != Was.buf_overrun) errors |= CE_RXOVER;
  if (Now.overrun != Was.overrun) errors |= CE_OVERRUN;
  if (Now.parity != Was.parity) errors |= CE_RXPARITY;
  if (Now.frame != Was.frame) errors |= CE_FRAME;
  if (Now.brk != Was.brk) errors |= CE_BREAK;
  return errors;
}

// The total read time-out in milliseconds, saturated.
uint64_t ReadTimeout(const TCommTimeouts& Timeouts, uint32_t Count) {
  const uint64_t total =
      uint64_t{Timeouts.ReadTotalTimeoutMultiplier} * Count + Timeouts.ReadTotalTimeoutConstant;
  return std::min(total, kLongestTimeout);
}

}  // namespace

// One open device and its two helper threads.
class TLinuxPort {
 public:
  TLinuxPort(TLinuxSystem& System, const TOpenedDevice& Device, int WakeFd)
      : FSystem(System),
        FDevice(Device),
        FWakeFd(WakeFd),
        FWatcher(
            System, Device.Fd, Device.Kind,
            [this](uint32_t Events) {
              std::lock_guard<std::mutex> guard(FLock);
              FOps.Raise(Events);
            },
            [this] {
              std::lock_guard<std::mutex> guard(FLock);
              LoseLocked();
            }) {
    serial_icounter_struct counts{};
    FHaveCounts = FSystem.Ioctl(Fd(), TIOCGICOUNT, &counts) == 0;
    FErrorCounts = FDataCounts = counts;
    FDataThread = std::thread([this] { DataLoop(); });
    FWatcher.Start();
  }

  ~TLinuxPort() { Shutdown(); }

  int Fd() const { return FDevice.Fd; }
  std::mutex& Lock() { return FLock; }
  TLinuxSystem& System() { return FSystem; }
  TModemWatcher& Watcher() { return FWatcher; }

  // Ends both threads, cancels what is pending, gives the device back.
  void Shutdown() {
    if (FDevice.Fd < 0) return;
    FStop.store(true);
    Wake();
    FWatcher.Stop();
    FDataThread.join();
    {
      std::lock_guard<std::mutex> guard(FLock);
      FOps.AbortAll();
    }
    ::close(FWakeFd);
    CloseDevice(FSystem, FDevice);
  }

  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(FWakeFd, &one, sizeof one);
  }

  // --- called with FLock held ---

  // The device hung up or went away: nothing more comes from it, so what
  // is pending ends now (a read with the bytes it has).
  void LoseLocked() {
    if (FLost) return;
    FLost = true;
    FOps.EndRead(FOps.ReadDone > 0 ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED);
    FOps.EndWrite(ERROR_DEVICE_NOT_CONNECTED);
    FOps.EndWait(ERROR_DEVICE_NOT_CONNECTED);
    Wake();
  }

  // Moves waiting bytes into a pending read; completes it when full.
  void ServeReadLocked(bool Expired) {
    if (!FOps.ReadOverlapped) return;
    const size_t take = std::min<size_t>(FOps.ReadCount - FOps.ReadDone, FInput.size());
    std::memcpy(FOps.ReadBuffer + FOps.ReadDone, FInput.data(), take);
    FInput.erase(0, take);
    FOps.ReadDone += static_cast<uint32_t>(take);
    if (FOps.ReadDone == FOps.ReadCount || Expired) FOps.EndRead(ERROR_SUCCESS);
  }

  // Reads what the kernel holds into the driver's queue; returns the events.
  // A failed read is a lost device. (With the raw settings a read answers
  // 0 whenever nothing waits, so end of file shows only as a hang-up.)
  uint32_t DrainLocked() {
    uint32_t events = 0;
    char chunk[4096];
    while (!FLost && FInput.size() < kInputLimit) {
      const size_t room = std::min(sizeof chunk, kInputLimit - FInput.size());
      const ssize_t n = FSystem.Read(Fd(), chunk, room);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        LoseLocked();
        break;
      }
      if (n <= 0) break;
      std::string bytes(chunk, static_cast<size_t>(n));
      if (FDCB.Flags & DCB_fNull)
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());
      if (bytes.empty()) continue;
      events |= EV_RXCHAR;
      if (bytes.find(FDCB.EvtChar) != std::string::npos) events |= EV_RXFLAG;
      FInput += bytes;
    }
    if (FHaveCounts && !FLost) {
      serial_icounter_struct counts{};
      if (FSystem.Ioctl(Fd(), TIOCGICOUNT, &counts) == 0) {
        const uint32_t errors = ErrorsFromCounts(counts, FDataCounts);
        FDataCounts = counts;
        if (errors) events |= EV_ERR;
        if (errors & CE_BREAK) events |= EV_BREAK;
      }
    }
    return events;
  }

  // Answers whether the pending write has ended.
  bool WriteSomeLocked() {
    while (FOps.WriteDone < FOps.WriteData.size()) {
      const ssize_t n = FSystem.Write(Fd(), FOps.WriteData.data() + FOps.WriteDone,
                                      FOps.WriteData.size() - FOps.WriteDone);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return false;
        FOps.EndWrite(static_cast<uint32_t>(errno));
        return true;
      }
      FOps.WriteDone += static_cast<uint32_t>(n);
    }
    FOps.EndWrite(ERROR_SUCCESS);
    FOps.Raise(EV_TXEMPTY);
    return true;
  }

  // State, guarded by FLock.
  TPendingOps FOps;
  TDCB FDCB;
  TCommTimeouts FTimeouts;
  bool FReadHasDeadline = false;
  TSteady::time_point FReadDeadline;
  std::string FInput;
  bool FHaveCounts = false;
  serial_icounter_struct FErrorCounts{};
  bool FLost = false;

 private:
  void DataLoop() {
    bool hungUp = false;
    while (!FStop.load()) {
      pollfd fds[2] = {{Fd(), 0, 0}, {FWakeFd, POLLIN, 0}};
      int timeout = -1;
      bool lost = false;
      {
        std::lock_guard<std::mutex> guard(FLock);
        lost = FLost;
        if (FInput.size() < kInputLimit) fds[0].events |= POLLIN;
        if (FOps.WriteOverlapped) fds[0].events |= POLLOUT;
        if (FOps.ReadOverlapped && FReadHasDeadline) {
          const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(FReadDeadline - TSteady::now())
                  .count();
          timeout = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
        }
      }
      // A lost device is not polled again: only the wake (closing) counts.
      if (lost) {
        fds[0].fd = -1;
        timeout = -1;
      } else if (hungUp) {
        // A line that only reports an error now may still recover (a
        // break); look again a little later instead of spinning.
        fds[0].events = 0;
        timeout = timeout < 0 ? 10 : std::min(timeout, 10);
      }
      const int ready = FSystem.Poll(fds, 2, timeout);
      if (FStop.load()) break;
      if (ready < 0 && errno != EINTR) break;
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(FWakeFd, &count, sizeof count);
      }
      std::lock_guard<std::mutex> guard(FLock);
      if (FLost) continue;
      hungUp = false;
      uint32_t events = 0;
      const short got = fds[0].revents;
      // A hang-up reports input too, and the read then answers end of file.
      if (got & (POLLIN | POLLHUP)) events |= DrainLocked();
      if ((got & POLLHUP) && !FLost) LoseLocked();
      if (FLost) continue;
      if ((got & (POLLERR | POLLNVAL)) && !(got & POLLIN)) hungUp = true;
      if (FOps.WriteOverlapped && (got & POLLOUT)) WriteSomeLocked();
      const bool expired =
          FOps.ReadOverlapped && FReadHasDeadline && TSteady::now() >= FReadDeadline;
      ServeReadLocked(expired);
      FOps.Raise(events);
    }
  }

  TLinuxSystem& FSystem;
  TOpenedDevice FDevice;
  int FWakeFd;
  std::mutex FLock;
  std::atomic<bool> FStop{false};
  serial_icounter_struct FDataCounts{};
  std::thread FDataThread;
  TModemWatcher FWatcher;
};

// ---------------------------------------------------------------- TLinuxPortDriver

TLinuxPortDriver::TLinuxPortDriver(std::string SysRoot)
    : TLinuxPortDriver(TDevicePlaces{std::move(SysRoot)}) {}

TLinuxPortDriver::TLinuxPortDriver(const TDevicePlaces& Places, TLinuxSystem& System)
    : FPlaces(Places), FSystem(System) {}

TLinuxPortDriver::~TLinuxPortDriver() {
  std::map<THandle, std::shared_ptr<TLinuxPort>> ports;
  {
    std::lock_guard<std::mutex> guard(FLock);
    ports.swap(FPorts);
  }
  for (auto& entry : ports)
    entry.second->Shutdown();
}

std::shared_ptr<TLinuxPort> TLinuxPortDriver::Find(THandle Port) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FPorts.find(Port);
  if (it == FPorts.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

// Finds the port, and refuses a lost one.
#define RIG_LINUX_PORT(Port)                                  \
  auto port = Find(Port);                                     \
  if (!port) return false;                                    \
  {                                                           \
    std::lock_guard<std::mutex> lostGuard(port->Lock());      \
    if (port->FLost) return Fail(ERROR_DEVICE_NOT_CONNECTED); \
  }                                                           \
  static_assert(true, "")

THandle TLinuxPortDriver::CreateFile(const std::string& Name) {
  TOpenedDevice device;
  uint32_t error = 0;
  if (!OpenDevice(FSystem, DevicePath(Name), FPlaces, device, error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    const uint32_t code = static_cast<uint32_t>(errno);
    CloseDevice(FSystem, device);
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<TLinuxPort>(FSystem, device, wake);
  std::lock_guard<std::mutex> guard(FLock);
  const THandle handle = FNextHandle++;
  FPorts[handle] = std::move(port);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

bool TLinuxPortDriver::CloseHandle(THandle Port) {
  std::shared_ptr<TLinuxPort> port;
  {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FPorts.find(Port);
    if (it == FPorts.end()) return Fail(ERROR_INVALID_HANDLE);
    port = it->second;
    FPorts.erase(it);
  }
  port->Shutdown();
  return true;
}

bool TLinuxPortDriver::SetupComm(THandle Port, uint32_t, uint32_t) {
  // The kernel sizes its own queues; the sizes are accepted as they are.
  RIG_LINUX_PORT(Port);
  return true;
}

bool TLinuxPortDriver::GetCommState(THandle Port, TDCB& DCB) {
  RIG_LINUX_PORT(Port);
  termios tio{};
  if (FSystem.TcGetAttr(port->Fd(), tio) != 0) return FailErrno();
  uint32_t rate = 0;
  if (FSystem.GetRate(port->Fd(), rate) != 0 || rate == 0) rate = TableRate(cfgetospeed(&tio));
  std::lock_guard<std::mutex> guard(port->Lock());
  DCB = port->FDCB;
  if (rate != 0) DCB.BaudRate = rate;
  TermiosToDcb(tio, DCB);
  return true;
}

bool TLinuxPortDriver::SetCommState(THandle Port, const TDCB& DCB) {
  RIG_LINUX_PORT(Port);
  termios tio{};
  if (FSystem.TcGetAttr(port->Fd(), tio) != 0) return FailErrno();
  if (!DcbToTermios(DCB, tio)) return Fail(ERROR_INVALID_PARAMETER);
  const bool applied = FSystem.TcSetAttr(port->Fd(), tio) == 0;
  const int error = errno;
  // An 8250 turns its modem-status interrupt off whenever the settings are
  // written (CLOCAL without CRTSCTS) and on again only when a wait is
  // entered: the watcher must enter a fresh one.
  port->Watcher().Rearm();
  if (!applied) {
    errno = error;
    return FailErrno();
  }
  if (TableSpeed(DCB.BaudRate) == B0 && FSystem.SetRate(port->Fd(), DCB.BaudRate) != 0)
    return errno == EINVAL ? Fail(ERROR_INVALID_PARAMETER) : FailErrno();
  std::lock_guard<std::mutex> guard(port->Lock());
  port->FDCB = DCB;
  return true;
}

bool TLinuxPortDriver::GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) {
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  Timeouts = port->FTimeouts;
  return true;
}

bool TLinuxPortDriver::SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) {
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  port->FTimeouts = Timeouts;
  return true;
}

bool TLinuxPortDriver::SetCommMask(THandle Port, uint32_t Mask) {
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  port->FOps.SetMask(Mask);
  return true;
}

bool TLinuxPortDriver::WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) {
  if (Mask == nullptr || Overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  if (port->FLost) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  return port->FOps.StartWait(Mask, Overlapped);
}

bool TLinuxPortDriver::ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                                TOverlapped* Overlapped) {
  if (Overlapped == nullptr || (Buffer == nullptr && Count > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  if (port->FOps.ReadOverlapped) return Fail(EBUSY);
  if (Read) *Read = 0;
  const uint32_t events = port->FLost ? 0 : port->DrainLocked();
  if (port->FLost && port->FInput.empty()) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  auto* bytes = static_cast<uint8_t*>(Buffer);
  const uint32_t got = std::min<uint32_t>(Count, static_cast<uint32_t>(port->FInput.size()));
  if (got > 0) std::memcpy(bytes, port->FInput.data(), got);
  port->FInput.erase(0, got);
  port->FOps.Raise(events);
  const TCommTimeouts& t = port->FTimeouts;
  const bool returnAtOnce = t.ReadIntervalTimeout == 0xFFFFFFFF &&
                            t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  if (returnAtOnce || got == Count || port->FLost) {
    if (Read) *Read = got;
    CompleteOverlapped(Overlapped, ERROR_SUCCESS, got);
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  // Waits for the rest, or until the total time-out if one is set.
  port->FOps.BeginRead(bytes, Count, got, Overlapped);
  const uint64_t total = ReadTimeout(t, Count);
  port->FReadHasDeadline = total > 0;
  port->FReadDeadline = TSteady::now() + std::chrono::milliseconds(total);
  port->Wake();
  return Fail(ERROR_IO_PENDING);
}

bool TLinuxPortDriver::WriteFile(THandle Port, const void* Buffer, uint32_t Count,
                                 uint32_t* Written, TOverlapped* Overlapped) {
  if (Overlapped == nullptr || (Buffer == nullptr && Count > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  if (port->FLost) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (port->FOps.WriteOverlapped) return Fail(EBUSY);
  if (Written) *Written = 0;
  port->FOps.BeginWrite(Buffer, Count, Overlapped);
  if (port->WriteSomeLocked()) {
    const uint32_t status = Overlapped->Internal.load();
    if (status != ERROR_SUCCESS) return Fail(status);
    if (Written) *Written = Overlapped->InternalHigh.load();
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  port->Wake();
  return Fail(ERROR_IO_PENDING);
}

bool TLinuxPortDriver::GetCommModemStatus(THandle Port, uint32_t* ModemStatus) {
  RIG_LINUX_PORT(Port);
  int lines = 0;
  // The watcher's reading: a level that changed without an event raises one.
  if (port->Watcher().ReadLines(lines) != 0) {
    if (errno == EIO || errno == ENODEV || errno == ENXIO) {
      std::lock_guard<std::mutex> guard(port->Lock());
      port->LoseLocked();
      return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    return FailErrno();
  }
  uint32_t status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  if (ModemStatus) *ModemStatus = status;
  return true;
}

bool TLinuxPortDriver::ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) {
  RIG_LINUX_PORT(Port);
  int inKernel = 0;
  int outKernel = 0;
  if (FSystem.Ioctl(port->Fd(), FIONREAD, &inKernel) != 0) return FailErrno();
  if (FSystem.Ioctl(port->Fd(), TIOCOUTQ, &outKernel) != 0) return FailErrno();
  std::lock_guard<std::mutex> guard(port->Lock());
  uint32_t errors = 0;
  if (port->FHaveCounts) {
    serial_icounter_struct counts{};
    if (FSystem.Ioctl(port->Fd(), TIOCGICOUNT, &counts) == 0) {
      errors = ErrorsFromCounts(counts, port->FErrorCounts);
      port->FErrorCounts = counts;
    }
  }
  if (Errors) *Errors = errors;
  if (Stat) {
    Stat->Flags = 0;
    Stat->cbInQue = static_cast<uint32_t>(port->FInput.size()) + static_cast<uint32_t>(inKernel);
    Stat->cbOutQue = static_cast<uint32_t>(outKernel) +
                     static_cast<uint32_t>(port->FOps.WriteData.size() - port->FOps.WriteDone);
  }
  return true;
}

bool TLinuxPortDriver::EscapeCommFunction(THandle Port, uint32_t Function) {
  auto port = Find(Port);
  if (!port) return false;
  {
    // A lost device has no lines left to drive: closing it lowers them
    // without a report.
    std::lock_guard<std::mutex> guard(port->Lock());
    if (port->FLost && Function != SETRTS && Function != SETDTR) return true;
    if (port->FLost) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  const int fd = port->Fd();
  int bits = 0;
  int result = 0;
  switch (Function) {
    case SETRTS:
      bits = TIOCM_RTS;
      result = FSystem.Ioctl(fd, TIOCMBIS, &bits);
      break;
    case CLRRTS:
      bits = TIOCM_RTS;
      result = FSystem.Ioctl(fd, TIOCMBIC, &bits);
      break;
    case SETDTR:
      bits = TIOCM_DTR;
      result = FSystem.Ioctl(fd, TIOCMBIS, &bits);
      break;
    case CLRDTR:
      bits = TIOCM_DTR;
      result = FSystem.Ioctl(fd, TIOCMBIC, &bits);
      break;
    case SETBREAK:
      result = FSystem.Ioctl(fd, TIOCSBRK, nullptr);
      break;
    case CLRBREAK:
      result = FSystem.Ioctl(fd, TIOCCBRK, nullptr);
      break;
    case SETXOFF:
      result = FSystem.TcFlow(fd, TCOOFF);
      break;
    case SETXON:
      result = FSystem.TcFlow(fd, TCOON);
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return result == 0 || FailErrno();
}

bool TLinuxPortDriver::SetCommBreak(THandle Port) {
  RIG_LINUX_PORT(Port);
  return FSystem.Ioctl(port->Fd(), TIOCSBRK, nullptr) == 0 || FailErrno();
}

bool TLinuxPortDriver::ClearCommBreak(THandle Port) {
  RIG_LINUX_PORT(Port);
  return FSystem.Ioctl(port->Fd(), TIOCCBRK, nullptr) == 0 || FailErrno();
}

bool TLinuxPortDriver::PurgeComm(THandle Port, uint32_t Flags) {
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  port->FOps.Abort(Flags);
  if (Flags & PURGE_RXCLEAR) port->FInput.clear();
  if (port->FLost) return true;
  if ((Flags & PURGE_RXCLEAR) && FSystem.TcFlush(port->Fd(), TCIFLUSH) != 0) return FailErrno();
  if ((Flags & PURGE_TXCLEAR) && FSystem.TcFlush(port->Fd(), TCOFLUSH) != 0) return FailErrno();
  return true;
}

bool TLinuxPortDriver::GetCommProperties(THandle Port, TCommProp& Properties) {
  RIG_LINUX_PORT(Port);
  Properties.ProvCapabilities = PCF_DTRDSR | PCF_RLSD;
  if (port->Watcher().CanReportCts()) Properties.ProvCapabilities |= PCF_RTSCTS;
  Properties.MaxBaud = 0x10000000;  // BAUD_USER: the kernel takes any rate
  return true;
}

#undef RIG_LINUX_PORT

std::unique_ptr<IPortDriver> CreateDevicePortDriver() {
  return std::make_unique<TLinuxPortDriver>();
}

IPortDriver& DefaultPortDriver() {
  static TLinuxPortDriver* driver = new TLinuxPortDriver;  // outlives every component
  return *driver;
}

}  // namespace serial
