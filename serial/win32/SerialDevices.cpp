#include "serial/SerialDevices.h"

#include "serial/win32/Win32Api.h"

namespace serial {

// Windows names its ports itself: the registry's serial-device map lists
// them, so the roots of the Linux tree play no part.
std::vector<std::string> ListSerialDevices(const std::string&, const std::string&) {
  return win32::SerialCommPorts();
}

}  // namespace serial
