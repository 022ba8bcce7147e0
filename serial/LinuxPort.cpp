#include "serial/LinuxPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace serial {
namespace {

using TSteady = std::chrono::steady_clock;

// Bytes the driver keeps for the application beyond the kernel's queue.
constexpr size_t kInputLimit = 1 << 16;

// The signal that knocks the modem watcher out of TIOCMIWAIT.
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

bool FailErrno() {
  SetLastError(static_cast<uint32_t>(errno));
  return false;
}

// Devices open in this process: root passes TIOCEXCL, this does not.
std::mutex GOpenLock;
std::set<dev_t> GOpenDevices;

struct TBaud {
  uint32_t Rate;
  speed_t Code;
};
constexpr TBaud kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

std::string BaseName(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string Resolve(const std::string& Path) {
  char buffer[PATH_MAX];
  if (realpath(Path.c_str(), buffer) == nullptr) return Path;
  return buffer;
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

}  // namespace

// One open device and its two helper threads.
class TLinuxPort {
 public:
  TLinuxPort(int Fd, int WakeFd, dev_t Device) : FFd(Fd), FWakeFd(WakeFd), FDevice(Device) {
    serial_icounter_struct counts{};
    FHaveCounts = ioctl(FFd, TIOCGICOUNT, &counts) == 0;
    FErrorCounts = FDataCounts = counts;
    FDataThread = std::thread([this] { DataLoop(); });
    FModemThread = std::thread([this] { ModemLoop(); });
    FModemId = FModemThread.native_handle();
  }

  ~TLinuxPort() { Shutdown(); }

  int Fd() const { return FFd; }
  std::mutex& Lock() { return FLock; }

  // Ends both threads, cancels what is pending, closes the device.
  void Shutdown() {
    if (FFd < 0) return;
    FStop.store(true);
    Wake();
    // A signal sent just before the watcher enters its wait is lost, so it
    // is sent again until the watcher says it has left.
    while (!FModemExited.load()) {
      pthread_kill(FModemId, WakeSignal());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FModemThread.join();
    FDataThread.join();
    {
      std::lock_guard<std::mutex> guard(FLock);
      CancelLocked(PURGE_RXABORT | PURGE_TXABORT);
      if (FWaitOverlapped) {
        TPortDriverBase::CompleteOverlapped(FWaitOverlapped, ERROR_OPERATION_ABORTED, 0);
        FWaitOverlapped = nullptr;
      }
    }
    {
      std::lock_guard<std::mutex> guard(GOpenLock);
      GOpenDevices.erase(FDevice);
    }
    ::close(FWakeFd);
    ::close(FFd);
    FFd = -1;
  }

  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(FWakeFd, &one, sizeof one);
  }

  // --- called with FLock held ---

  void RaiseLocked(uint32_t Events) {
    const uint32_t seen = Events & FMask;
    if (seen == 0) return;
    FEventsSeen |= seen;
    if (FWaitOverlapped) {
      *FWaitMask = FEventsSeen;
      FEventsSeen = 0;
      TOverlapped* record = FWaitOverlapped;
      FWaitOverlapped = nullptr;
      TPortDriverBase::CompleteOverlapped(record, ERROR_SUCCESS, 0);
    }
  }

  void CancelLocked(uint32_t Purge) {
    if ((Purge & PURGE_RXABORT) && FReadOverlapped) {
      TPortDriverBase::CompleteOverlapped(FReadOverlapped, ERROR_OPERATION_ABORTED, FReadDone);
      FReadOverlapped = nullptr;
    }
    if ((Purge & PURGE_TXABORT) && FWriteOverlapped) {
      TPortDriverBase::CompleteOverlapped(FWriteOverlapped, ERROR_OPERATION_ABORTED, FWriteDone);
      FWriteOverlapped = nullptr;
      FWriteData.clear();
    }
    if (Purge & PURGE_RXCLEAR) FInput.clear();
  }

  // Moves waiting bytes into a pending read; completes it when full.
  void ServeReadLocked(bool Expired) {
    if (!FReadOverlapped) return;
    const size_t take = std::min<size_t>(FReadCount - FReadDone, FInput.size());
    std::memcpy(FReadBuffer + FReadDone, FInput.data(), take);
    FInput.erase(0, take);
    FReadDone += static_cast<uint32_t>(take);
    if (FReadDone == FReadCount || Expired) {
      TPortDriverBase::CompleteOverlapped(FReadOverlapped, ERROR_SUCCESS, FReadDone);
      FReadOverlapped = nullptr;
    }
  }

  // Reads what the kernel holds into the driver's queue; returns the events.
  uint32_t DrainLocked() {
    uint32_t events = 0;
    char chunk[4096];
    while (FInput.size() < kInputLimit) {
      const size_t room = std::min(sizeof chunk, kInputLimit - FInput.size());
      const ssize_t n = ::read(FFd, chunk, room);
      if (n <= 0) break;
      std::string bytes(chunk, static_cast<size_t>(n));
      if (FDCB.Flags & DCB_fNull)
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());
      if (bytes.empty()) continue;
      events |= EV_RXCHAR;
      if (bytes.find(FDCB.EvtChar) != std::string::npos) events |= EV_RXFLAG;
      FInput += bytes;
    }
    if (FHaveCounts) {
      serial_icounter_struct counts{};
      if (ioctl(FFd, TIOCGICOUNT, &counts) == 0) {
        const uint32_t errors = ErrorsFromCounts(counts, FDataCounts);
        FDataCounts = counts;
        if (errors) events |= EV_ERR;
        if (errors & CE_BREAK) events |= EV_BREAK;
      }
    }
    return events;
  }

  bool WriteSomeLocked() {
    while (FWriteDone < FWriteData.size()) {
      const ssize_t n =
          ::write(FFd, FWriteData.data() + FWriteDone, FWriteData.size() - FWriteDone);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return false;
        TPortDriverBase::CompleteOverlapped(FWriteOverlapped, static_cast<uint32_t>(errno),
                                            FWriteDone);
        FWriteOverlapped = nullptr;
        FWriteData.clear();
        return true;
      }
      FWriteDone += static_cast<uint32_t>(n);
    }
    TPortDriverBase::CompleteOverlapped(FWriteOverlapped, ERROR_SUCCESS, FWriteDone);
    FWriteOverlapped = nullptr;
    FWriteData.clear();
    RaiseLocked(EV_TXEMPTY);
    return true;
  }

  // State, guarded by FLock.
  TDCB FDCB;
  TCommTimeouts FTimeouts;
  uint32_t FMask = 0;
  uint32_t FEventsSeen = 0;
  uint32_t* FWaitMask = nullptr;
  TOverlapped* FWaitOverlapped = nullptr;
  uint8_t* FReadBuffer = nullptr;
  uint32_t FReadCount = 0;
  uint32_t FReadDone = 0;
  TOverlapped* FReadOverlapped = nullptr;
  bool FReadHasDeadline = false;
  TSteady::time_point FReadDeadline;
  std::string FWriteData;
  uint32_t FWriteDone = 0;
  TOverlapped* FWriteOverlapped = nullptr;
  std::string FInput;
  bool FHaveCounts = false;
  serial_icounter_struct FErrorCounts{};

 private:
  void DataLoop() {
    bool hungUp = false;
    while (!FStop.load()) {
      pollfd fds[2] = {{FFd, 0, 0}, {FWakeFd, POLLIN, 0}};
      int timeout = -1;
      {
        std::lock_guard<std::mutex> guard(FLock);
        if (FInput.size() < kInputLimit) fds[0].events |= POLLIN;
        if (FWriteOverlapped) fds[0].events |= POLLOUT;
        if (FReadOverlapped && FReadHasDeadline) {
          const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(FReadDeadline - TSteady::now())
                  .count();
          timeout = static_cast<int>(std::max<int64_t>(0, left));
        }
      }
      // A hung-up line reports POLLHUP at once on every poll: look again later.
      if (hungUp) {
        fds[0].events = 0;
        timeout = timeout < 0 ? 10 : std::min(timeout, 10);
      }
      const int ready = ::poll(fds, 2, timeout);
      if (FStop.load()) break;
      if (ready < 0 && errno != EINTR) break;
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(FWakeFd, &count, sizeof count);
      }
      std::lock_guard<std::mutex> guard(FLock);
      hungUp = false;
      uint32_t events = 0;
      if (fds[0].revents & POLLIN) events |= DrainLocked();
      if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) hungUp = true;
      if (FWriteOverlapped && (fds[0].revents & POLLOUT)) WriteSomeLocked();
      const bool expired = FReadOverlapped && FReadHasDeadline && TSteady::now() >= FReadDeadline;
      ServeReadLocked(expired);
      RaiseLocked(events);
    }
  }

  void ModemLoop() {
    const int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
    bool polling = false;
    serial_icounter_struct was{};
    if (ioctl(FFd, TIOCGICOUNT, &was) != 0) polling = true;
    while (!polling && !FStop.load()) {
      if (ioctl(FFd, TIOCMIWAIT, lines) != 0) {
        if (errno == EINTR) continue;
        if (errno == ENOTTY || errno == EINVAL) {
          polling = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      // The counts, not the levels, so a press and release both seen.
      serial_icounter_struct now{};
      if (ioctl(FFd, TIOCGICOUNT, &now) != 0) continue;
      uint32_t events = 0;
      if (now.cts != was.cts) events |= EV_CTS;
      if (now.dsr != was.dsr) events |= EV_DSR;
      if (now.rng != was.rng) events |= EV_RING;
      if (now.dcd != was.dcd) events |= EV_RLSD;
      was = now;
      std::lock_guard<std::mutex> guard(FLock);
      RaiseLocked(events);
    }
    if (polling) {
      int last = 0;
      // A device without modem lines (a pty) has nothing to watch.
      bool haveLines = ioctl(FFd, TIOCMGET, &last) == 0;
      while (haveLines && !FStop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        int now = 0;
        if (ioctl(FFd, TIOCMGET, &now) != 0) continue;
        const int changed = now ^ last;
        uint32_t events = 0;
        if (changed & TIOCM_CTS) events |= EV_CTS;
        if (changed & TIOCM_DSR) events |= EV_DSR;
        if ((changed & TIOCM_RNG) && (now & TIOCM_RNG)) events |= EV_RING;
        if (changed & TIOCM_CD) events |= EV_RLSD;
        last = now;
        if (events) {
          std::lock_guard<std::mutex> guard(FLock);
          RaiseLocked(events);
        }
      }
    }
    FModemExited.store(true);
  }

  int FFd;
  int FWakeFd;
  dev_t FDevice;
  std::mutex FLock;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FModemExited{false};
  serial_icounter_struct FDataCounts{};
  std::thread FDataThread;
  std::thread FModemThread;
  pthread_t FModemId{};
};

// ---------------------------------------------------------------- TLinuxPortDriver

TLinuxPortDriver::TLinuxPortDriver(std::string SysRoot) : FSysRoot(std::move(SysRoot)) {
  InstallWakeHandler();
}

TLinuxPortDriver::~TLinuxPortDriver() {
  std::map<THandle, std::shared_ptr<TLinuxPort>> ports;
  {
    std::lock_guard<std::mutex> guard(FLock);
    ports.swap(FPorts);
  }
  for (auto& entry : ports)
    entry.second->Shutdown();
}

std::string TLinuxPortDriver::DevicePath(const std::string& Name) {
  std::string name = Name.rfind("\\\\.\\", 0) == 0 ? Name.substr(4) : Name;
  if (!name.empty() && name[0] == '/') return name;
  if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm')) {
    const std::string digits = name.substr(3);
    if (digits.size() <= 4 && std::all_of(digits.begin(), digits.end(), ::isdigit)) {
      const int number = std::stoi(digits);
      if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    }
  }
  return "";
}

bool TLinuxPortDriver::IsConsole(const std::string& Path) const {
  std::ifstream active(FSysRoot + "/class/tty/console/active");
  const std::string base = BaseName(Resolve(Path));
  if (base == "console") return true;
  std::string token;
  while (active >> token)
    if (token == base) return true;
  return false;
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

THandle TLinuxPortDriver::CreateFile(const std::string& Name) {
  const std::string path = DevicePath(Name);
  if (path.empty()) {
    SetLastError(ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  // Keying the console's line would disturb it.
  if (IsConsole(path)) {
    SetLastError(EBUSY);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    FailErrno();
    return INVALID_HANDLE_VALUE;
  }
  auto refuse = [fd](uint32_t Code) {
    ::close(fd);
    SetLastError(Code);
    return INVALID_HANDLE_VALUE;
  };
  struct stat info {};
  if (!isatty(fd) || fstat(fd, &info) != 0) return refuse(ENOTTY);
  {
    std::lock_guard<std::mutex> guard(GOpenLock);
    if (!GOpenDevices.insert(info.st_rdev).second) return refuse(EBUSY);
  }
  auto release = [&info] {
    std::lock_guard<std::mutex> guard(GOpenLock);
    GOpenDevices.erase(info.st_rdev);
  };
  if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const uint32_t code = errno == EWOULDBLOCK ? EBUSY : static_cast<uint32_t>(errno);
    release();
    return refuse(code);
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
  }
  // FTDI adapters hold modem changes for up to 16 ms unless told otherwise.
  char driver[PATH_MAX];
  const std::string link = FSysRoot + "/class/tty/" + BaseName(Resolve(path)) + "/device/driver";
  const ssize_t length = readlink(link.c_str(), driver, sizeof driver - 1);
  if (length > 0) {
    driver[length] = 0;
    if (BaseName(driver) == "ftdi_sio") {
      serial_struct info_serial{};
      if (ioctl(fd, TIOCGSERIAL, &info_serial) == 0) {
        info_serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &info_serial);
      }
    }
  }
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    const uint32_t code = static_cast<uint32_t>(errno);
    release();
    return refuse(code);
  }
  auto port = std::make_shared<TLinuxPort>(fd, wake, info.st_rdev);
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
  return Find(Port) != nullptr;
}

bool TLinuxPortDriver::GetCommState(THandle Port, TDCB& DCB) {
  auto port = Find(Port);
  if (!port) return false;
  termios tio{};
  if (tcgetattr(port->Fd(), &tio) != 0) return FailErrno();
  std::lock_guard<std::mutex> guard(port->Lock());
  DCB = port->FDCB;
  const speed_t speed = cfgetospeed(&tio);
  for (const TBaud& baud : kBauds)
    if (baud.Code == speed) DCB.BaudRate = baud.Rate;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      DCB.ByteSize = 5;
      break;
    case CS6:
      DCB.ByteSize = 6;
      break;
    case CS7:
      DCB.ByteSize = 7;
      break;
    default:
      DCB.ByteSize = 8;
      break;
  }
  if (!(tio.c_cflag & PARENB))
    DCB.Parity = NOPARITY;
  else if (tio.c_cflag & CMSPAR)
    DCB.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    DCB.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  DCB.StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  DCB.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  DCB.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
  return true;
}

bool TLinuxPortDriver::SetCommState(THandle Port, const TDCB& DCB) {
  auto port = Find(Port);
  if (!port) return false;
  termios tio{};
  if (tcgetattr(port->Fd(), &tio) != 0) return FailErrno();
  cfmakeraw(&tio);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_iflag &= ~(INPCK | IXON | IXOFF);
  switch (DCB.ByteSize) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  switch (DCB.Parity) {
    case NOPARITY:
      break;
    case ODDPARITY:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  if (DCB.Flags & DCB_fParity) tio.c_iflag |= INPCK;
  switch (DCB.StopBits) {
    case ONESTOPBIT:
      break;
    case ONE5STOPBITS:  // 1.5 stop bits exist only with 5 data bits, where CSTOPB gives them
    case TWOSTOPBITS:
      tio.c_cflag |= CSTOPB;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  const TBaud* baud = nullptr;
  for (const TBaud& row : kBauds)
    if (row.Rate == DCB.BaudRate) baud = &row;
  if (baud == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  cfsetispeed(&tio, baud->Code);
  cfsetospeed(&tio, baud->Code);
  if ((DCB.Flags & DCB_fOutxCtsFlow) ||
      (DCB.Flags & DCB_fRtsControlMask) == DCB_fRtsControlHandshake)
    tio.c_cflag |= CRTSCTS;
  if (DCB.Flags & DCB_fOutX) tio.c_iflag |= IXON;
  if (DCB.Flags & DCB_fInX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(DCB.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(DCB.XoffChar);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(port->Fd(), TCSANOW, &tio) != 0) return FailErrno();
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
  port->FMask = Mask;
  port->FEventsSeen = 0;
  if (port->FWaitOverlapped) {
    *port->FWaitMask = 0;
    CompleteOverlapped(port->FWaitOverlapped, ERROR_SUCCESS, 0);
    port->FWaitOverlapped = nullptr;
  }
  return true;
}

bool TLinuxPortDriver::WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) {
  if (Mask == nullptr || Overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  return StartWait(port->FEventsSeen, port->FWaitMask, port->FWaitOverlapped, Mask, Overlapped);
}

bool TLinuxPortDriver::ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                                TOverlapped* Overlapped) {
  if (Overlapped == nullptr || (Buffer == nullptr && Count > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  if (port->FReadOverlapped) return Fail(EBUSY);
  if (Read) *Read = 0;
  const uint32_t events = port->DrainLocked();
  auto* bytes = static_cast<uint8_t*>(Buffer);
  const uint32_t got = std::min<uint32_t>(Count, static_cast<uint32_t>(port->FInput.size()));
  if (got > 0) std::memcpy(bytes, port->FInput.data(), got);
  port->FInput.erase(0, got);
  port->RaiseLocked(events);
  const TCommTimeouts& t = port->FTimeouts;
  const bool returnAtOnce = t.ReadIntervalTimeout == 0xFFFFFFFF &&
                            t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  if (returnAtOnce || got == Count) {
    if (Read) *Read = got;
    CompleteOverlapped(Overlapped, ERROR_SUCCESS, got);
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  // Waits for the rest, or until the total time-out if one is set.
  BeginOverlapped(Overlapped);
  port->FReadBuffer = bytes;
  port->FReadCount = Count;
  port->FReadDone = got;
  port->FReadOverlapped = Overlapped;
  const uint64_t total =
      uint64_t{t.ReadTotalTimeoutMultiplier} * Count + t.ReadTotalTimeoutConstant;
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
  if (port->FWriteOverlapped) return Fail(EBUSY);
  if (Written) *Written = 0;
  BeginOverlapped(Overlapped);
  port->FWriteData.assign(static_cast<const char*>(Buffer), Count);
  port->FWriteDone = 0;
  port->FWriteOverlapped = Overlapped;
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
  auto port = Find(Port);
  if (!port) return false;
  int lines = 0;
  if (ioctl(port->Fd(), TIOCMGET, &lines) != 0) return FailErrno();
  uint32_t status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  if (ModemStatus) *ModemStatus = status;
  return true;
}

bool TLinuxPortDriver::ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) {
  auto port = Find(Port);
  if (!port) return false;
  int inKernel = 0;
  int outKernel = 0;
  if (ioctl(port->Fd(), FIONREAD, &inKernel) != 0) return FailErrno();
  if (ioctl(port->Fd(), TIOCOUTQ, &outKernel) != 0) return FailErrno();
  std::lock_guard<std::mutex> guard(port->Lock());
  uint32_t errors = 0;
  if (port->FHaveCounts) {
    serial_icounter_struct counts{};
    if (ioctl(port->Fd(), TIOCGICOUNT, &counts) == 0) {
      errors = ErrorsFromCounts(counts, port->FErrorCounts);
      port->FErrorCounts = counts;
    }
  }
  if (Errors) *Errors = errors;
  if (Stat) {
    Stat->Flags = 0;
    Stat->cbInQue = static_cast<uint32_t>(port->FInput.size()) + static_cast<uint32_t>(inKernel);
    Stat->cbOutQue = static_cast<uint32_t>(outKernel) +
                     static_cast<uint32_t>(port->FWriteData.size() - port->FWriteDone);
  }
  return true;
}

bool TLinuxPortDriver::EscapeCommFunction(THandle Port, uint32_t Function) {
  auto port = Find(Port);
  if (!port) return false;
  const int fd = port->Fd();
  int bits = 0;
  int result = 0;
  switch (Function) {
    case SETRTS:
      bits = TIOCM_RTS;
      result = ioctl(fd, TIOCMBIS, &bits);
      break;
    case CLRRTS:
      bits = TIOCM_RTS;
      result = ioctl(fd, TIOCMBIC, &bits);
      break;
    case SETDTR:
      bits = TIOCM_DTR;
      result = ioctl(fd, TIOCMBIS, &bits);
      break;
    case CLRDTR:
      bits = TIOCM_DTR;
      result = ioctl(fd, TIOCMBIC, &bits);
      break;
    case SETBREAK:
      result = ioctl(fd, TIOCSBRK);
      break;
    case CLRBREAK:
      result = ioctl(fd, TIOCCBRK);
      break;
    case SETXOFF:
      result = tcflow(fd, TCOOFF);
      break;
    case SETXON:
      result = tcflow(fd, TCOON);
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return result == 0 || FailErrno();
}

bool TLinuxPortDriver::SetCommBreak(THandle Port) {
  auto port = Find(Port);
  if (!port) return false;
  return ioctl(port->Fd(), TIOCSBRK) == 0 || FailErrno();
}

bool TLinuxPortDriver::ClearCommBreak(THandle Port) {
  auto port = Find(Port);
  if (!port) return false;
  return ioctl(port->Fd(), TIOCCBRK) == 0 || FailErrno();
}

bool TLinuxPortDriver::PurgeComm(THandle Port, uint32_t Flags) {
  auto port = Find(Port);
  if (!port) return false;
  std::lock_guard<std::mutex> guard(port->Lock());
  port->CancelLocked(Flags);
  if ((Flags & PURGE_RXCLEAR) && tcflush(port->Fd(), TCIFLUSH) != 0) return FailErrno();
  if ((Flags & PURGE_TXCLEAR) && tcflush(port->Fd(), TCOFLUSH) != 0) return FailErrno();
  return true;
}

IPortDriver& DefaultPortDriver() {
  static TLinuxPortDriver* driver = new TLinuxPortDriver;  // outlives every component
  return *driver;
}

}  // namespace serial
