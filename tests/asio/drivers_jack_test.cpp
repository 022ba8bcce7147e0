// The JACK driver against a running server, and the ALSA driver through
// ALSA's JACK plugin. Tests that change the server's buffer size or stop
// it run their own private server, so the shared one stays untouched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "asio/drivers/linux/LinuxDrivers.h"
#include "core/StatusChannel.h"
#include "drivers_private_jack.h"
#include "drivers_stand_in.h"

using namespace asio;
using namespace asio::drivers;
using rigtest::AnyWith;
using rigtest::DriverStatus;
using rigtest::ProcessCpuSeconds;
using rigtest::TPrivateServer;
using rigtest::TStandInHost;

namespace {

TDriverStats StatsOf(IASIODriver* Driver) {
  void* obj = nullptr;
  Driver->QueryInterface(kStatsIID, &obj);
  TDriverStats s = static_cast<IDriverStats*>(obj)->Stats();
  Driver->Release();
  return s;
}

// A client of the test's own with one input port: what reaches it is
// what a listener would hear.
class TEar {
 public:
  TEar(const std::string& Server, const std::string& Source) {
    jack_status_t st{};
    FClient =
        jack_client_open("rig-ear", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                         &st, Server.c_str());
    if (!FClient) return;
    jack_set_process_callback(FClient, &TEar::Process, this);
    // Active before the port exists, as a client that comes back late is.
    jack_activate(FClient);
    FPort = jack_port_register(FClient, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!Source.empty()) jack_connect(FClient, Source.c_str(), "rig-ear:in");
  }
  ~TEar() { Close(); }
  void Close() {
    if (FClient) jack_client_close(FClient);
    FClient = nullptr;
  }
  bool Open() const { return FClient && FPort; }
  std::atomic<int64_t> Heard{0};  // cycles with a non-zero sample

 private:
  static int Process(jack_nframes_t Frames, void* Self) {
    auto* ear = static_cast<TEar*>(Self);
    jack_port_t* port = ear->FPort.load();
    if (!port) return 0;
    const float* in = static_cast<const float*>(jack_port_get_buffer(port, Frames));
    for (jack_nframes_t i = 0; i < Frames; ++i) {
      if (in[i] != 0.0f) {
        ear->Heard.fetch_add(1);
        break;
      }
    }
    return 0;
  }
  jack_client_t* FClient = nullptr;
  std::atomic<jack_port_t*> FPort{nullptr};
};

// Points libjack's default server (which ALSA's JACK plugin uses) at a
// private one for the scope.
class TDefaultServer {
 public:
  explicit TDefaultServer(const std::string& Name) {
    const char* was = std::getenv("JACK_DEFAULT_SERVER");
    FHad = was != nullptr;
    if (was) FPrevious = was;
    ::setenv("JACK_DEFAULT_SERVER", Name.c_str(), 1);
  }
  ~TDefaultServer() {
    if (FHad)
      ::setenv("JACK_DEFAULT_SERVER", FPrevious.c_str(), 1);
    else
      ::unsetenv("JACK_DEFAULT_SERVER");
  }

 private:
  bool FHad = false;
  std::string FPrevious;
};

const char* kPluginConfig =
    "pcm.rigjack { type jack playback_ports { 0 system:playback_1 1 system:playback_2 } }";

// Runs the driver for Seconds and answers callbacks per expected callback.
double RunAndRate(IASIODriver* Driver, TStandInHost& Host, double Seconds, int32_t Frames) {
  int64_t before = Host.Switches.load();
  Host.Restarted();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Driver->start(), ASE_OK);
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
  int64_t n = Host.Switches.load() - before;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  Driver->stop();
  return static_cast<double>(n) / (elapsed * 48000.0 / Frames);
}

}  // namespace

TEST(JackDriver, RunsAtTheServersRateAndReportsItsLatencies) {
  RIG_NEED_JACK();
  IASIODriver* d = CreateJackDriver(TJackOptions{});
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  int32_t ins = 0, outs = 0;
  d->getChannels(&ins, &outs);
  EXPECT_EQ(ins, 2);
  EXPECT_EQ(outs, 2);
  int32_t mn, mx, pref, gran;
  d->getBufferSize(&mn, &mx, &pref, &gran);
  EXPECT_EQ(mn, mx);
  EXPECT_EQ(pref, mn);
  double rate = 0;
  d->getSampleRate(&rate);
  EXPECT_EQ(rate, 48000.0);
  TStandInHost host;
  EXPECT_NE(host.Setup(d, pref * 2), ASE_OK);  // only the server's size
  ASSERT_EQ(host.Setup(d, pref), ASE_OK);
  ASIOChannelInfo info{};
  info.isInput = ASIOTrue;
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTFloat32LSB);
  int32_t inLat = -1, outLat = -1;
  ASSERT_EQ(d->getLatencies(&inLat, &outLat), ASE_OK);
  EXPECT_GE(outLat, pref);
  EXPECT_GE(inLat, 0);
  // Repeated stop/start keeps the rate; no xrun may fail the test.
  for (int round = 0; round < 3; ++round)
    EXPECT_GE(RunAndRate(d, host, 0.5, pref), 0.9) << round;
  EXPECT_EQ(host.IndexErrors.load(), 0);
  EXPECT_EQ(host.TimeInfoSwitches.load(), host.Switches.load());
  d->disposeBuffers();
  d->disposeBuffers();
  d->Release();
}

TEST(JackDriver, OutputReachesTheConnectedPortsAndInputsArrive) {
  RIG_NEED_JACK();
  // A second client loops our outputs back into our inputs.
  TJackOptions o;
  o.ClientName = "rig-loop";
  o.ConnectPhysical = false;
  IASIODriver* d = CreateJackDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  int32_t mn, mx, pref, gran;
  d->getBufferSize(&mn, &mx, &pref, &gran);
  TStandInHost host;
  std::atomic<int> nonZeroInputs{0};
  host.OnSwitch = [&](int32_t Index, int64_t) {
    const float* in = static_cast<const float*>(host.Infos[0].buffers[Index]);
    if (in[0] == 0.25f) nonZeroInputs.fetch_add(1);
    for (int c = 0; c < 2; ++c) {
      float* out = static_cast<float*>(host.Out(c, Index));
      for (int32_t i = 0; i < pref; ++i)
        out[i] = 0.25f;
    }
  };
  ASSERT_EQ(host.Setup(d, pref), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  jack_status_t st{};
  jack_client_t* patch = jack_client_open("rig-patch", JackNoStartServer, &st);
  ASSERT_NE(patch, nullptr);
  EXPECT_EQ(jack_connect(patch, "rig-loop:out_1", "rig-loop:in_1"), 0);
  EXPECT_TRUE(TStandInHost::WaitFor([&] { return nonZeroInputs.load() > 3; }, 3));
  jack_client_close(patch);
  d->Release();
}

TEST(JackDriver, ABufferSizeChangeSilencesTheDriverAndRequestsAReset) {
  RIG_NEED_JACK();
  TPrivateServer server(128);
  RIG_NEED_PRIVATE_SERVER(server);
  TJackOptions o;
  o.ServerName = server.Name;
  IASIODriver* d = CreateJackDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 128), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 10; }, 3));
  // The panel shows the server's period, says whose it is, and a pick
  // leaves the server (and so every other client) alone.
  TPanelChoices seen;
  SetControlPanelHook([&](const TPanelChoices& Choices, TPanelPick& Pick) {
    seen = Choices;
    Pick.BufferSize = 256;
    return true;
  });
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  SetControlPanelHook({});
  EXPECT_EQ(seen.BufferSizes, std::vector<int32_t>{128});
  EXPECT_NE(seen.Note.find("every JACK client"), std::string::npos);
  jack_status_t st{};
  jack_client_t* other =
      jack_client_open("rig-other", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                       &st, server.Name.c_str());
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(jack_get_buffer_size(other), 128u);
  TStandInHost::WaitFor([] { return false; }, 0.1);
  EXPECT_EQ(host.Resets.load(), 0);
  // Changed at the server, the driver's halves no longer fit: a reset.
  EXPECT_EQ(jack_set_buffer_size(other, 256), 0);
  jack_client_close(other);
  EXPECT_TRUE(TStandInHost::WaitFor([&] { return host.Resets.load() == 1; }, 3));
  int64_t frozen = host.Switches.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(host.Switches.load(), frozen) << "halves of the old size must not be delivered";
  d->Release();

  // What the host does on the reset: a new object, the new size.
  IASIODriver* next = CreateJackDriver(o);
  ASSERT_EQ(next->init(nullptr), ASIOTrue);
  int32_t mn, mx, pref, gran;
  next->getBufferSize(&mn, &mx, &pref, &gran);
  EXPECT_EQ(pref, 256);
  TStandInHost host2;
  ASSERT_EQ(host2.Setup(next, 256), ASE_OK);
  EXPECT_GE(RunAndRate(next, host2, 0.5, 256), 0.9);
  next->Release();
}

// The server stopped and killed: the driver says so, costs nothing while
// the server is away, and by itself brings back its ports, the ear's
// connection and the tone once the server returns.
TEST(JackDriver, AServerThatGoesAwayIsReportedAndTheToneReturnsWithIt) {
  RIG_NEED_JACK();
  TPrivateServer server(128);
  RIG_NEED_PRIVATE_SERVER(server);
  TJackOptions o;
  o.ServerName = server.Name;
  o.ClientName = "rig-loss";
  IASIODriver* d = CreateJackDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  host.OnSwitch = [&](int32_t Index, int64_t) {
    for (int c = 0; c < 2; ++c) {
      float* out = static_cast<float*>(host.Out(c, Index));
      for (int32_t i = 0; i < 128; ++i)
        out[i] = 0.25f;
    }
  };
  ASSERT_EQ(host.Setup(d, 128), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  auto ear = std::make_unique<TEar>(server.Name, "rig-loss:out_1");
  ASSERT_TRUE(ear->Open());
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return ear->Heard.load() > 5; }, 3))
      << host.Switches.load();
  DriverStatus();

  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "TERM" : "KILL");
    server.Stop(signal);
    ear->Close();
    std::vector<std::string> status;
    ASSERT_TRUE(TStandInHost::WaitFor(
        [&] {
          for (std::string& r : DriverStatus())
            status.push_back(std::move(r));
          return AnyWith(status, core::svError, "went away");
        },
        5));
    EXPECT_TRUE(StatsOf(d).DeviceLost);
    // Gone for a while: the process, main-thread pump included, idles.
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    TStandInHost::WaitFor([] { return false; }, 2.0);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT((ProcessCpuSeconds() - cpu0) / wall, 0.05);
    EXPECT_EQ(d->stop(), ASE_OK);  // the host may stop and start meanwhile
    EXPECT_EQ(d->start(), ASE_OK);

    ASSERT_TRUE(server.Start());
    const auto back = std::chrono::steady_clock::now();
    ear = std::make_unique<TEar>(server.Name, "");  // the connection is the driver's to restore
    ASSERT_TRUE(ear->Open());
    EXPECT_TRUE(TStandInHost::WaitFor([&] { return ear->Heard.load() > 5; }, 3.0));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count(), 3.0);
    status = DriverStatus();
    EXPECT_TRUE(AnyWith(status, core::svInfo, "back")) << (status.empty() ? "" : status.back());
    EXPECT_FALSE(StatsOf(d).DeviceLost);
    EXPECT_EQ(host.Resets.load(), 0) << "same period and rate: no reload";
  }
  ear.reset();
  d->Release();
}

// Unloaded at once after the loss: the driver's queued calls find it gone
// and the dead client is closed only once JACK's thread has left it.
TEST(JackDriver, ADriverReleasedRightAfterTheLossLeavesNothingBehind) {
  RIG_NEED_JACK();
  TPrivateServer server(128);
  RIG_NEED_PRIVATE_SERVER(server);
  TJackOptions o;
  o.ServerName = server.Name;
  IASIODriver* d = CreateJackDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 128), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 10; }, 3));
  server.Stop(SIGKILL);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!StatsOf(d).DeviceLost && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();  // no pumping: the loss is not handled yet
  ASSERT_TRUE(StatsOf(d).DeviceLost);
  d->Release();
  TStandInHost::WaitFor([] { return false; }, 2.0);  // the retries it had queued
  EXPECT_EQ(host.Resets.load(), 0);
}

// Back with another period: the halves no longer fit, so the host is
// asked to reload the driver.
TEST(JackDriver, AServerThatReturnsWithAnotherPeriodGetsTheDriverReloaded) {
  RIG_NEED_JACK();
  auto server = std::make_unique<TPrivateServer>(128);
  RIG_NEED_PRIVATE_SERVER(*server);
  TJackOptions o;
  o.ServerName = server->Name;
  IASIODriver* d = CreateJackDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 128), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 10; }, 3));
  server.reset();
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return StatsOf(d).DeviceLost; }, 5));
  TStandInHost::WaitFor([] { return false; }, 0.5);  // as a running program pumps
  int64_t frozen = host.Switches.load();
  server = std::make_unique<TPrivateServer>(256);
  ASSERT_TRUE(server->Up);
  EXPECT_TRUE(TStandInHost::WaitFor([&] { return host.Resets.load() == 1; }, 3));
  EXPECT_EQ(host.Switches.load(), frozen) << "halves of the old size must not be delivered";
  d->Release();
}

TEST(AlsaDriver, RunsThroughTheJackPluginAtTheExpectedRate) {
  RIG_NEED_JACK();
  TAlsaDevice dev;
  dev.DisplayName = "ALSA rig jack";
  dev.PcmName = "rigjack";
  dev.ConfigText =
      "pcm.rigjack { type jack playback_ports { 0 system:playback_1 1 system:playback_2 } "
      "capture_ports { 0 system:capture_1 1 system:capture_2 } }";
  for (int32_t frames : {256, 128}) {
    SetDriverSettings(dev.DisplayName, TDriverSettings{frames, -1});
    IASIODriver* d = CreateAlsaDriver(dev);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    int32_t mn, mx, pref, gran;
    d->getBufferSize(&mn, &mx, &pref, &gran);
    ASSERT_EQ(pref, frames);
    ASIOChannelInfo info{};
    ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTFloat32LSB);  // the plugin's native format
    TStandInHost host;
    ASSERT_EQ(host.Setup(d, frames), ASE_OK);
    int32_t inLat = 0, outLat = 0;
    d->getLatencies(&inLat, &outLat);
    EXPECT_GE(outLat, 2 * frames);
    EXPECT_GE(RunAndRate(d, host, 1.0, frames), 0.9) << frames;
    d->getLatencies(&inLat, &outLat);
    EXPECT_GT(outLat, frames);
    EXPECT_EQ(host.IndexErrors.load(), 0);
    EXPECT_EQ(host.PositionErrors.load(), 0);
    d->Release();
  }
  ClearDriverSettings();
}

// The same through ALSA's JACK plugin: the device stops moving when the
// server goes; the driver reports it, reopens the device once the server
// is back and the host's callbacks resume.
TEST(AlsaDriver, ADeviceThatStopsIsReportedAndReopenedWhenItReturns) {
  RIG_NEED_JACK();
  TPrivateServer server(128);
  RIG_NEED_PRIVATE_SERVER(server);
  TDefaultServer useIt(server.Name);
  TAlsaDevice dev{"ALSA rig jack loss", "rigjack", kPluginConfig};
  SetDriverSettings(dev.DisplayName, TDriverSettings{128, -1});
  IASIODriver* d = CreateAlsaDriver(dev);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 128), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 20; }, 3));
  DriverStatus();

  server.Stop(SIGKILL);
  std::vector<std::string> status;
  ASSERT_TRUE(TStandInHost::WaitFor(
      [&] {
        for (std::string& r : DriverStatus())
          status.push_back(std::move(r));
        return AnyWith(status, core::svError, "went away");
      },
      5));
  EXPECT_TRUE(StatsOf(d).DeviceLost);
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  TStandInHost::WaitFor([] { return false; }, 2.0);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT((ProcessCpuSeconds() - cpu0) / wall, 0.05);

  ASSERT_TRUE(server.Start());
  const int64_t before = host.Switches.load();
  host.Restarted();
  EXPECT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > before + 20; }, 3.0));
  status = DriverStatus();
  EXPECT_TRUE(AnyWith(status, core::svInfo, "back")) << (status.empty() ? "" : status.back());
  EXPECT_EQ(host.Resets.load(), 0);
  d->Release();
  ClearDriverSettings();
}

// A device that takes no 128-frame period gets the next size it takes;
// one that underruns again and again gets the next larger size through a
// reload. Both are said on the status channel.
TEST(AlsaDriver, LargerSizesWhenTheDeviceRefusesOrKeepsUnderrunning) {
  RIG_NEED_JACK();
  TPrivateServer server(256);  // the plugin takes no period below the server's
  RIG_NEED_PRIVATE_SERVER(server);
  TDefaultServer useIt(server.Name);
  const TAlsaDevice dev{"ALSA rig jack sizes", "rigjack", kPluginConfig};
  ClearDriverSettings();
  DriverStatus();
  IASIODriver* d = CreateAlsaDriver(dev);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  int32_t mn, mx, pref, gran;
  d->getBufferSize(&mn, &mx, &pref, &gran);
  EXPECT_EQ(pref, 256);
  EXPECT_TRUE(AnyWith(DriverStatus(), core::svWarning, "refuses 128 frames; using 256"));

  // A host far slower than the period: underrun after underrun.
  TStandInHost host;
  host.OnSwitch = [](int32_t, int64_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
  };
  ASSERT_EQ(host.Setup(d, 256), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  EXPECT_TRUE(TStandInHost::WaitFor([&] { return host.Resets.load() == 1; }, 5));
  d->stop();
  EXPECT_EQ(GetDriverSettings(dev.DisplayName).BufferSize, 512);
  EXPECT_TRUE(AnyWith(DriverStatus(), core::svWarning, "underruns at 256 frames; moving to 512"));
  d->Release();
  ClearDriverSettings();
}

jack_nframes_t ServerLatency(jack_client_t* Client, const char* Port,
                             jack_latency_callback_mode_t Mode) {
  jack_port_t* p = jack_port_by_name(Client, Port);
  if (!p) return 0;
  jack_latency_range_t range{};
  jack_port_get_latency_range(p, Mode, &range);
  return range.max;
}

// The host's half reaches the ports in the same cycle: what the driver
// reports is the latency the server gives the ports, no period more.
TEST(JackDriver, LatenciesAreThoseTheServerGivesThePorts) {
  RIG_NEED_JACK();
  for (int period : {64, 256}) {
    SCOPED_TRACE(period);
    TPrivateServer server(period);
    RIG_NEED_PRIVATE_SERVER(server);
    TJackOptions o;
    o.ServerName = server.Name;
    o.ClientName = "rig-lat";
    IASIODriver* d = CreateJackDriver(o);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    TStandInHost host;
    ASSERT_EQ(host.Setup(d, period), ASE_OK);
    jack_status_t st{};
    jack_client_t* probe = jack_client_open(
        "rig-lat-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &st,
        server.Name.c_str());
    ASSERT_NE(probe, nullptr);
    const jack_nframes_t playback = ServerLatency(probe, "system:playback_1", JackPlaybackLatency);
    const jack_nframes_t capture = ServerLatency(probe, "system:capture_1", JackCaptureLatency);
    EXPECT_GT(playback, 0u);
    int32_t in = -1, out = -1;
    ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(out, static_cast<int32_t>(playback)) << "before the ports are connected";
    EXPECT_EQ(in, static_cast<int32_t>(capture));
    ASSERT_EQ(d->start(), ASE_OK);
    ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 10; }, 3));
    ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(out,
              static_cast<int32_t>(ServerLatency(probe, "rig-lat:out_1", JackPlaybackLatency)));
    EXPECT_EQ(out, static_cast<int32_t>(playback));
    jack_client_close(probe);
    d->Release();
  }
}
