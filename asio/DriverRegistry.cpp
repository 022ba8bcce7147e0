#include "asio/DriverRegistry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "asio/DriverCatalogue.h"

namespace asio {
namespace {

const char* const kDriversKey = "software\\asio";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads Digits hex digits at Text[Pos...] into Value.
bool ReadHex(const std::string& Text, std::size_t Pos, int Digits, uint64_t& Value) {
  Value = 0;
  for (int i = 0; i < Digits; ++i) {
    int d = HexDigit(Text[Pos + i]);
    if (d < 0) return false;
    Value = Value * 16 + static_cast<uint64_t>(d);
  }
  return true;
}

}  // namespace

void SetEntryText(char (&Field)[512], const std::string& Text) {
  const std::size_t n = std::min(Text.size(), sizeof(Field) - 1);
  std::memcpy(Field, Text.data(), n);
  std::memset(Field + n, 0, sizeof(Field) - n);
}

std::string EntryText(const char (&Field)[512]) {
  return std::string(Field, strnlen(Field, sizeof(Field)));
}

bool CLSIDFromString(const std::string& Text, TGUID& ClassId) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (Text.size() != 38 || Text[0] != '{' || Text[37] != '}' || Text[9] != '-' || Text[14] != '-' ||
      Text[19] != '-' || Text[24] != '-')
    return false;
  uint64_t v;
  TGUID g{};
  if (!ReadHex(Text, 1, 8, v)) return false;
  g.D1 = static_cast<uint32_t>(v);
  if (!ReadHex(Text, 10, 4, v)) return false;
  g.D2 = static_cast<uint16_t>(v);
  if (!ReadHex(Text, 15, 4, v)) return false;
  g.D3 = static_cast<uint16_t>(v);
  static const std::size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(Text, kBytePos[i], 2, v)) return false;
    g.D4[i] = static_cast<uint8_t>(v);
  }
  ClassId = g;
  return true;
}

std::string GUIDToString(const TGUID& ClassId) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(ClassId.D1), static_cast<unsigned>(ClassId.D2),
                static_cast<unsigned>(ClassId.D3), ClassId.D4[0], ClassId.D4[1], ClassId.D4[2],
                ClassId.D4[3], ClassId.D4[4], ClassId.D4[5], ClassId.D4[6], ClassId.D4[7]);
  return text;
}

std::string ReadRegistryString(const IDriverRegistry& Registry, TRegistryRoot Root,
                               const std::string& Path, const std::string& Name) {
  std::optional<TRegistryValue> value = Registry.ReadValue(Root, Path, Name);
  if (!value) return std::string();
  if (value->Kind != TRegistryValueKind::rvkString &&
      value->Kind != TRegistryValueKind::rvkExpandString)
    throw ERegistryException("Invalid data type for '" + Name + "'");
  return value->Text;
}

int FindDriverLibrary(const IDriverRegistry& Registry, const std::string& ClassIdText,
                      std::string& Path) {
  int answer = -1;
  Path.clear();
  const std::string key = "clsid\\" + ClassIdText + "\\InprocServer32";
  if (!Registry.KeyExists(TRegistryRoot::ClassesRoot, key)) return answer;
  const std::string stored = ReadRegistryString(Registry, TRegistryRoot::ClassesRoot, key, "");
  Path = stored;
  // A bare file name is looked for in the system directory, then in the
  // Windows directory; a path with a directory part is tested as it stands.
  if (!Path.empty() && Path.find('\\') == std::string::npos &&
      Path.find(':') == std::string::npos) {
    std::string dir;
    if (Registry.SystemDirectory(dir)) Path = dir + "\\" + stored;
    if (!Registry.FileExists(Path) && Registry.WindowsDirectory(dir)) Path = dir + "\\" + stored;
  }
  if (Registry.FileExists(Path)) answer = 0;
  return answer;
}

void EnumerateInstalledDrivers(const IDriverRegistry& Registry, TAsioDriverList& List,
                               std::vector<std::string>* Problems) {
  List.clear();
  std::vector<std::string> names;
  if (Registry.KeyExists(TRegistryRoot::LocalMachine, kDriversKey))
    names = Registry.SubKeyNames(TRegistryRoot::LocalMachine, kDriversKey);
  for (const std::string& name : names) {
    const std::string key = std::string(kDriversKey) + "\\" + name;
    if (!Registry.KeyExists(TRegistryRoot::LocalMachine, key)) continue;
    // A malformed entry is left out like any other unusable one: an error
    // here must not end the list, let alone the host's construction.
    try {
      const std::string clsid =
          ReadRegistryString(Registry, TRegistryRoot::LocalMachine, key, "clsid");
      std::string path;
      if (FindDriverLibrary(Registry, clsid, path) != 0) continue;
      TDriverEntry entry{};
      if (!CLSIDFromString(clsid, entry.ClassId))
        throw EOleSysError("Invalid class string", CO_E_CLASSSTRING);
      SetEntryText(entry.DisplayName, name);
      SetEntryText(entry.LibraryPath, path);
      List.push_back(entry);
    } catch (const std::exception& e) {
      if (Problems) Problems->push_back(name + ": " + e.what());
    }
  }
}

void AppendBuiltInDrivers(TAsioDriverList& List) {
  for (const TCatalogueEntry& e : DriverCatalogue::Entries()) {
    if (!e.Create) continue;
    TDriverEntry entry{};
    entry.ClassId = e.ClassId;
    SetEntryText(entry.DisplayName, e.Name);
    SetEntryText(entry.LibraryPath, e.LibraryPath);
    List.push_back(entry);
  }
}

#if !defined(_WIN32)  // Windows reads its registry (asio/win32)
void EnumerateInstalledDrivers(TAsioDriverList& List) {
  List.clear();
  AppendBuiltInDrivers(List);
}
#endif

}  // namespace asio
