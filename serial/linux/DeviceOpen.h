#pragma once
// Finding, opening and locking a serial device: port names to device
// paths, the system console, the kernel driver behind a device, the
// lock-file convention serial programs on Linux share, and an exclusive
// open that gives everything back as it found it.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "serial/linux/LinuxSystem.h"

namespace serial {

// The kernel driver behind a device, as far as the rig treats them apart.
enum TAdapterKind { akUnknown, akUart, akFtdi, akCh340, akCp210x, akPl2303, akCdcAcm };

// Where the driver looks: the sysfs tree and the lock directory.
struct TDevicePlaces {
  std::string SysRoot = "/sys";
  std::string LockDir = "/var/lock";
};

// "COMn" is /dev/ttyS(n-1); a name starting with "/" is a device path; a
// "\\.\" prefix is stripped. "" when the name stands for no device.
std::string DevicePath(const std::string& Name);
// The path with every link resolved (the path itself when that fails).
std::string ResolvedPath(const std::string& Path);
// Whether the device is an active system console.
bool IsConsoleDevice(const std::string& Path, const std::string& SysRoot);
// The kernel driver behind the device, from sysfs.
TAdapterKind AdapterKind(const std::string& Path, const std::string& SysRoot);

// The lock file of a device: LockDir/LCK..ttyUSB0 (for a device in a
// folder below /dev, the folders joined by "_": LCK..pts_3).
std::string LockFilePath(const std::string& Path, const std::string& LockDir);
// The live process other than this one that holds the lock file, or 0.
pid_t LockOwner(const std::string& LockFile, TLinuxSystem& System);

struct TOpenedDevice {
  int Fd = -1;
  dev_t Device = 0;
  TAdapterKind Kind = akUnknown;
  std::string LockFile;  // empty when no lock file could be made
  bool RestoreSerialFlags = false;
  int SavedSerialFlags = 0;
};

// Opens a device for the driver: refuses the console
// (ERROR_PORT_IS_CONSOLE), a device whose lock file a live process holds
// (ERROR_PORT_LOCKED) and one held exclusively or already open in this
// process (EBUSY); takes the lock file (clearing a stale one), sets
// TIOCEXCL and an advisory lock, puts the line in raw mode and raises an
// FTDI adapter's low-latency flag. Answers false with the error code in Error.
bool OpenDevice(TLinuxSystem& System, const std::string& Path, const TDevicePlaces& Places,
                TOpenedDevice& Device, uint32_t& Error);
// Gives the device back: the low-latency flag as it was, TIOCEXCL cleared,
// the descriptor closed, the lock file removed.
void CloseDevice(TLinuxSystem& System, TOpenedDevice& Device);

}  // namespace serial
