// The driver over a JACK server (or a JACK layer of another sound server):
// two inputs and two outputs, 32-bit float, the server's rate and buffer
// size. The process callback moves the ports' data through the host's
// halves and flips the index.
//
// When the server goes away (stopped or killed) the driver keeps its
// buffers and its state, says so on the status channel, and tries to
// reach the server again every kRetryMs from the main thread. When it
// answers, the ports come back with their connections and, if the host
// had started the driver, the stream resumes; a server that returns with
// another period or rate gets the host to reload the driver instead.
#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "asio/drivers/linux/DriverBase.h"

namespace asio::drivers {

namespace {

constexpr int32_t kChannels = 2;
constexpr uint32_t kRetryMs = 1500;
constexpr uint32_t kLatencyCheckMs = 50;
constexpr uint32_t kShutdownSettleMs = 250;
constexpr int64_t kShutdownSettleNs = int64_t{kShutdownSettleMs} * 1'000'000;

void SilentJackMessage(const char*) {}

void SilenceJack() {
  static bool done = [] {
    jack_set_error_function(SilentJackMessage);
    jack_set_info_function(SilentJackMessage);
    return true;
  }();
  (void)done;
}

class TJackDriver final : public TDriverBase {
 public:
  explicit TJackDriver(const TJackOptions& Options)
      : TDriverBase(Options.DisplayName, Options.DisplayName), FOptions(Options) {}

  ~TJackDriver() override {
    Shutdown();
    CloseClient();
  }

  // The host's half reaches our ports in the same cycle, so what is left
  // is the ports' own latency as the server computes it for their
  // connections; before they have any, that of the physical ports they
  // will be connected to. While the server is away, the last figures.
  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    if (FClient && !FServerGone.load()) {
      FCaptureLatency = PortLatency(FIn, JackCaptureLatency, JackPortIsOutput);
      FPlaybackLatency = PortLatency(FOut, JackPlaybackLatency, JackPortIsInput);
    }
    if (inputLatency) *inputLatency = FCaptureLatency;
    if (outputLatency) *outputLatency = FPlaybackLatency;
    return ASE_OK;
  }
  // While the server is away these answer what it had.
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    return sampleRate == FServerRate ? ASE_OK : ASE_NoClock;
  }
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
    if (!sampleRate) return ASE_InvalidParameter;
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    *sampleRate = FServerRate;
    return ASE_OK;
  }
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override { return canSampleRate(sampleRate); }

 protected:
  bool OpenDevice() override {
    if (OpenClient()) return true;
    SetError("no JACK server");
    return false;
  }

  int32_t InputCount() const override { return kChannels; }
  int32_t OutputCount() const override { return kChannels; }
  ASIOSampleType SampleType(bool) const override { return ASIOSTFloat32LSB; }

  void BufferRange(int32_t& Min, int32_t& Max, int32_t& Preferred,
                   int32_t& Granularity) const override {
    // The server decides.
    Min = Max = Preferred = static_cast<int32_t>(FServerFrames.load());
    Granularity = 0;
  }

  ASIOError Prepare(int32_t BufferFrames) override {
    if (static_cast<jack_nframes_t>(BufferFrames) != FServerFrames.load()) return ASE_InvalidMode;
    SetStreamRate(FServerRate);
    FRateInUse = FServerRate;
    return ASE_OK;
  }
  void Unprepare() override {}

  ASIOError StartStream() override {
    FIndex = 0;
    FPosition = 0;
    // Started while the server is away: the stream begins when it is back.
    if (!FClient || FServerGone.load()) return ASE_OK;
    if (!Activate()) {
      SetError("cannot activate the JACK client");
      return ASE_HWMalfunction;
    }
    ConnectFirstTime();
    RestoreLinks();
    return ASE_OK;
  }

  void StopStream() override {
    // Deactivating drops every connection; the next start restores them.
    FRunning.store(false);
    {
      std::lock_guard<std::mutex> guard(FLinksLock);
      if (FClient && !FServerGone.load()) FRestore = FLinks;
    }
    // Returns once the process callback has left; no callback follows.
    if (FClient && !FServerGone.load()) jack_deactivate(FClient);
  }

  // The period is the server's, shared by every client: the panel shows
  // it and changes nothing (the server's own settings change it).
  void PanelChoices(TPanelChoices& Choices) const override {
    Choices.CurrentBufferSize = static_cast<int32_t>(FServerFrames.load());
    Choices.BufferSizes = {Choices.CurrentBufferSize};
    Choices.Note =
        "The JACK server sets the period for every JACK client; change it in the server's "
        "settings (for example jackd -p 64).";
  }
  bool ApplyPick(const TPanelPick&) override { return false; }

 private:
  // Opens the client, registers the ports and installs the callbacks.
  bool OpenClient() {
    SilenceJack();
    jack_status_t status{};
    if (FOptions.ServerName.empty())
      FClient = jack_client_open(FOptions.ClientName.c_str(), JackNoStartServer, &status);
    else
      FClient = jack_client_open(FOptions.ClientName.c_str(),
                                 static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                 &status, FOptions.ServerName.c_str());
    if (!FClient) return false;
    FServerGone.store(false);
    FShutdownAtNs.store(0);
    for (int32_t c = 0; c < kChannels; ++c) {
      std::string in = "in_" + std::to_string(c + 1);
      std::string out = "out_" + std::to_string(c + 1);
      FIn[c] = jack_port_register(FClient, in.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
      FOut[c] =
          jack_port_register(FClient, out.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
      if (!FIn[c] || !FOut[c]) {
        CloseClient();
        return false;
      }
    }
    FServerFrames.store(jack_get_buffer_size(FClient));
    FServerRate = static_cast<double>(jack_get_sample_rate(FClient));
    jack_set_process_callback(FClient, &TJackDriver::ProcessThunk, this);
    jack_set_buffer_size_callback(FClient, &TJackDriver::BufferSizeThunk, this);
    jack_set_port_connect_callback(FClient, &TJackDriver::ConnectThunk, this);
    jack_set_port_registration_callback(FClient, &TJackDriver::RegistrationThunk, this);
    jack_set_graph_order_callback(FClient, &TJackDriver::GraphThunk, this);
    jack_on_info_shutdown(FClient, &TJackDriver::ShutdownThunk, this);
    return true;
  }

  void CloseClient() {
    if (FClient && FServerGone.load()) {
      // The thread that reported the shutdown still touches the client
      // just after our callback returns: let it finish first.
      for (;;) {
        const int64_t at = FShutdownAtNs.load();
        if (at != 0 && MonotonicNs() >= at + kShutdownSettleNs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (FClient) jack_client_close(FClient);
    FClient = nullptr;
    for (int32_t c = 0; c < kChannels; ++c)
      FIn[c] = FOut[c] = nullptr;
  }

  bool Activate() {
    FSizeChanged.store(false);
    FRunning.store(true);
    if (jack_activate(FClient) == 0) return true;
    FRunning.store(false);
    return false;
  }

  // The first start of this object connects the physical ports; later
  // starts restore whatever was connected when it stopped.
  void ConnectFirstTime() {
    if (FConnectedOnce) return;
    FConnectedOnce = true;
    if (FOptions.ConnectPhysical) ConnectPhysical();
  }

  // ---- Losing the server and finding it again (main thread).

  void ServerLost() {
    if (!FClient || !FServerGone.load()) return;
    // The ports come back with a new client; their connections are
    // remembered from the notifications.
    CloseClient();
    {
      std::lock_guard<std::mutex> guard(FLinksLock);
      if (State() == TDriverState::dsRunning) FRestore = FLinks;
    }
    PostDriverStatus(core::svError, "the JACK server went away; reconnecting when it returns");
    RunOnMainThread([this] { TryReconnect(); }, kRetryMs);
  }

  void TryReconnect() {
    if (FClient) return;
    if (!OpenClient()) {
      RunOnMainThread([this] { TryReconnect(); }, kRetryMs);
      return;
    }
    const TDriverState state = State();
    const bool buffers = state == TDriverState::dsPrepared || state == TDriverState::dsRunning;
    if (buffers && (FServerFrames.load() != static_cast<jack_nframes_t>(BufferFrames()) ||
                    FServerRate != FRateInUse)) {
      // The halves no longer fit the server: the host reloads the driver.
      MarkDeviceBack();
      PostDriverStatus(core::svWarning,
                       "the JACK server is back with %u frames at %.0f Hz; reloading the driver",
                       static_cast<unsigned>(FServerFrames.load()), FServerRate);
      RequestReset();
      return;
    }
    if (state == TDriverState::dsRunning) {
      if (!Activate()) {
        CloseClient();
        RunOnMainThread([this] { TryReconnect(); }, kRetryMs);
        return;
      }
      RestoreLinks();
    }
    MarkDeviceBack();
    PostDriverStatus(core::svInfo, "the JACK server is back; sound restored");
  }

  // Connects what was connected before the loss, as far as the other
  // ports exist; the rest waits for their clients to register them.
  void RestoreLinks() {
    if (!FClient || FServerGone.load() || !FRunning.load()) return;
    std::vector<std::pair<int, std::string>> pending;
    {
      std::lock_guard<std::mutex> guard(FLinksLock);
      pending.swap(FRestore);
    }
    std::vector<std::pair<int, std::string>> left;
    for (const auto& [ours, other] : pending) {
      jack_port_t* port = OurPort(ours);
      jack_port_t* peer = jack_port_by_name(FClient, other.c_str());
      if (!port || !peer) {
        left.push_back({ours, other});
        continue;
      }
      if (jack_port_connected_to(port, other.c_str())) continue;
      // Refused while the other client is inactive: its activation
      // changes the graph order, which tries again.
      const bool out = (jack_port_flags(port) & JackPortIsOutput) != 0;
      const int err = out ? jack_connect(FClient, jack_port_name(port), other.c_str())
                          : jack_connect(FClient, other.c_str(), jack_port_name(port));
      if (err != 0 && err != EEXIST) left.push_back({ours, other});
    }
    std::lock_guard<std::mutex> guard(FLinksLock);
    FRestore.insert(FRestore.end(), left.begin(), left.end());
  }

  // Ports 0, 1 are the inputs, 2, 3 the outputs.
  jack_port_t* OurPort(int Index) const {
    return Index < kChannels ? FIn[Index] : FOut[Index - kChannels];
  }

  // Notification thread: remembers every connection of our ports while
  // the stream runs (stopping and losing the server disconnect them all).
  void LinksChanged() {
    if (FServerGone.load() || !FRunning.load() || !FClient) return;
    std::vector<std::pair<int, std::string>> links;
    for (int i = 0; i < 2 * kChannels; ++i) {
      jack_port_t* port = OurPort(i);
      if (!port) continue;
      const char** names = jack_port_get_connections(port);
      if (!names) continue;
      for (int k = 0; names[k]; ++k)
        links.emplace_back(i, names[k]);
      jack_free(names);
    }
    std::lock_guard<std::mutex> guard(FLinksLock);
    FLinks.swap(links);
  }

  int32_t PortLatency(jack_port_t* const (&Ports)[kChannels], jack_latency_callback_mode_t Mode,
                      unsigned long PhysicalFlags) const {
    jack_nframes_t worst = 0;
    bool connected = false;
    for (jack_port_t* p : Ports) {
      if (!p || jack_port_connected(p) == 0) continue;
      connected = true;
      jack_latency_range_t range{};
      jack_port_get_latency_range(p, Mode, &range);
      worst = std::max(worst, range.max);
    }
    if (!connected) return PhysicalLatency(PhysicalFlags, Mode);
    return static_cast<int32_t>(worst);
  }

  int32_t PhysicalLatency(unsigned long Flags, jack_latency_callback_mode_t Mode) const {
    const char** ports =
        jack_get_ports(FClient, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | Flags);
    jack_nframes_t worst = 0;
    if (ports) {
      for (int i = 0; ports[i] && i < kChannels; ++i) {
        jack_port_t* p = jack_port_by_name(FClient, ports[i]);
        if (!p) continue;
        jack_latency_range_t range{};
        jack_port_get_latency_range(p, Mode, &range);
        worst = std::max(worst, range.max);
      }
      jack_free(ports);
    }
    return static_cast<int32_t>(worst);
  }

  void ConnectPhysical() {
    const char** sinks = jack_get_ports(FClient, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsPhysical | JackPortIsInput);
    if (sinks) {
      for (int c = 0; c < kChannels && sinks[c]; ++c)
        jack_connect(FClient, jack_port_name(FOut[c]), sinks[c]);
      jack_free(sinks);
    }
    const char** sources = jack_get_ports(FClient, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                          JackPortIsPhysical | JackPortIsOutput);
    if (sources) {
      for (int c = 0; c < kChannels && sources[c]; ++c)
        jack_connect(FClient, sources[c], jack_port_name(FIn[c]));
      jack_free(sources);
    }
  }

  static int ProcessThunk(jack_nframes_t Frames, void* Self) {
    return static_cast<TJackDriver*>(Self)->Process(Frames);
  }
  static int BufferSizeThunk(jack_nframes_t Frames, void* Self) {
    static_cast<TJackDriver*>(Self)->BufferSizeChanged(Frames);
    return 0;
  }
  static void ShutdownThunk(jack_status_t, const char*, void* Self) {
    static_cast<TJackDriver*>(Self)->ServerShutdown();
  }
  static void ConnectThunk(jack_port_id_t, jack_port_id_t, int, void* Self) {
    static_cast<TJackDriver*>(Self)->LinksChanged();
  }
  static void RegistrationThunk(jack_port_id_t, int Registered, void* Self) {
    if (Registered) static_cast<TJackDriver*>(Self)->RetryLinksLater();
  }
  static int GraphThunk(void* Self) {
    auto* self = static_cast<TJackDriver*>(Self);
    self->RetryLinksLater();
    self->CheckLatencyLater();
    return 0;
  }
  // Notification thread: the graph changed, so the ports' latencies may
  // have; a little later (the server recomputes them after the reorder)
  // the main thread compares them with what the host was told.
  void CheckLatencyLater() {
    if (FServerGone.load() || FLatencyCheckPending.exchange(true)) return;
    RunOnMainThread(
        [this] {
          FLatencyCheckPending.store(false);
          if (!FClient || FServerGone.load()) return;
          if (PortLatency(FIn, JackCaptureLatency, JackPortIsOutput) != FCaptureLatency ||
              PortLatency(FOut, JackPlaybackLatency, JackPortIsInput) != FPlaybackLatency)
            NotifyLatencyChanged();
        },
        kLatencyCheckMs);
  }
  // Notification thread: a port appeared or a client was activated, so a
  // remembered connection may be possible again.
  void RetryLinksLater() {
    if (FServerGone.load()) return;
    bool waiting;
    {
      std::lock_guard<std::mutex> guard(FLinksLock);
      waiting = !FRestore.empty();
    }
    if (waiting) RunOnMainThread([this] { RestoreLinks(); });
  }

  int Process(jack_nframes_t Frames) {
    float* outs[kChannels];
    for (int c = 0; c < kChannels; ++c)
      outs[c] = static_cast<float*>(jack_port_get_buffer(FOut[c], Frames));
    const bool live = FRunning.load(std::memory_order_acquire) &&
                      !FSizeChanged.load(std::memory_order_acquire) &&
                      Frames == static_cast<jack_nframes_t>(BufferFrames());
    if (!live) {
      for (int c = 0; c < kChannels; ++c)
        std::memset(outs[c], 0, Frames * sizeof(float));
      return 0;
    }
    const std::size_t bytes = Frames * sizeof(float);
    for (int c = 0; c < kChannels; ++c) {
      uint8_t* half = InputHalf(c, FIndex);
      if (half) std::memcpy(half, jack_port_get_buffer(FIn[c], Frames), bytes);
    }
    DeliverHalf(FIndex, FPosition, MonotonicNs());
    for (int c = 0; c < kChannels; ++c) {
      uint8_t* half = OutputHalf(c, FIndex);
      if (half)
        std::memcpy(outs[c], half, bytes);
      else
        std::memset(outs[c], 0, bytes);
    }
    FPosition += Frames;
    FIndex ^= 1;
    return 0;
  }

  void BufferSizeChanged(jack_nframes_t Frames) {
    jack_nframes_t old = FServerFrames.exchange(Frames);
    if (Frames == old) return;
    // The halves no longer fit the cycle: go silent until the host has
    // reloaded the driver with the new size.
    FSizeChanged.store(true, std::memory_order_release);
    RequestReset();
  }

  // JACK's thread: no JACK call may be made here.
  void ServerShutdown() {
    FServerGone.store(true);
    FRunning.store(false);
    MarkDeviceLost();
    // The dead client must be closed before a new server of the same name
    // runs (closing it then crashes libjack), but only once the thread
    // that reports this has left the client.
    RunOnMainThread([this] { ServerLost(); }, kShutdownSettleMs);
    FShutdownAtNs.store(MonotonicNs());
  }

  TJackOptions FOptions;
  jack_client_t* FClient = nullptr;
  jack_port_t* FIn[kChannels] = {};
  jack_port_t* FOut[kChannels] = {};
  std::atomic<jack_nframes_t> FServerFrames{0};
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FSizeChanged{false};
  std::atomic<bool> FServerGone{false};
  std::atomic<int64_t> FShutdownAtNs{0};
  double FServerRate = 48000.0;
  // The latencies last reported (main thread).
  int32_t FCaptureLatency = 0;
  int32_t FPlaybackLatency = 0;
  std::atomic<bool> FLatencyCheckPending{false};
  double FRateInUse = 0;
  bool FConnectedOnce = false;
  // Connections of our ports (port index, the other port's name) as the
  // notifications last showed them, and those still to restore.
  std::mutex FLinksLock;
  std::vector<std::pair<int, std::string>> FLinks;
  std::vector<std::pair<int, std::string>> FRestore;
  // Only the process callback touches these between start and stop.
  int32_t FIndex = 0;
  int64_t FPosition = 0;
};

}  // namespace

IASIODriver* CreateJackDriver(const TJackOptions& Options) {
  return new TJackDriver(Options);
}

bool JackServerReachable() {
  SilenceJack();
  jack_status_t status{};
  jack_client_t* probe = jack_client_open("paddle-keyer-probe", JackNoStartServer, &status);
  if (!probe) return false;
  jack_client_close(probe);
  return true;
}

std::vector<TCatalogueEntry> JackEntries() {
  std::vector<TCatalogueEntry> entries;
  if (!JackServerReachable()) return entries;
  TCatalogueEntry e;
  e.Name = "JACK";
  e.ClassId = NameBasedClassId("jack", "default server");
  e.LibraryPath = "libjack";
  e.Create = [] { return CreateJackDriver(TJackOptions{}); };
  entries.push_back(std::move(e));
  return entries;
}

}  // namespace asio::drivers
