#include "EmulatedSerialDevice.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace serial::test {
namespace {

namespace fs = std::filesystem;

const char* DriverName(TAdapterKind Kind) {
  switch (Kind) {
    case akUart:
      return "serial8250";
    case akFtdi:
      return "ftdi_sio";
    case akCh340:
      return "ch341-uart";
    case akCp210x:
      return "cp210x";
    case akPl2303:
      return "pl2303";
    case akCdcAcm:
      return "cdc_acm";
    case akUnknown:
      break;
  }
  return nullptr;
}

int Fail(int Error) {
  errno = Error;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------- TEmulatedDevice

void TEmulatedDevice::SetLine(int Bit, bool Active) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (((FLines & Bit) != 0) == Active) return;
    FLines ^= Bit;
    // CDC-ACM has no CTS in its line-state report.
    if (FKind == akCdcAcm && Bit == TIOCM_CTS) return;
    // An 8250 with its modem-status interrupt off neither counts nor wakes.
    if (FKind == akUart && !FInterruptOn) return;
    if (Bit == TIOCM_CTS) ++FCounts.cts;
    if (Bit == TIOCM_DSR) ++FCounts.dsr;
    if (Bit == TIOCM_CD) ++FCounts.dcd;
    if (Bit == TIOCM_RNG && !Active) ++FCounts.rng;  // the trailing edge, as a UART counts it
  }
  FChanged.notify_all();
}

void TEmulatedDevice::Toggle(int Bit) {
  SetLine(Bit, (Lines() & Bit) == 0);
}

int TEmulatedDevice::Lines() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLines;
}

serial_icounter_struct TEmulatedDevice::Counts() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCounts;
}

int TEmulatedDevice::Outputs() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FOutputs;
}

int TEmulatedDevice::SerialFlags() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSerialFlags;
}

void TEmulatedDevice::SetSerialFlags(int Flags) {
  std::lock_guard<std::mutex> guard(FLock);
  FSerialFlags = Flags;
}

bool TEmulatedDevice::InterruptOn() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FInterruptOn;
}

uint64_t TEmulatedDevice::WaitsEntered() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FWaitsEntered;
}

int TEmulatedDevice::Waiting() const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(FWaiters.size());
}

void TEmulatedDevice::SetOnWaitEntry(std::function<void()> Hook) {
  std::lock_guard<std::mutex> guard(FLock);
  FOnWaitEntry = std::move(Hook);
}

void TEmulatedDevice::SetOnWaitReturn(std::function<void()> Hook) {
  std::lock_guard<std::mutex> guard(FLock);
  FOnWaitReturn = std::move(Hook);
}

void TEmulatedDevice::SetOnSetAttr(std::function<void()> Hook) {
  std::lock_guard<std::mutex> guard(FLock);
  FOnSetAttr = std::move(Hook);
}

std::function<void()> TEmulatedDevice::Hook(const std::function<void()>& Which) const {
  std::lock_guard<std::mutex> guard(FLock);
  return Which;
}

void TEmulatedDevice::HangUp() {
  int master = -1;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FHungUp = true;
    master = FMaster;
    FMaster = -1;
  }
  FChanged.notify_all();
  if (master >= 0) ::close(master);
}

// ---------------------------------------------------------------- TEmulatedSystem

TEmulatedSystem::TEmulatedSystem() {
  std::string pattern = (fs::temp_directory_path() / "serial-device-XXXXXX").string();
  FRoot = ::mkdtemp(pattern.data());
  FLockDir = FRoot + "/lock";
  fs::create_directories(FLockDir);
  fs::create_directories(FRoot + "/sys/class/tty/console");
  std::ofstream(FRoot + "/sys/class/tty/console/active") << "tty0\n";
}

TEmulatedSystem::~TEmulatedSystem() {
  for (auto& entry : FDevices)
    if (entry.second->FMaster >= 0) ::close(entry.second->FMaster);
  std::error_code error;
  fs::remove_all(FRoot, error);
}

TEmulatedDevice& TEmulatedSystem::AddDevice(TAdapterKind Kind) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) std::abort();
  ::close(slave);
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  auto device = std::unique_ptr<TEmulatedDevice>(new TEmulatedDevice(Kind, name, master));
  if (const char* driver = DriverName(Kind)) {
    const std::string base = fs::path(name).filename().string();
    const fs::path drivers = fs::path(FRoot) / "sys/bus/drivers" / driver;
    const fs::path node = fs::path(FRoot) / "sys/class/tty" / base / "device";
    fs::create_directories(drivers);
    fs::create_directories(node);
    fs::create_symlink(drivers, node / "driver");
  }
  std::lock_guard<std::mutex> guard(FLock);
  TEmulatedDevice& result = *device;
  FDevices[name] = std::move(device);
  return result;
}

void TEmulatedSystem::SetConsole(const std::string& Path) {
  std::ofstream(FRoot + "/sys/class/tty/console/active")
      << "tty0 " << fs::path(Path).filename().string() << "\n";
}

TEmulatedDevice* TEmulatedSystem::Device(int Fd) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FOpen.find(Fd);
  return it == FOpen.end() ? nullptr : it->second;
}

int TEmulatedSystem::Open(const std::string& Path, int Flags) {
  const int fd = TLinuxSystem::Open(Path, Flags);
  if (fd < 0) return fd;
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FDevices.find(Path);
  if (it != FDevices.end()) FOpen[fd] = it->second.get();
  return fd;
}

int TEmulatedSystem::Close(int Fd) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FOpen.erase(Fd);
  }
  return TLinuxSystem::Close(Fd);
}

ssize_t TEmulatedSystem::Read(int Fd, void* Buffer, size_t Count) {
  if (Device(Fd)) ++FReads;
  return TLinuxSystem::Read(Fd, Buffer, Count);
}

int TEmulatedSystem::Poll(pollfd* Fds, nfds_t Count, int Timeout) {
  if (Count > 0 && Device(Fds[0].fd)) ++FPolls;
  return TLinuxSystem::Poll(Fds, Count, Timeout);
}

int TEmulatedSystem::ModemWait(TEmulatedDevice& Dev, int Mask) {
  if (Dev.FKind == akCp210x) return Fail(ENOTTY);
  if (auto hook = Dev.Hook(Dev.FOnWaitEntry)) hook();
  const pthread_t self = ::pthread_self();
  {
    std::unique_lock<std::mutex> lock(Dev.FLock);
    if (Dev.FHungUp) return Fail(EIO);
    serial_icounter_struct was = Dev.FCounts;
    if (Dev.FKind == akUart) Dev.FInterruptOn = true;
    ++Dev.FWaitsEntered;
    Dev.FWaiters.insert(self);
    for (;;) {
      Dev.FChanged.wait(lock);
      if (Dev.FHungUp) {
        Dev.FWaiters.erase(self);
        return Fail(EIO);
      }
      if (Dev.FInterrupted.erase(self)) {
        Dev.FWaiters.erase(self);
        return Fail(EINTR);
      }
      const serial_icounter_struct& now = Dev.FCounts;
      if (((Mask & TIOCM_RNG) && now.rng != was.rng) ||
          ((Mask & TIOCM_DSR) && now.dsr != was.dsr) || ((Mask & TIOCM_CD) && now.dcd != was.dcd) ||
          ((Mask & TIOCM_CTS) && now.cts != was.cts))
        break;
      was = now;
    }
    Dev.FWaiters.erase(self);
  }
  if (auto hook = Dev.Hook(Dev.FOnWaitReturn)) hook();
  return 0;
}

int TEmulatedSystem::Ioctl(int Fd, unsigned long Request, void* Arg) {
  TEmulatedDevice* dev = Device(Fd);
  if (dev == nullptr) return TLinuxSystem::Ioctl(Fd, Request, Arg);
  switch (Request) {
    case TIOCMIWAIT:
      return ModemWait(*dev, static_cast<int>(reinterpret_cast<uintptr_t>(Arg)));
    case TIOCMGET: {
      std::lock_guard<std::mutex> guard(dev->FLock);
      if (dev->FHungUp) return Fail(EIO);
      int lines = dev->FLines | dev->FOutputs;
      if (dev->FKind == akCdcAcm) lines |= TIOCM_CTS;
      *static_cast<int*>(Arg) = lines;
      return 0;
    }
    case TIOCGICOUNT: {
      std::lock_guard<std::mutex> guard(dev->FLock);
      if (dev->FHungUp) return Fail(EIO);
      if (dev->FKind == akCp210x) return Fail(ENOTTY);
      *static_cast<serial_icounter_struct*>(Arg) = dev->FCounts;
      return 0;
    }
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: {
      std::lock_guard<std::mutex> guard(dev->FLock);
      if (dev->FHungUp) return Fail(EIO);
      const int bits = *static_cast<int*>(Arg) & (TIOCM_DTR | TIOCM_RTS);
      if (Request == TIOCMBIS) dev->FOutputs |= bits;
      if (Request == TIOCMBIC) dev->FOutputs &= ~bits;
      if (Request == TIOCMSET) dev->FOutputs = bits;
      return 0;
    }
    case TIOCGSERIAL: {
      std::lock_guard<std::mutex> guard(dev->FLock);
      serial_struct settings{};
      settings.flags = dev->FSerialFlags;
      *static_cast<serial_struct*>(Arg) = settings;
      return 0;
    }
    case TIOCSSERIAL: {
      std::lock_guard<std::mutex> guard(dev->FLock);
      dev->FSerialFlags = static_cast<serial_struct*>(Arg)->flags;
      return 0;
    }
    default:
      return TLinuxSystem::Ioctl(Fd, Request, Arg);
  }
}

int TEmulatedSystem::TcSetAttr(int Fd, const termios& Settings) {
  const int result = TLinuxSystem::TcSetAttr(Fd, Settings);
  TEmulatedDevice* dev = Device(Fd);
  if (dev == nullptr || result != 0) return result;
  if (dev->FKind == akUart && (Settings.c_cflag & CLOCAL) && !(Settings.c_cflag & CRTSCTS)) {
    std::lock_guard<std::mutex> guard(dev->FLock);
    dev->FInterruptOn = false;
  }
  if (auto hook = dev->Hook(dev->FOnSetAttr)) hook();
  return 0;
}

int TEmulatedSystem::SignalThread(pthread_t Thread, int) {
  // Only a thread inside an emulated wait is interrupted; a signal that
  // comes before the wait is entered is lost, as a real one would be.
  std::lock_guard<std::mutex> guard(FLock);
  for (auto& entry : FDevices) {
    TEmulatedDevice& dev = *entry.second;
    std::lock_guard<std::mutex> deviceGuard(dev.FLock);
    if (dev.FWaiters.count(Thread)) {
      dev.FInterrupted.insert(Thread);
      dev.FChanged.notify_all();
    }
  }
  return 0;
}

}  // namespace serial::test
