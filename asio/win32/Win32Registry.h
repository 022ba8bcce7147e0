#pragma once
// The driver list's registry and file services over the system registry,
// opened read-only (KEY_READ), in the registry view of the process's own
// word size.
#include "asio/DriverRegistry.h"

namespace asio::win32 {

class TWin32Registry final : public IDriverRegistry {
 public:
  bool KeyExists(TRegistryRoot Root, const std::string& Path) const override;
  std::vector<std::string> SubKeyNames(TRegistryRoot Root, const std::string& Path) const override;
  std::optional<TRegistryValue> ReadValue(TRegistryRoot Root, const std::string& Path,
                                          const std::string& Name) const override;
  bool SystemDirectory(std::string& Directory) const override;
  bool WindowsDirectory(std::string& Directory) const override;
  bool FileExists(const std::string& Path) const override;
};

}  // namespace asio::win32
