#include "serial/linux/DeviceOpen.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

#include "serial/linux/TermiosSettings.h"

namespace serial {
namespace {

// Devices open in this process: root passes TIOCEXCL, this does not.
std::mutex GOpenLock;
std::set<dev_t> GOpenDevices;

std::string BaseName(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// Takes the lock file, clearing a stale one. Answers false only when a
// live process holds it; a lock directory that cannot be written leaves
// the device unlocked (File empty), as other programs then do.
bool TakeLockFile(TLinuxSystem& System, const std::string& File, std::string& Taken) {
  Taken.clear();
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::open(File.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
      ::close(fd);
      if (!written) {
        ::unlink(File.c_str());
        return true;
      }
      Taken = File;
      return true;
    }
    if (errno != EEXIST) return true;
    if (LockOwner(File, System) != 0) return false;
    ::unlink(File.c_str());  // stale: its owner is gone
  }
  return true;
}

}  // namespace

std::string DevicePath(const std::string& Name) {
  std::string name = Name.rfind("\\\\.\\", 0) == 0 ? Name.substr(4) : Name;
  if (!name.empty() && name[0] == '/') return name;
  if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm')) {
    const std::string digits = name.substr(3);
    if (digits.size() <= 4 && std::all_of(digits.begin(), digits.end(),
                                          [](unsigned char c) { return std::isdigit(c); })) {
      const int number = std::stoi(digits);
      if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    }
  }
  return "";
}

std::string ResolvedPath(const std::string& Path) {
  char buffer[PATH_MAX];
  if (::realpath(Path.c_str(), buffer) == nullptr) return Path;
  return buffer;
}

bool IsConsoleDevice(const std::string& Path, const std::string& SysRoot) {
  const std::string base = BaseName(ResolvedPath(Path));
  if (base == "console") return true;
  std::ifstream active(SysRoot + "/class/tty/console/active");
  std::string token;
  while (active >> token)
    if (token == base) return true;
  return false;
}

TAdapterKind AdapterKind(const std::string& Path, const std::string& SysRoot) {
  const std::string link =
      SysRoot + "/class/tty/" + BaseName(ResolvedPath(Path)) + "/device/driver";
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return akUnknown;
  target[length] = 0;
  const std::string driver = BaseName(target);
  if (driver == "ftdi_sio") return akFtdi;
  if (driver == "ch341" || driver == "ch341-uart") return akCh340;
  if (driver == "cp210x") return akCp210x;
  if (driver == "pl2303") return akPl2303;
  if (driver == "cdc_acm") return akCdcAcm;
  if (driver == "serial8250" || driver == "serial" || driver.rfind("dw-apb-uart", 0) == 0)
    return akUart;
  return akUnknown;
}

std::string LockFilePath(const std::string& Path, const std::string& LockDir) {
  const std::string resolved = ResolvedPath(Path);
  std::string name = BaseName(resolved);
  if (resolved.rfind("/dev/", 0) == 0) {
    name = resolved.substr(5);
    std::replace(name.begin(), name.end(), '/', '_');
  }
  return LockDir + "/LCK.." + name;
}

pid_t LockOwner(const std::string& LockFile, TLinuxSystem& System) {
  std::ifstream file(LockFile);
  long pid = 0;
  // A file without a process number in it is stale as well.
  if (!(file >> pid) || pid <= 0 || pid > INT_MAX) return 0;
  if (pid == ::getpid()) return 0;
  return System.ProcessAlive(static_cast<pid_t>(pid)) ? static_cast<pid_t>(pid) : 0;
}

bool OpenDevice(TLinuxSystem& System, const std::string& Path, const TDevicePlaces& Places,
                TOpenedDevice& Device, uint32_t& Error) {
  Device = TOpenedDevice{};
  if (Path.empty()) {
    Error = ENOENT;
    return false;
  }
  // Keying the console's line would disturb it.
  if (IsConsoleDevice(Path, Places.SysRoot)) {
    Error = ERROR_PORT_IS_CONSOLE;
    return false;
  }
  // A name with no device behind it takes no lock.
  struct stat node {};
  if (::stat(Path.c_str(), &node) != 0) {
    Error = static_cast<uint32_t>(errno);
    return false;
  }
  std::string lockFile;
  if (!TakeLockFile(System, LockFilePath(Path, Places.LockDir), lockFile)) {
    Error = ERROR_PORT_LOCKED;
    return false;
  }
  auto dropLock = [&lockFile] {
    if (!lockFile.empty()) ::unlink(lockFile.c_str());
  };
  const int fd = System.Open(Path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // The kernel answers EIO for a ttyS node with no UART behind it.
    Error = errno == EIO ? ENXIO : static_cast<uint32_t>(errno);
    dropLock();
    return false;
  }
  bool registered = false;
  bool exclusive = false;
  struct stat info {};
  auto refuse = [&](uint32_t Code) {
    if (exclusive) System.Ioctl(fd, TIOCNXCL, nullptr);
    if (registered) {
      std::lock_guard<std::mutex> guard(GOpenLock);
      GOpenDevices.erase(info.st_rdev);
    }
    System.Close(fd);
    dropLock();
    Error = Code;
    return false;
  };
  if (System.IsATty(fd) != 1 || System.Fstat(fd, info) != 0) return refuse(ENOTTY);
  {
    std::lock_guard<std::mutex> guard(GOpenLock);
    if (!GOpenDevices.insert(info.st_rdev).second) return refuse(EBUSY);
    registered = true;
  }
  // Root passes another opener's TIOCEXCL: ask whether it is set.
  int held = 0;
  if (System.Ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0) return refuse(EBUSY);
  if (System.Ioctl(fd, TIOCEXCL, nullptr) != 0) return refuse(static_cast<uint32_t>(errno));
  exclusive = true;
  if (System.Flock(fd, LOCK_EX | LOCK_NB) != 0)
    return refuse(errno == EWOULDBLOCK ? EBUSY : static_cast<uint32_t>(errno));
  termios tio{};
  if (System.TcGetAttr(fd, tio) == 0) {
    TDCB dcb;
    if (DcbToTermios(dcb, tio)) System.TcSetAttr(fd, tio);
  }
  Device.Fd = fd;
  Device.Device = info.st_rdev;
  Device.LockFile = lockFile;
  Device.Kind = AdapterKind(Path, Places.SysRoot);
  // FTDI adapters hold modem changes for up to 16 ms unless told otherwise.
  if (Device.Kind == akFtdi) {
    serial_struct settings{};
    if (System.Ioctl(fd, TIOCGSERIAL, &settings) == 0 && !(settings.flags & ASYNC_LOW_LATENCY)) {
      Device.SavedSerialFlags = settings.flags;
      settings.flags |= ASYNC_LOW_LATENCY;
      if (System.Ioctl(fd, TIOCSSERIAL, &settings) == 0) Device.RestoreSerialFlags = true;
    }
  }
  return true;
}

void CloseDevice(TLinuxSystem& System, TOpenedDevice& Device) {
  if (Device.Fd < 0) return;
  if (Device.RestoreSerialFlags) {
    serial_struct settings{};
    if (System.Ioctl(Device.Fd, TIOCGSERIAL, &settings) == 0) {
      settings.flags = Device.SavedSerialFlags;
      System.Ioctl(Device.Fd, TIOCSSERIAL, &settings);
    }
  }
  System.Ioctl(Device.Fd, TIOCNXCL, nullptr);
  System.Flock(Device.Fd, LOCK_UN);
  System.Close(Device.Fd);
  {
    std::lock_guard<std::mutex> guard(GOpenLock);
    GOpenDevices.erase(Device.Device);
  }
  if (!Device.LockFile.empty()) ::unlink(Device.LockFile.c_str());
  Device = TOpenedDevice{};
}

}  // namespace serial
