#include <gtest/gtest.h>

#include <map>
#include <set>

#include "SubstituteDriver.h"
#include "asio/DriverCatalogue.h"
#include "asio/DriverRegistry.h"

namespace asio::test {
namespace {

// A registry of keys (in insertion order under each parent) and values,
// with a set of files that exist.
class TFakeRegistry : public IDriverRegistry {
 public:
  void AddKey(TRegistryRoot Root, const std::string& Path) {
    auto& keys = FKeys[Root];
    if (std::find(keys.begin(), keys.end(), Path) == keys.end()) keys.push_back(Path);
  }
  void SetValue(TRegistryRoot Root, const std::string& Path, const std::string& Name,
                TRegistryValue Value) {
    AddKey(Root, Path);
    FValues[{Root, Path, Name}] = std::move(Value);
  }
  // A driver key with its clsid and the class's server registration.
  void AddDriver(const std::string& Name, const std::string& ClassId, const std::string& Server) {
    SetValue(TRegistryRoot::LocalMachine, "software\\asio\\" + Name, "clsid",
             {TRegistryValueKind::rvkString, ClassId});
    SetValue(TRegistryRoot::ClassesRoot, "clsid\\" + ClassId + "\\InprocServer32", "",
             {TRegistryValueKind::rvkString, Server});
  }
  std::set<std::string> Files;
  std::string SystemDir = "C:\\WINDOWS\\system32";
  std::string WindowsDir = "C:\\WINDOWS";
  bool SystemDirReadable = true;

  bool KeyExists(TRegistryRoot Root, const std::string& Path) const override {
    auto it = FKeys.find(Root);
    return it != FKeys.end() &&
           std::find(it->second.begin(), it->second.end(), Path) != it->second.end();
  }
  std::vector<std::string> SubKeyNames(TRegistryRoot Root, const std::string& Path) const override {
    std::vector<std::string> names;
    auto it = FKeys.find(Root);
    if (it == FKeys.end()) return names;
    const std::string prefix = Path + "\\";
    for (const std::string& k : it->second)
      if (k.rfind(prefix, 0) == 0 && k.find('\\', prefix.size()) == std::string::npos)
        names.push_back(k.substr(prefix.size()));
    return names;
  }
  std::optional<TRegistryValue> ReadValue(TRegistryRoot Root, const std::string& Path,
                                          const std::string& Name) const override {
    auto it = FValues.find({Root, Path, Name});
    if (it == FValues.end()) return std::nullopt;
    return it->second;
  }
  bool SystemDirectory(std::string& Directory) const override {
    Directory = SystemDir;
    return SystemDirReadable;
  }
  bool WindowsDirectory(std::string& Directory) const override {
    Directory = WindowsDir;
    return true;
  }
  bool FileExists(const std::string& Path) const override { return Files.count(Path) > 0; }

 private:
  std::map<TRegistryRoot, std::vector<std::string>> FKeys;
  std::map<std::tuple<TRegistryRoot, std::string, std::string>, TRegistryValue> FValues;
};

const std::string kIdA = "{5EB57001-1234-4321-8001-020304050601}";
const std::string kIdB = "{5EB57002-1234-4321-8001-020304050602}";
const std::string kIdC = "{5EB57003-1234-4321-8001-020304050603}";

class DriverListTest : public ::testing::Test {
 protected:
  DriverListTest() { Reg.AddKey(TRegistryRoot::LocalMachine, "software\\asio"); }
  TFakeRegistry Reg;
  TAsioDriverList List;
  std::vector<std::string> Problems;
};

TEST(ClassIdText, ConvertsBothWaysAndRejectsMalformedText) {
  TGUID g{};
  ASSERT_TRUE(CLSIDFromString(kIdA, g));
  EXPECT_EQ(g, TestClassId(1));
  EXPECT_EQ(GUIDToString(g), kIdA);
  ASSERT_TRUE(CLSIDFromString("{5eb57001-1234-4321-8001-020304050601}", g));
  EXPECT_EQ(g, TestClassId(1));
  for (const char* bad :
       {"", "5EB57001-1234-4321-8001-020304050601", "{5EB57001-1234-4321-8001-02030405060G}",
        "{5EB57001+1234-4321-8001-020304050601}"})
    EXPECT_FALSE(CLSIDFromString(bad, g)) << bad;
}

TEST_F(DriverListTest, NoDriversKeyGivesAnEmptyList) {
  TFakeRegistry empty;
  List.resize(3);
  EnumerateInstalledDrivers(empty, List);
  EXPECT_TRUE(List.empty());
}

TEST_F(DriverListTest, ResolvesLibraryPathsAndKeepsRegistryOrder) {
  Reg.AddDriver("Zeta Card", kIdA, "zeta.dll");    // bare name in system dir
  Reg.AddDriver("Alpha Card", kIdB, "alpha.dll");  // bare name in Windows dir
  // A second key naming the same class.
  Reg.SetValue(TRegistryRoot::LocalMachine, "software\\asio\\Zeta Copy", "clsid",
               {TRegistryValueKind::rvkString, kIdA});
  Reg.Files = {"C:\\WINDOWS\\system32\\zeta.dll", "C:\\WINDOWS\\alpha.dll"};
  EnumerateInstalledDrivers(Reg, List);
  ASSERT_EQ(List.size(), 3u);
  EXPECT_EQ(EntryText(List[0].DisplayName), "Zeta Card");
  EXPECT_EQ(EntryText(List[0].LibraryPath), "C:\\WINDOWS\\system32\\zeta.dll");
  EXPECT_EQ(EntryText(List[1].DisplayName), "Alpha Card");
  EXPECT_EQ(EntryText(List[1].LibraryPath), "C:\\WINDOWS\\alpha.dll");
  EXPECT_EQ(List[1].ClassId, TestClassId(2));
  // Two keys with one class identifier: two entries, same ClassId.
  EXPECT_EQ(EntryText(List[2].DisplayName), "Zeta Copy");
  EXPECT_EQ(List[2].ClassId, List[0].ClassId);
  EXPECT_EQ(EntryText(List[2].LibraryPath), EntryText(List[0].LibraryPath));
}

TEST_F(DriverListTest, LeavesOutDriversThatCannotBeUsed) {
  Reg.AddDriver("Deleted", kIdA, "gone.dll");  // library deleted, keys remain
  Reg.AddKey(TRegistryRoot::LocalMachine, "software\\asio\\No Clsid");
  Reg.SetValue(TRegistryRoot::LocalMachine, "software\\asio\\Unregistered", "clsid",
               {TRegistryValueKind::rvkString, kIdC});  // no InprocServer32 key
  Reg.AddDriver("Good", kIdB, "C:\\good.dll");
  Reg.Files = {"C:\\good.dll"};
  EnumerateInstalledDrivers(Reg, List, &Problems);
  ASSERT_EQ(List.size(), 1u);
  EXPECT_EQ(EntryText(List[0].DisplayName), "Good");
  EXPECT_TRUE(Problems.empty());  // silently
}

TEST_F(DriverListTest, MalformedEntriesAreLeftOutAndTheEnumerationGoesOn) {
  Reg.SetValue(TRegistryRoot::LocalMachine, "software\\asio\\Binary Clsid", "clsid",
               {TRegistryValueKind::rvkOther, ""});
  Reg.AddDriver("Binary Server", kIdA, "");
  Reg.SetValue(TRegistryRoot::ClassesRoot, "clsid\\" + kIdA + "\\InprocServer32", "",
               {TRegistryValueKind::rvkOther, ""});
  Reg.AddDriver("Bad Text", "not-a-guid", "C:\\bad.dll");
  Reg.AddDriver("Good", kIdB, "C:\\good.dll");
  Reg.Files = {"C:\\bad.dll", "C:\\good.dll"};
  EnumerateInstalledDrivers(Reg, List, &Problems);
  ASSERT_EQ(List.size(), 1u);
  EXPECT_EQ(EntryText(List[0].DisplayName), "Good");
  ASSERT_EQ(Problems.size(), 3u);
  EXPECT_EQ(Problems[0], "Binary Clsid: Invalid data type for 'clsid'");
  EXPECT_EQ(Problems[1], "Binary Server: Invalid data type for ''");
  EXPECT_EQ(Problems[2], "Bad Text: Invalid class string");
}

TEST_F(DriverListTest, FindDriverLibraryAnswersAndReportsTheLastPathTried) {
  std::string path = "stale";
  EXPECT_EQ(FindDriverLibrary(Reg, kIdA, path), -1);
  EXPECT_EQ(path, "");  // no class key
  Reg.AddDriver("X", kIdA, "x.dll");
  EXPECT_EQ(FindDriverLibrary(Reg, kIdA, path), -1);
  EXPECT_EQ(path, "C:\\WINDOWS\\x.dll");  // system dir, then Windows dir
  Reg.SystemDirReadable = false;
  Reg.Files = {"C:\\WINDOWS\\x.dll"};
  EXPECT_EQ(FindDriverLibrary(Reg, kIdA, path), 0);
  EXPECT_EQ(path, "C:\\WINDOWS\\x.dll");
  // Expandable strings are read as stored; a drive letter is a directory part.
  Reg.SetValue(TRegistryRoot::ClassesRoot, "clsid\\" + kIdA + "\\InprocServer32", "",
               {TRegistryValueKind::rvkExpandString, "%SystemRoot%:x.dll"});
  Reg.Files.insert("%SystemRoot%:x.dll");
  EXPECT_EQ(FindDriverLibrary(Reg, kIdA, path), 0);
  EXPECT_EQ(path, "%SystemRoot%:x.dll");
  Reg.SetValue(TRegistryRoot::ClassesRoot, "clsid\\" + kIdA + "\\InprocServer32", "",
               {TRegistryValueKind::rvkOther, ""});
  EXPECT_THROW(FindDriverLibrary(Reg, kIdA, path), ERegistryException);
}

TEST_F(DriverListTest, LongTextIsCutToFitWithItsZero) {
  const std::string longPath = "C:\\" + std::string(600, 'p') + ".dll";
  Reg.AddDriver(std::string(700, 'n'), kIdA, longPath);
  Reg.Files = {longPath};
  EnumerateInstalledDrivers(Reg, List);
  ASSERT_EQ(List.size(), 1u);
  EXPECT_EQ(EntryText(List[0].LibraryPath), longPath.substr(0, 511));
  EXPECT_EQ(List[0].LibraryPath[511], '\0');
  EXPECT_EQ(EntryText(List[0].DisplayName), std::string(511, 'n'));
}

TEST(CatalogueList, ListsUsableBuiltInDriversInCatalogueOrder) {
  TSubstituteFactory factory;
  TCatalogueEntry unusable;
  unusable.ClassId = TestClassId(5);
  unusable.Name = "No Factory";
  DriverCatalogue::TScopedCatalogue catalogue(
      {factory.Entry("First", TestClassId(1)), unusable, factory.Entry("Second", TestClassId(2))});
  TAsioDriverList list;
  EnumerateInstalledDrivers(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(EntryText(list[0].DisplayName), "First");
  EXPECT_EQ(EntryText(list[0].LibraryPath), "builtin:First");
  EXPECT_EQ(list[1].ClassId, TestClassId(2));
}

}  // namespace
}  // namespace asio::test
