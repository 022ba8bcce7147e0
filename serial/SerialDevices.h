#pragma once
#include <string>
#include <vector>

namespace serial {

// The serial devices present, as device paths: the /dev/serial/by-id links
// first, then the ttyUSB* and ttyACM* nodes no listed link points to, then
// the ttyS* ports that have a UART behind them (sysfs type not 0). Each
// group is in natural order (ttyUSB2 before ttyUSB10). An active system
// console is left out. The roots are parameters so tests can lay out a
// tree of their own.
std::vector<std::string> ListSerialDevices(const std::string& DevRoot = "/dev",
                                           const std::string& SysRoot = "/sys");

}  // namespace serial
