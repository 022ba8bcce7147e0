#pragma once
// The port driver for real devices, over termios.
//
// Names: "COMn" is /dev/ttyS(n-1); a name starting with "/" is a device
// path; the "\\.\" prefix is stripped. Opening is exclusive (the lock-file
// convention, TIOCEXCL, an advisory lock and a lock within the process),
// and the active system console is refused. Each open port has two helper
// threads: one drains received bytes into the driver's own queue (poll
// with an eventfd to stop it), one watches the modem lines. Both complete
// the pending event wait and read. A device that hangs up or goes away is
// let go of at once: its pending operations end, and every later call on
// it fails with ERROR_DEVICE_NOT_CONNECTED. Other failures carry errno as
// the error code, except the overlapped states, ERROR_INVALID_PARAMETER
// for settings the line cannot take, and the codes of PortDriver.h for a
// console or locked device.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serial/PortDriverBase.h"
#include "serial/linux/DeviceOpen.h"
#include "serial/linux/LinuxSystem.h"

namespace serial {

class TLinuxPort;

class TLinuxPortDriver : public TPortDriverBase {
 public:
  // SysRoot: where the sysfs tree is (console check, adapter detection).
  explicit TLinuxPortDriver(std::string SysRoot = "/sys");
  // System: the system calls (an emulated device in tests).
  explicit TLinuxPortDriver(const TDevicePlaces& Places,
                            TLinuxSystem& System = DefaultLinuxSystem());
  ~TLinuxPortDriver() override;

  // The device path a port name stands for ("" if it names none).
  static std::string DevicePath(const std::string& Name) { return serial::DevicePath(Name); }
  // Whether the device is listed as an active system console.
  bool IsConsole(const std::string& Path) const { return IsConsoleDevice(Path, FPlaces.SysRoot); }

  THandle CreateFile(const std::string& Name) override;
  bool CloseHandle(THandle Port) override;
  bool SetupComm(THandle Port, uint32_t InQueue, uint32_t OutQueue) override;
  bool GetCommState(THandle Port, TDCB& DCB) override;
  bool SetCommState(THandle Port, const TDCB& DCB) override;
  bool GetCommTimeouts(THandle Port, TCommTimeouts& Timeouts) override;
  bool SetCommTimeouts(THandle Port, const TCommTimeouts& Timeouts) override;
  bool SetCommMask(THandle Port, uint32_t Mask) override;
  bool WaitCommEvent(THandle Port, uint32_t* Mask, TOverlapped* Overlapped) override;
  bool ReadFile(THandle Port, void* Buffer, uint32_t Count, uint32_t* Read,
                TOverlapped* Overlapped) override;
  bool WriteFile(THandle Port, const void* Buffer, uint32_t Count, uint32_t* Written,
                 TOverlapped* Overlapped) override;
  bool GetCommModemStatus(THandle Port, uint32_t* ModemStatus) override;
  bool ClearCommError(THandle Port, uint32_t* Errors, TComStat* Stat) override;
  bool EscapeCommFunction(THandle Port, uint32_t Function) override;
  bool SetCommBreak(THandle Port) override;
  bool ClearCommBreak(THandle Port) override;
  bool PurgeComm(THandle Port, uint32_t Flags) override;
  bool GetCommProperties(THandle Port, TCommProp& Properties) override;

 private:
  std::shared_ptr<TLinuxPort> Find(THandle Port);

  const TDevicePlaces FPlaces;
  TLinuxSystem& FSystem;
  std::mutex FLock;
  std::map<THandle, std::shared_ptr<TLinuxPort>> FPorts;
  THandle FNextHandle = 0x1000;
};

}  // namespace serial
