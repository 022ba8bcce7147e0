#include "serial/SerialDevices.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "serial/linux/DeviceOpen.h"

namespace serial {
namespace {

namespace fs = std::filesystem;

// ttyUSB2 before ttyUSB10: compare the text before the trailing number, then the number.
bool NaturalLess(const std::string& A, const std::string& B) {
  auto split = [](const std::string& S) {
    size_t digits = S.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(S[digits - 1])))
      --digits;
    const std::string tail = S.substr(digits);
    const unsigned long number = tail.empty() || tail.size() > 9 ? 0 : std::stoul(tail);
    return std::make_pair(S.substr(0, digits), number);
  };
  const auto a = split(A);
  const auto b = split(B);
  if (a != b) return a < b;
  return A < B;
}

std::vector<std::string> Entries(const fs::path& Folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(Folder, error), end; !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& DevRoot, const std::string& SysRoot) {
  std::vector<std::string> devices;
  std::set<std::string> linked;
  std::error_code error;

  const fs::path byId = fs::path(DevRoot) / "serial" / "by-id";
  for (const std::string& name : Entries(byId)) {
    const fs::path link = byId / name;
    if (!fs::is_symlink(fs::symlink_status(link, error))) continue;
    const fs::path target = fs::weakly_canonical(link, error);
    if (error) continue;
    linked.insert(target.filename().string());
    devices.push_back(link.string());
  }

  const std::vector<std::string> nodes = Entries(DevRoot);
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (const std::string& name : nodes)
      if (name.rfind(prefix, 0) == 0 && name.size() > std::string(prefix).size() &&
          !linked.count(name))
        devices.push_back((fs::path(DevRoot) / name).string());

  // Every ttyS node exists on most machines; only those with a UART behind
  // them (a sysfs port type other than 0) are ports.
  for (const std::string& name : nodes) {
    if (name.rfind("ttyS", 0) != 0 || name.size() == 4) continue;
    std::ifstream type(fs::path(SysRoot) / "class" / "tty" / name / "type");
    int value = 0;
    if (type >> value && value != 0) devices.push_back((fs::path(DevRoot) / name).string());
  }
  // The active console is never opened, so it is not offered either.
  devices.erase(
      std::remove_if(devices.begin(), devices.end(),
                     [&](const std::string& Path) { return IsConsoleDevice(Path, SysRoot); }),
      devices.end());
  return devices;
}

}  // namespace serial
