#pragma once
// The list of installed drivers. Where a driver registry exists, the list
// is read from it through IDriverRegistry (driver keys under
// "software\asio", class registrations under "clsid\"); on this platform
// the built-in driver catalogue supplies the same three fields per entry.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "asio/ASIODriver.h"

namespace asio {

// One listed driver; a plain 1040-byte record.
struct TDriverEntry {
  TGUID ClassId;
  char DisplayName[512];  // zero-terminated
  char LibraryPath[512];  // zero-terminated
};
static_assert(sizeof(TDriverEntry) == 1040);

using TAsioDriverList = std::vector<TDriverEntry>;

// Copies Text into a fixed text field, cut so that it and its zero fit.
void SetEntryText(char (&Field)[512], const std::string& Text);
// A fixed text field up to its first zero.
std::string EntryText(const char (&Field)[512]);

// The read-only registry and file services the list needs.
enum class TRegistryRoot { LocalMachine, ClassesRoot };

enum class TRegistryValueKind {
  rvkString,        // plain string
  rvkExpandString,  // expandable string, read as stored
  rvkOther          // any other kind (binary, number, ...)
};

struct TRegistryValue {
  TRegistryValueKind Kind = TRegistryValueKind::rvkString;
  std::string Text;  // the data of a string kind
};

class IDriverRegistry {
 public:
  virtual ~IDriverRegistry() = default;
  // Whether the key opens read-only.
  virtual bool KeyExists(TRegistryRoot Root, const std::string& Path) const = 0;
  // The names of the key's subkeys, in the registry's order.
  virtual std::vector<std::string> SubKeyNames(TRegistryRoot Root,
                                               const std::string& Path) const = 0;
  // A value of the key; Name "" is the default value. Empty when missing.
  virtual std::optional<TRegistryValue> ReadValue(TRegistryRoot Root, const std::string& Path,
                                                  const std::string& Name) const = 0;
  // False when the directory cannot be read.
  virtual bool SystemDirectory(std::string& Directory) const = 0;
  virtual bool WindowsDirectory(std::string& Directory) const = 0;
  virtual bool FileExists(const std::string& Path) const = 0;
};

// A registry value that exists but is not text.
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A class-identifier text that does not convert.
class EOleSysError : public std::runtime_error {
 public:
  EOleSysError(const std::string& Message, int32_t ErrorCode)
      : std::runtime_error(Message), FErrorCode(ErrorCode) {}
  int32_t ErrorCode() const { return FErrorCode; }

 private:
  int32_t FErrorCode;
};

// The failure code of a class-identifier text that is not one.
constexpr int32_t CO_E_CLASSSTRING = static_cast<int32_t>(0x800401F3u);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits of either case) to
// the binary layout; false for anything else.
bool CLSIDFromString(const std::string& Text, TGUID& ClassId);
// The braced, upper-case text of a class identifier.
std::string GUIDToString(const TGUID& ClassId);

// Reads a string value: missing reads as empty text; a value of another
// kind raises ERegistryException "Invalid data type for '<name>'".
std::string ReadRegistryString(const IDriverRegistry& Registry, TRegistryRoot Root,
                               const std::string& Path, const std::string& Name);

// 0 and the library path when ClassIdText names an in-process server whose
// library file exists, else -1 (Path then holds the last path tried, or is
// empty when the class key is missing). Raises ERegistryException when the
// server's default value is not text.
int FindDriverLibrary(const IDriverRegistry& Registry, const std::string& ClassIdText,
                      std::string& Path);

// Empties List and fills it from the registry, in key order. An entry that
// cannot be used is left out and the enumeration goes on; Problems, when
// given, receives the message of each entry left out by an error.
void EnumerateInstalledDrivers(const IDriverRegistry& Registry, TAsioDriverList& List,
                               std::vector<std::string>* Problems = nullptr);

// The platform's list: on this platform the built-in driver catalogue, in
// its stable order, only entries that can create a driver object.
void EnumerateInstalledDrivers(TAsioDriverList& List);
// Appends those built-in entries to List.
void AppendBuiltInDrivers(TAsioDriverList& List);

}  // namespace asio
