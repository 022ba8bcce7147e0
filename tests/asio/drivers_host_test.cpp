// The built-in drivers under the real host: rate, latencies, restarts,
// driver switching, a buffer-size change through the reset request, and a
// known signal converted by the host and written by the ALSA driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "asio/DASIOHost.h"
#include "asio/DriverCatalogue.h"
#include "asio/drivers/linux/LinuxDrivers.h"
#include "drivers_private_jack.h"
#include "drivers_stand_in.h"

using namespace asio;
using namespace asio::drivers;
using rigtest::TStandInHost;

namespace {

const char* kAlsaJackConfig =
    "pcm.rigjack { type jack playback_ports { 0 system:playback_1 1 system:playback_2 } "
    "capture_ports { 0 system:capture_1 1 system:capture_2 } }";

TCatalogueEntry Entry(const std::string& Name, std::function<IASIODriver*()> Create) {
  TCatalogueEntry e;
  e.Name = Name;
  e.ClassId = NameBasedClassId("test", Name);
  e.LibraryPath = "built-in";
  e.Create = std::move(Create);
  return e;
}

TCatalogueEntry JackEntry() {
  return Entry("JACK", [] { return CreateJackDriver(TJackOptions{}); });
}
TCatalogueEntry AlsaJackEntry() {
  return Entry("ALSA rig jack", [] {
    return CreateAlsaDriver({"ALSA rig jack", "rigjack", kAlsaJackConfig});
  });
}
TCatalogueEntry SelfClockedEntry() {
  return Entry("Self-clocked (discard)", [] { return CreateSelfClockedDriver({}); });
}

// Counts the host's buffer switches.
struct TCounter {
  std::atomic<int64_t> Calls{0};
  void Attach(TASIOHost& Host) {
    Host.OnBufferSwitch = [this](core::TObject*, const dsp::TArrayOfSingleArray&,
                                 dsp::TArrayOfSingleArray&) { Calls.fetch_add(1); };
  }
  // Calls per expected call over Seconds of running.
  double Rate(TASIOHost& Host, double Seconds) {
    int64_t before = Calls.load();
    auto t0 = std::chrono::steady_clock::now();
    TStandInHost::WaitFor([] { return false; }, Seconds);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return static_cast<double>(Calls.load() - before) /
           (elapsed * Host.SampleRate() / Host.BufferSize());
  }
};

struct TSettingsGuard {
  ~TSettingsGuard() {
    SetControlPanelHook({});
    ClearDriverSettings();
    while (core::MainThread::CheckSynchronize()) {
    }
  }
};

}  // namespace

TEST(DriversUnderHost, JackRunsRestartsAndSwitchesDrivers) {
  RIG_NEED_JACK();
  DriverCatalogue::TScopedCatalogue catalogue({JackEntry(), AlsaJackEntry(), SelfClockedEntry()});
  TASIOHost host;
  TCounter counter;
  counter.Attach(host);
  host.SetDriverIndex(0);
  ASSERT_TRUE(host.BuffersCreated());
  EXPECT_EQ(host.SampleRate(), 48000.0);
  EXPECT_EQ(host.OutputChannels(), 2);
  EXPECT_GT(host.OutputLatency(), static_cast<int32_t>(host.BufferSize()) - 1);
  host.SetActive(true);
  ASSERT_TRUE(host.Active());
  EXPECT_GE(counter.Rate(host, 0.6), 0.9);
  for (int round = 0; round < 2; ++round) {
    host.SetActive(false);
    host.SetActive(true);
    EXPECT_GE(counter.Rate(host, 0.3), 0.9) << round;
  }
  // Switching while active stops the old driver and starts the new one.
  for (int32_t index : {1, 2, 0}) {
    host.SetDriverIndex(index);
    EXPECT_TRUE(host.Active()) << index;
    EXPECT_GT(host.OutputLatency(), 0) << index;
    EXPECT_GE(counter.Rate(host, 0.5), 0.9) << host.DriverName();
  }
  host.SetActive(false);
  int64_t stopped = counter.Calls.load();
  TStandInHost::WaitFor([] { return false; }, 0.05);
  EXPECT_EQ(counter.Calls.load(), stopped);
}

TEST(DriversUnderHost, AControlPanelPickReloadsTheDriverWithTheNewBufferSize) {
  RIG_NEED_JACK();
  TSettingsGuard guard;
  DriverCatalogue::TScopedCatalogue catalogue({AlsaJackEntry(), SelfClockedEntry()});
  for (int32_t index : {0, 1}) {
    TASIOHost host;
    TCounter counter;
    counter.Attach(host);
    std::atomic<int> resets{0};
    host.OnReset = [&](core::TObject*) { resets.fetch_add(1); };
    host.SetDriverIndex(index);
    host.SetActive(true);
    // ALSA starts at 128 frames or the server's period, self-clocked at 64.
    if (index == 1) {
      EXPECT_EQ(host.BufferSize(), 64u);
    }
    ASSERT_LT(host.BufferSize(), 512u);
    SetControlPanelHook([](const TPanelChoices&, TPanelPick& Pick) {
      Pick.BufferSize = 512;
      return true;
    });
    host.ShowControlPanel();
    EXPECT_TRUE(TStandInHost::WaitFor([&] { return resets.load() == 1; }, 3)) << index;
    EXPECT_EQ(host.BufferSize(), 512u);
    EXPECT_TRUE(host.Active());
    EXPECT_GE(counter.Rate(host, 0.5), 0.9) << host.DriverName();
    host.SetActive(false);
    ClearDriverSettings();
  }
}

namespace {

struct TFormat {
  int Bytes;
  int Bits;  // 0 for floating point
  bool BigEndian;
  bool Low24In32 = false;
};
const std::map<std::string, TFormat> kFormats = {
    {"S16_LE", {2, 16, false}},       {"S24_3LE", {3, 24, false}}, {"S32_LE", {4, 32, false}},
    {"S24_LE", {4, 24, false, true}}, {"FLOAT_LE", {4, 0, false}}, {"FLOAT64_LE", {8, 0, false}},
    {"S16_BE", {2, 16, true}},        {"S24_3BE", {3, 24, true}},  {"S32_BE", {4, 32, true}},
    {"S24_BE", {4, 24, true, true}},  {"FLOAT_BE", {4, 0, true}},  {"FLOAT64_BE", {8, 0, true}},
};

// One sample from the file, as a float with full scale 1.0.
double Decode(const TFormat& F, const uint8_t* At) {
  uint8_t le[8];
  for (int i = 0; i < F.Bytes; ++i)
    le[i] = F.BigEndian ? At[F.Bytes - 1 - i] : At[i];
  if (F.Bits == 0) {
    if (F.Bytes == 4) {
      float v;
      std::memcpy(&v, le, 4);
      return v;
    }
    double v;
    std::memcpy(&v, le, 8);
    return v;
  }
  uint64_t raw = 0;
  for (int i = 0; i < F.Bytes; ++i)
    raw |= static_cast<uint64_t>(le[i]) << (8 * i);
  const int bits = F.Low24In32 ? 24 : F.Bytes * 8;
  int64_t v = static_cast<int64_t>(raw << (64 - bits)) >> (64 - bits);
  return static_cast<double>(v) / static_cast<double>((int64_t{1} << (F.Bits - 1)) - 1);
}

float Signal(int64_t Frame, int Channel) {
  return static_cast<float>(0.8 * std::sin(0.011 * static_cast<double>(Frame) + Channel));
}

}  // namespace

TEST(DriversUnderHost, TheHostsSignalLeavesTheAlsaDriverSampleForSampleInEveryFormat) {
  TSettingsGuard guard;
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("rig-drivers-host-" + std::to_string(::getpid()) + ".raw"))
                               .string();
  const std::string config =
      "pcm.rigfile { type asym playback.pcm { type file slave { pcm { type null } } file \"" +
      path + "\" format raw } capture.pcm { type null } }";
  DriverCatalogue::TScopedCatalogue catalogue({Entry("ALSA rig file", [config] {
    return CreateAlsaDriver({"ALSA rig file", "rigfile", config});
  })});
  std::vector<std::string> names;
  SetControlPanelHook([&](const TPanelChoices& Choices, TPanelPick&) {
    names = Choices.Formats;
    return false;
  });
  {
    TASIOHost probe;
    probe.SetDriverIndex(0);
    probe.ShowControlPanel();
  }
  ASSERT_EQ(names.size(), kFormats.size());
  for (std::size_t f = 0; f < names.size(); ++f) {
    SCOPED_TRACE(names[f]);
    const TFormat format = kFormats.at(names[f]);
    SetDriverSettings("ALSA rig file", TDriverSettings{128, static_cast<int32_t>(f)});
    std::atomic<int64_t> calls{0};
    {
      TASIOHost host;
      host.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                                dsp::TArrayOfSingleArray& Out) {
        const int64_t base = calls.load() * 128;
        for (int ch = 0; ch < 2; ++ch)
          for (int i = 0; i < 128; ++i)
            Out[static_cast<std::size_t>(ch)][static_cast<std::size_t>(i)] = Signal(base + i, ch);
        calls.fetch_add(1);
      };
      host.SetDriverIndex(0);
      ASSERT_EQ(host.BufferSize(), 128u);
      host.SetActive(true);
      ASSERT_TRUE(TStandInHost::WaitFor([&] { return calls.load() >= 40; }, 5));
      host.SetActive(false);
    }  // unloading closes the device, which flushes the file
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    const std::size_t frameBytes = 2 * static_cast<std::size_t>(format.Bytes);
    const std::size_t frames = data.size() / frameBytes;
    EXPECT_GE(frames, 20u * 128);
    // One step of the format (float formats: float's own precision).
    const double step =
        format.Bits ? 1.0 / static_cast<double>((int64_t{1} << (format.Bits - 1)) - 1) : 0.0;
    const double tolerance = std::max(step, 1e-7);
    std::size_t bad = 0;
    for (std::size_t n = 0; n < frames; ++n)
      for (int ch = 0; ch < 2; ++ch)
        bad += std::abs(Decode(format, &data[n * frameBytes + ch * format.Bytes]) -
                        Signal(static_cast<int64_t>(n), ch)) > tolerance;
    EXPECT_EQ(bad, 0u);
  }
  std::filesystem::remove(path);
}

// The road a running program takes when its JACK server is killed and
// comes back: the host keeps its driver, nothing spins meanwhile, the
// status channel tells it, and the host's buffer switches (and so the
// keyed tone) return by themselves with the server.
TEST(DriversUnderHost, AKilledJackServerComesBackUnderTheHostWithoutHelp) {
  RIG_NEED_JACK();
  rigtest::TPrivateServer server(128);
  RIG_NEED_PRIVATE_SERVER(server);
  const std::string name = server.Name;
  DriverCatalogue::TScopedCatalogue catalogue({Entry("JACK private", [name] {
    TJackOptions o;
    o.ServerName = name;
    return CreateJackDriver(o);
  })});
  TASIOHost host;
  TCounter counter;
  counter.Attach(host);
  host.SetDriverIndex(0);
  host.SetActive(true);
  ASSERT_TRUE(host.Active());
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return counter.Calls.load() > 20; }, 3));
  rigtest::DriverStatus();

  server.Stop(SIGKILL);
  std::vector<std::string> status;
  ASSERT_TRUE(TStandInHost::WaitFor(
      [&] {
        for (std::string& r : rigtest::DriverStatus())
          status.push_back(std::move(r));
        return rigtest::AnyWith(status, core::svError, "went away");
      },
      5));
  const double cpu0 = rigtest::ProcessCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  TStandInHost::WaitFor([] { return false; }, 2.0);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT((rigtest::ProcessCpuSeconds() - cpu0) / wall, 0.05);
  EXPECT_TRUE(host.Active());
  EXPECT_EQ(host.DriverIndex(), 0);

  ASSERT_TRUE(server.Start());
  const int64_t before = counter.Calls.load();
  EXPECT_TRUE(TStandInHost::WaitFor([&] { return counter.Calls.load() > before + 20; }, 3.0));
  EXPECT_TRUE(rigtest::AnyWith(rigtest::DriverStatus(), core::svInfo, "back"));
  host.SetActive(false);
}
