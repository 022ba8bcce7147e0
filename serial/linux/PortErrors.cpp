#include "serial/PortErrors.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "serial/PortDriver.h"
#include "serial/linux/DeviceOpen.h"
#include "serial/linux/PortErrorsLinux.h"

namespace serial {
namespace {

// The group that may open the device ("dialout" on Debian).
std::string DeviceGroup(const std::string& Path) {
  struct stat info {};
  if (!Path.empty() && ::stat(Path.c_str(), &info) == 0) {
    if (const group* entry = ::getgrgid(info.st_gid))
      if (entry->gr_name != nullptr && std::strcmp(entry->gr_name, "root") != 0)
        return entry->gr_name;
  }
  return "dialout";
}

}  // namespace

std::string DescribePortError(const std::string& PortName, uint32_t Code,
                              const std::string& LockDir) {
  const std::string name = PortName.rfind("\\\\.\\", 0) == 0 ? PortName.substr(4) : PortName;
  const std::string path = DevicePath(name);
  switch (Code) {
    case ERROR_SUCCESS:
      return name + ": no error";
    case ERROR_PORT_IS_CONSOLE:
      return name + " is the system console and is never opened";
    case ERROR_PORT_LOCKED: {
      const pid_t owner =
          path.empty() ? 0 : LockOwner(LockFilePath(path, LockDir), DefaultLinuxSystem());
      if (owner != 0)
        return name + ": in use by another program (PID " + std::to_string(owner) + ")";
      return name + ": in use by another program";
    }
    case ERROR_DEVICE_NOT_CONNECTED:
      return name + ": the device hung up or went away";
    case ERROR_INVALID_PARAMETER:
      return name + ": the port cannot take these settings";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return name + ": cannot open: no such device";
    case EACCES:
    case EPERM:
      return name + ": permission denied: add your user to the " + DeviceGroup(path) + " group";
    case EBUSY:
      return name + ": in use by another program";
    case ENOTTY:
      return name + ": cannot open: not a serial port";
    case EIO:
      return name + ": input/output error: the device may have gone away";
    default:
      break;
  }
  return name + ": " + std::strerror(static_cast<int>(Code)) + " (error " + std::to_string(Code) +
         ")";
}

std::string DescribePortError(const std::string& PortName, uint32_t Code) {
  return DescribePortError(PortName, Code, TDevicePlaces{}.LockDir);
}

}  // namespace serial
