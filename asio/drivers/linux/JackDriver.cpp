// The driver over a JACK server (or a JACK layer of another sound server):
// two inputs and two outputs, 32-bit float, the server's rate and buffer
// size. The process callback moves the ports' data through the host's
// halves and flips the index.
#include <jack/jack.h>

#include <cstring>

#include "asio/drivers/linux/DriverBase.h"

namespace asio::drivers {

namespace {

constexpr int32_t kChannels = 2;

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
    if (FClient) jack_client_close(FClient);
  }

  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    if (!FClient) return ASE_NotPresent;
    int32_t frames = static_cast<int32_t>(FServerFrames.load());
    // Our half reaches the ports one cycle later than the host wrote it,
    // then the server's own playback latency follows.
    if (inputLatency) *inputLatency = PhysicalLatency(JackPortIsOutput, JackCaptureLatency);
    if (outputLatency)
      *outputLatency = frames + PhysicalLatency(JackPortIsInput, JackPlaybackLatency);
    return ASE_OK;
  }
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
    if (!FClient) return ASE_NotPresent;
    return sampleRate == static_cast<double>(jack_get_sample_rate(FClient)) ? ASE_OK : ASE_NoClock;
  }
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
    if (!sampleRate) return ASE_InvalidParameter;
    if (!FClient) return ASE_NotPresent;
    *sampleRate = static_cast<double>(jack_get_sample_rate(FClient));
    return ASE_OK;
  }
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override { return canSampleRate(sampleRate); }

 protected:
  bool OpenDevice() override {
    SilenceJack();
    jack_status_t status{};
    if (FOptions.ServerName.empty())
      FClient = jack_client_open(FOptions.ClientName.c_str(), JackNoStartServer, &status);
    else
      FClient = jack_client_open(FOptions.ClientName.c_str(),
                                 static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                 &status, FOptions.ServerName.c_str());
    if (!FClient) {
      SetError("no JACK server");
      return false;
    }
    for (int32_t c = 0; c < kChannels; ++c) {
      std::string in = "in_" + std::to_string(c + 1);
      std::string out = "out_" + std::to_string(c + 1);
      FIn[c] = jack_port_register(FClient, in.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
      FOut[c] =
          jack_port_register(FClient, out.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
      if (!FIn[c] || !FOut[c]) {
        SetError("cannot register JACK ports");
        jack_client_close(FClient);
        FClient = nullptr;
        return false;
      }
    }
    FServerFrames.store(jack_get_buffer_size(FClient));
    jack_set_process_callback(FClient, &TJackDriver::ProcessThunk, this);
    jack_set_buffer_size_callback(FClient, &TJackDriver::BufferSizeThunk, this);
    jack_on_info_shutdown(FClient, &TJackDriver::ShutdownThunk, this);
    return true;
  }

  int32_t InputCount() const override { return kChannels; }
  int32_t OutputCount() const override { return kChannels; }
  ASIOSampleType SampleType(bool) const override { return ASIOSTFloat32LSB; }

  void BufferRange(int32_t& Min, int32_t& Max, int32_t& Preferred,
                   int32_t& Granularity) const override {
    // The server decides; the control panel asks the server for another.
    Min = Max = Preferred = static_cast<int32_t>(FServerFrames.load());
    Granularity = 0;
  }

  ASIOError Prepare(int32_t BufferFrames) override {
    if (FServerGone.load()) return ASE_NotPresent;
    if (static_cast<jack_nframes_t>(BufferFrames) != FServerFrames.load()) return ASE_InvalidMode;
    SetStreamRate(static_cast<double>(jack_get_sample_rate(FClient)));
    return ASE_OK;
  }
  void Unprepare() override {}

  ASIOError StartStream() override {
    if (FServerGone.load()) return ASE_NotPresent;
    FIndex = 0;
    FPosition = 0;
    FSizeChanged.store(false);
    FRunning.store(true);
    if (jack_activate(FClient) != 0) {
      FRunning.store(false);
      SetError("cannot activate the JACK client");
      return ASE_HWMalfunction;
    }
    if (FOptions.ConnectPhysical) ConnectPhysical();
    return ASE_OK;
  }

  void StopStream() override {
    FRunning.store(false);
    // Returns once the process callback has left; no callback follows.
    if (!FServerGone.load()) jack_deactivate(FClient);
  }

  void PanelChoices(TPanelChoices& Choices) const override {
    Choices.BufferSizes = PowerOfTwoSizes(16, 4096, static_cast<int32_t>(FServerFrames.load()));
    Choices.CurrentBufferSize = static_cast<int32_t>(FServerFrames.load());
  }

  bool ApplyPick(const TPanelPick& Pick) override {
    // The buffer size is the server's: ask it; its buffer-size
    // notification then raises the reset request.
    if (!FClient || FServerGone.load() || Pick.BufferSize <= 0 ||
        static_cast<jack_nframes_t>(Pick.BufferSize) == FServerFrames.load())
      return false;
    if (jack_set_buffer_size(FClient, static_cast<jack_nframes_t>(Pick.BufferSize)) != 0)
      return false;
    // An inactive client hears no notification: reload it ourselves.
    return State() != TDriverState::dsRunning;
  }

 private:
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

  void ServerShutdown() {
    FServerGone.store(true);
    FRunning.store(false);
    MarkDeviceLost();
    RequestReset();
  }

  TJackOptions FOptions;
  jack_client_t* FClient = nullptr;
  jack_port_t* FIn[kChannels] = {};
  jack_port_t* FOut[kChannels] = {};
  std::atomic<jack_nframes_t> FServerFrames{0};
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FSizeChanged{false};
  std::atomic<bool> FServerGone{false};
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
