// The port-driver names come first; <windows.h> after them, so its macros
// (the same numbers) only reach the code below.
#include "serial/PortErrors.h"

#include "serial/PortDriver.h"

#include <windows.h>

namespace serial {
namespace {

// The system's own words for a code, without the trailing line break.
std::string SystemMessage(uint32_t Code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, Code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n && text ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "system error" : message;
}

}  // namespace

std::string DescribePortError(const std::string& PortName, uint32_t Code) {
  const std::string name = PortName.rfind("\\\\.\\", 0) == 0 ? PortName.substr(4) : PortName;
  switch (Code) {
    case ERROR_SUCCESS:
      return name + ": no error";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return name + ": cannot open: no such device";
    // The system answers this when another program holds the port open.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return name + ": in use by another program";
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
      return name + ": the device hung up or went away";
    case ERROR_INVALID_PARAMETER:
      return name + ": the port cannot take these settings";
    default:
      break;
  }
  return name + ": " + SystemMessage(Code) + " (error " + std::to_string(Code) + ")";
}

}  // namespace serial
