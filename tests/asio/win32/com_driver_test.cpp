// The real host drives the project's own test driver through COM: the
// driver is registered in the wine prefix's registry beside a malformed
// and a dangling entry, listed, created in-process, and run on its own
// callback thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "TestDriverControl.h"
#include "asio/DASIOHost.h"
#include "asio/DriverRegistry.h"
#include "asio/QuilASIO.h"
#include "asio/drivers/win32/Win32Drivers.h"
#include "core/MainThread.h"
#include "core/StatusChannel.h"

#include <windows.h>

namespace asio::test {
namespace {

const char kDriversKey[] = "Software\\ASIO";
const char kTestName[] = "Rig Test Driver";
const char kBrokenName[] = "Rig Broken Entry";      // clsid is not text
const char kDanglingName[] = "Rig Dangling Entry";  // its library file is missing
const char kDanglingClsid[] = "{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}";
// Its server's path is an expandable string, as installers write it.
const char kExpandedName[] = "Rig Expanded Entry";
const char kExpandedClsid[] = "{1B2C3D4E-5F60-4B7C-9D8E-0F1A2B3C4D5E}";

void SetString(HKEY Root, const std::string& Key, const char* Name, const std::string& Value,
               DWORD Type = REG_SZ) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(Root, Key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << Key;
  ASSERT_EQ(RegSetValueExA(key, Name, 0, Type, reinterpret_cast<const BYTE*>(Value.c_str()),
                           static_cast<DWORD>(Value.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string ModuleFolder() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of('\\'));
}

// Registers the drivers for the test program's life and loads the test
// driver's control surface.
class ComDriver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    core::MainThread::SetMainThread();
    drivers::win32::RegisterWin32Drivers();
    DllPath = ModuleFolder() + "\\" + rigtest::kTestDriverDll;
    const std::string classKey =
        std::string("Software\\Classes\\CLSID\\") + rigtest::kTestDriverClsidText;
    SetString(HKEY_LOCAL_MACHINE, classKey + "\\InprocServer32", "", DllPath);
    SetString(HKEY_LOCAL_MACHINE, classKey + "\\InprocServer32", "ThreadingModel", "Both");
    const std::string testKey = std::string(kDriversKey) + "\\" + kTestName;
    SetString(HKEY_LOCAL_MACHINE, testKey, "CLSID", rigtest::kTestDriverClsidText);
    SetString(HKEY_LOCAL_MACHINE, testKey, "Description", kTestName);

    HKEY key = nullptr;
    const std::string brokenKey = std::string(kDriversKey) + "\\" + kBrokenName;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, brokenKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                    nullptr);
    const DWORD number = 7;
    RegSetValueExA(key, "CLSID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                   sizeof(number));
    RegCloseKey(key);
    const std::string danglingKey = std::string(kDriversKey) + "\\" + kDanglingName;
    SetString(HKEY_LOCAL_MACHINE, danglingKey, "CLSID", kDanglingClsid);
    SetString(HKEY_LOCAL_MACHINE,
              std::string("Software\\Classes\\CLSID\\") + kDanglingClsid + "\\InprocServer32", "",
              ModuleFolder() + "\\no_such_driver.dll");
    SetEnvironmentVariableA("RIG_TEST_DRIVER_DIR", ModuleFolder().c_str());
    SetString(HKEY_LOCAL_MACHINE, std::string(kDriversKey) + "\\" + kExpandedName, "CLSID",
              kExpandedClsid);
    SetString(HKEY_LOCAL_MACHINE,
              std::string("Software\\Classes\\CLSID\\") + kExpandedClsid + "\\InprocServer32", "",
              std::string("%RIG_TEST_DRIVER_DIR%\\") + rigtest::kTestDriverDll, REG_EXPAND_SZ);

    Module = LoadLibraryA(DllPath.c_str());
    ASSERT_NE(Module, nullptr) << DllPath;
    auto control = reinterpret_cast<rigtest::TControlFunction>(
        reinterpret_cast<void*>(GetProcAddress(Module, "RigTestDriverControl")));
    Halves = reinterpret_cast<rigtest::THalvesFunction>(
        reinterpret_cast<void*>(GetProcAddress(Module, "RigTestDriverHalves")));
    ASSERT_TRUE(control && Halves);
    Control = control();
  }

  void SetUp() override {
    ASSERT_NE(Control, nullptr);
    Control->Reset();
  }

  // The host and the index of the test driver in its list.
  int32_t TestIndex(const TASIOHost& Host) {
    const auto& names = Host.DriverList();
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == kTestName) return static_cast<int32_t>(i);
    return -1;
  }

  template <typename Pred>
  static bool PumpUntil(Pred Done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Done()) {
      core::MainThread::CheckSynchronize();
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  static std::string DllPath;
  static HMODULE Module;
  static rigtest::TTestDriverControl* Control;
  static rigtest::THalvesFunction Halves;
};

std::string ComDriver::DllPath;
HMODULE ComDriver::Module = nullptr;
rigtest::TTestDriverControl* ComDriver::Control = nullptr;
rigtest::THalvesFunction ComDriver::Halves = nullptr;

TEST_F(ComDriver, TheRegistryListsTheTestDriverAndLeavesTheBrokenEntriesOut) {
  core::StatusChannel().Drain();
  TAsioDriverList list;
  EnumerateInstalledDrivers(list);
  // The malformed entry is named on the status line; the one whose file is
  // missing is simply not installed.
  bool named = false;
  for (core::TStatusRecord r; core::StatusChannel().Read(r);)
    named = named || (r.Severity == core::svWarning &&
                      r.TextView().find(kBrokenName) != std::string_view::npos);
  EXPECT_TRUE(named);
  std::vector<std::string> names;
  for (const TDriverEntry& e : list)
    names.push_back(EntryText(e.DisplayName));
  const auto it = std::find(names.begin(), names.end(), kTestName);
  ASSERT_NE(it, names.end());
  const TDriverEntry& entry = list[static_cast<size_t>(it - names.begin())];
  EXPECT_EQ(entry.ClassId, rigtest::kTestDriverClsid);
  EXPECT_EQ(EntryText(entry.LibraryPath), DllPath);
  EXPECT_EQ(std::count(names.begin(), names.end(), kBrokenName), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), kDanglingName), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), kExpandedName), 1);
  // The built-in driver follows the installed ones.
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back().ClassId, drivers::win32::kSelfClockedClsid);
  EXPECT_LT(it - names.begin(), static_cast<std::ptrdiff_t>(list.size()) - 1);
}

TEST_F(ComDriver, TheBuiltInDriverRunsThroughTheHostOnItsOwnClock) {
  TASIOHost host;
  const auto& names = host.DriverList();
  ASSERT_FALSE(names.empty());
  std::atomic<int> halves{0};
  host.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                            dsp::TArrayOfSingleArray& Out) {
    EXPECT_EQ(Out.size(), 2u);
    halves.fetch_add(1);
  };
  host.SetDriverIndex(static_cast<int32_t>(names.size()) - 1);
  EXPECT_EQ(host.DriverName(), "Self-clocked (discard)");
  ASSERT_TRUE(host.BuffersCreated());
  EXPECT_EQ(host.BufferSize(), 256u);
  host.SetActive(true);
  ASSERT_TRUE(host.Active());
  ASSERT_TRUE(PumpUntil([&] { return halves.load() >= 4; }));
  // Stopping ends the callback thread before it returns.
  host.SetActive(false);
  const int stopped = halves.load();
  host.SetDriverIndex(-1);
  EXPECT_EQ(halves.load(), stopped);
}

TEST_F(ComDriver, AnUnknownClassIdentifierMakesNoAdapter) {
  TGUID unknown;
  ASSERT_TRUE(CLSIDFromString(kDanglingClsid, unknown));
  TInterfaceRef<IQuilASIO> driver;
  EXPECT_FALSE(CreateQuilASIO(unknown, driver));
  EXPECT_FALSE(driver);
}

TEST_F(ComDriver, LoadedThroughComTheDriverGetsTheUtilityWindowAndMakesItsBuffers) {
  Control->OutputLatency = 500;
  {
    TASIOHost host;
    const int32_t index = TestIndex(host);
    ASSERT_GE(index, 0);
    int latencyEvents = 0;
    host.OnLatencyChanged = [&](core::TObject*) { ++latencyEvents; };
    host.SetDriverIndex(index);
    EXPECT_EQ(Control->LiveObjects.load(), 1);
    ASSERT_NE(Control->InitHandle, nullptr);
    EXPECT_EQ(Control->InitHandle, host.Handle());
    EXPECT_TRUE(IsWindow(static_cast<HWND>(Control->InitHandle)));
    EXPECT_FALSE(IsWindowVisible(static_cast<HWND>(Control->InitHandle)));
    EXPECT_EQ(host.DriverVersion(), 7);
    EXPECT_TRUE(host.CanDos().Contains(acdTimeInfo));
    EXPECT_TRUE(host.BuffersCreated());
    EXPECT_EQ(host.BufferSize(), 256u);
    EXPECT_EQ(host.SampleRate(), 48000.0);
    EXPECT_EQ(host.InputChannels(), 2);
    EXPECT_EQ(host.OutputChannels(), 2);
    EXPECT_EQ(Control->BufferSize, 256);
    EXPECT_EQ(Control->BufferChannels, 4);
    EXPECT_EQ(host.InputLatency(), 300);
    EXPECT_EQ(host.OutputLatency(), 500);
    EXPECT_EQ(latencyEvents, 1);
  }
  // The host's end releases the driver object.
  EXPECT_EQ(Control->LiveObjects.load(), 0);
}

// A tone written on the driver's thread arrives in the driver's halves as
// 32-bit integers; the latency and reset requests come from that thread.
TEST_F(ComDriver, AToneArrivesInTheHalvesAndTheDriversRequestsAreServed) {
  TASIOHost host;
  const int32_t index = TestIndex(host);
  ASSERT_GE(index, 0);
  std::atomic<uint32_t> phase{0};
  host.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                            dsp::TArrayOfSingleArray& Out) {
    uint32_t n = phase.load();
    for (size_t i = 0; i < Out[0].size(); ++i, ++n) {
      const float v = 0.5f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * n / 64.0));
      Out[0][i] = v;
      Out[1][i] = -v;
    }
    phase.store(n);
  };
  std::atomic<int> latencyEvents{0};
  host.OnLatencyChanged = [&](core::TObject*) { latencyEvents.fetch_add(1); };
  host.SetDriverIndex(index);
  ASSERT_TRUE(host.BuffersCreated());
  host.SetActive(true);
  ASSERT_TRUE(host.Active());
  ASSERT_TRUE(PumpUntil([&] { return Control->Callbacks.load() >= 8; }));

  std::vector<rigtest::THalfRecord> halves(rigtest::kKeptHalves);
  const uint32_t got = Halves(1, halves.data(), rigtest::kKeptHalves);
  ASSERT_GE(got, 8u);
  // Every half after the first holds the tone, the halves alternate, and
  // the tone runs on from one half to the next.
  for (uint32_t h = 1; h < 8; ++h) {
    const rigtest::THalfRecord& r = halves[h];
    EXPECT_EQ(r.Index, static_cast<int32_t>(h % 2));
    ASSERT_EQ(r.Bytes, 256 * 4);
    const auto* left = reinterpret_cast<const int32_t*>(r.Data[0]);
    const auto* right = reinterpret_cast<const int32_t*>(r.Data[1]);
    const uint32_t start = static_cast<uint32_t>(h) * 256;
    for (int i = 0; i < 256; i += 37) {
      const double expected =
          0.5f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * (start + i) / 64.0));
      EXPECT_NEAR(left[i] / 2147483647.0, expected, 1e-6) << "half " << h << " sample " << i;
      EXPECT_EQ(right[i], -left[i]);
    }
  }

  // Creating the buffers reported the first latencies already; count
  // only the event of the driver's message.
  latencyEvents = 0;
  Control->OutputLatency = 900;
  Control->MessageToSend = kAsioLatenciesChanged;
  ASSERT_TRUE(PumpUntil([&] { return latencyEvents.load() >= 1 && Control->MessageAnswer >= 0; }));
  EXPECT_EQ(Control->MessageAnswer.load(), 1);
  EXPECT_EQ(host.OutputLatency(), 900);

  // A reset reloads the driver: a new object, buffers again, running again.
  const uint32_t created = Control->Calls[rigtest::opCreateBuffers].load();
  Control->MessageAnswer = -1;
  Control->MessageToSend = kAsioResetRequest;
  ASSERT_TRUE(PumpUntil([&] {
    return Control->Calls[rigtest::opCreateBuffers].load() > created &&
           Control->Calls[rigtest::opStart].load() >= 2;
  }));
  EXPECT_EQ(Control->MessageAnswer.load(), 1);
  EXPECT_TRUE(host.Active());
  EXPECT_EQ(Control->LiveObjects.load(), 1);
  const uint64_t before = Control->Callbacks.load();
  ASSERT_TRUE(PumpUntil([&] { return Control->Callbacks.load() > before + 2; }));

  host.SetActive(false);
  EXPECT_FALSE(Control->Running.load());
  host.SetDriverIndex(-1);
  EXPECT_EQ(Control->LiveObjects.load(), 0);
}

TEST_F(ComDriver, FailingCallsLeaveTheHostWithoutDriverBuffersOrRunning) {
  TASIOHost host;
  const int32_t index = TestIndex(host);
  ASSERT_GE(index, 0);

  Control->FailMask = 1u << rigtest::opInit;
  host.SetDriverIndex(index);
  EXPECT_EQ(Control->LiveObjects.load(), 0);  // released after Init said no
  EXPECT_FALSE(host.BuffersCreated());
  EXPECT_EQ(host.OutputChannels(), 0);

  host.SetDriverIndex(-1);
  Control->FailMask = 1u << rigtest::opCreateBuffers;
  host.SetDriverIndex(index);
  EXPECT_EQ(Control->LiveObjects.load(), 1);
  EXPECT_FALSE(host.BuffersCreated());

  host.SetDriverIndex(-1);
  Control->FailMask = 1u << rigtest::opStart;
  host.SetDriverIndex(index);
  EXPECT_TRUE(host.BuffersCreated());
  const uint32_t stops = Control->Calls[rigtest::opStop].load();
  host.SetActive(true);
  EXPECT_FALSE(host.Active());
  EXPECT_EQ(Control->Calls[rigtest::opStop].load(), stops + 1);
  host.SetDriverIndex(-1);
  EXPECT_EQ(Control->LiveObjects.load(), 0);
}

}  // namespace
}  // namespace asio::test
