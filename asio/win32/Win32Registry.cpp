#include "asio/win32/Win32Registry.h"

#include "core/StatusChannel.h"

#include <windows.h>

namespace asio::win32 {
namespace {

HKEY RootKey(TRegistryRoot Root) {
  return Root == TRegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CLASSES_ROOT;
}

// An open key, closed with its owner.
struct TKey {
  TKey(TRegistryRoot Root, const std::string& Path) {
    if (RegOpenKeyExA(RootKey(Root), Path.c_str(), 0, KEY_READ, &Key) != ERROR_SUCCESS)
      Key = nullptr;
  }
  ~TKey() {
    if (Key) RegCloseKey(Key);
  }
  TKey(const TKey&) = delete;
  TKey& operator=(const TKey&) = delete;
  HKEY Key = nullptr;
};

bool Directory(UINT(WINAPI* Get)(LPSTR, UINT), std::string& Out) {
  char path[MAX_PATH + 1];
  const UINT n = Get(path, sizeof(path));
  if (n == 0 || n > MAX_PATH) return false;
  Out.assign(path, n);
  return true;
}

}  // namespace

bool TWin32Registry::KeyExists(TRegistryRoot Root, const std::string& Path) const {
  return TKey(Root, Path).Key != nullptr;
}

std::vector<std::string> TWin32Registry::SubKeyNames(TRegistryRoot Root,
                                                     const std::string& Path) const {
  std::vector<std::string> names;
  TKey key(Root, Path);
  if (!key.Key) return names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof(name);
    const LONG result =
        RegEnumKeyExA(key.Key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_SUCCESS)
      names.emplace_back(name, length);
    else if (result != ERROR_MORE_DATA)
      break;
  }
  return names;
}

std::optional<TRegistryValue> TWin32Registry::ReadValue(TRegistryRoot Root, const std::string& Path,
                                                        const std::string& Name) const {
  TKey key(Root, Path);
  if (!key.Key) return std::nullopt;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExA(key.Key, Name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  std::string data(bytes, '\0');
  if (bytes > 0 && RegQueryValueExA(key.Key, Name.c_str(), nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  data.resize(bytes);
  TRegistryValue value;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    // Stored with its zero, or without one: the text ends at the first.
    const std::size_t end = data.find('\0');
    value.Text = end == std::string::npos ? data : data.substr(0, end);
    value.Kind =
        type == REG_SZ ? TRegistryValueKind::rvkString : TRegistryValueKind::rvkExpandString;
  } else {
    value.Kind = TRegistryValueKind::rvkOther;
  }
  return value;
}

bool TWin32Registry::SystemDirectory(std::string& Out) const {
  return Directory(GetSystemDirectoryA, Out);
}

bool TWin32Registry::WindowsDirectory(std::string& Out) const {
  return Directory(GetWindowsDirectoryA, Out);
}

bool TWin32Registry::FileExists(const std::string& Path) const {
  if (Path.empty()) return false;
  // Installers often store the server's path as an expandable string
  // ("%ProgramFiles%\..."); the file is where it expands to.
  std::string expanded(MAX_PATH, '\0');
  DWORD n =
      ExpandEnvironmentStringsA(Path.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
  if (n > expanded.size()) {
    expanded.assign(n, '\0');
    n = ExpandEnvironmentStringsA(Path.c_str(), expanded.data(), n);
  }
  expanded = n > 0 && n <= expanded.size() ? expanded.substr(0, n - 1) : Path;
  const DWORD attributes = GetFileAttributesA(expanded.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace asio::win32

namespace asio {

// The installed drivers from the registry, then the built-in ones.
void EnumerateInstalledDrivers(TAsioDriverList& List) {
  // A malformed entry is named on the status line, not just left out.
  std::vector<std::string> problems;
  EnumerateInstalledDrivers(win32::TWin32Registry(), List, &problems);
  for (const std::string& p : problems)
    core::PostStatus(core::ssHost, core::svWarning, 0, "Installed audio driver left out: " + p);
  AppendBuiltInDrivers(List);
}

}  // namespace asio
