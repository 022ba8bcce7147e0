// The driver over an ALSA PCM: two output channels (and two inputs where
// the device captures), two periods of the buffer size, the sample type of
// the format actually negotiated so the host's converters do the work, and
// a stream thread that waits for each period.
//
// Underruns are recovered in the stream thread. A device that fails (an
// error recovery cannot mend, or no progress for kStallMs) is closed, put
// on the status channel and reopened from the main thread every
// kRetryMs; when it opens with the same configuration the stream resumes
// with the host's buffers, otherwise the host is asked to reload.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "asio/drivers/linux/DriverBase.h"

namespace asio::drivers {

namespace {

constexpr int32_t kChannels = 2;
constexpr int32_t kPreferredFrames = 128;
constexpr int32_t kLargestFallback = 2048;
// This many underruns within kUnderrunWindowNs move to the next size.
constexpr int kUnderrunsToFallBack = 3;
constexpr int64_t kUnderrunWindowNs = 5'000'000'000;
constexpr snd_pcm_uframes_t kMinPeriod = 16;
constexpr snd_pcm_uframes_t kMaxPeriod = 8192;
constexpr uint32_t kRetryMs = 1500;
constexpr int kStallMs = 1000;

struct TFormatMap {
  snd_pcm_format_t Pcm;
  ASIOSampleType Type;
  int Bytes;
  const char* Name;
};

// In order of preference among the formats a device takes natively.
constexpr TFormatMap kFormats[] = {
    {SND_PCM_FORMAT_S32_LE, ASIOSTInt32LSB, 4, "S32_LE"},
    {SND_PCM_FORMAT_FLOAT_LE, ASIOSTFloat32LSB, 4, "FLOAT_LE"},
    {SND_PCM_FORMAT_S24_3LE, ASIOSTInt24LSB, 3, "S24_3LE"},
    {SND_PCM_FORMAT_S24_LE, ASIOSTInt32LSB24, 4, "S24_LE"},
    {SND_PCM_FORMAT_S16_LE, ASIOSTInt16LSB, 2, "S16_LE"},
    {SND_PCM_FORMAT_FLOAT64_LE, ASIOSTFloat64LSB, 8, "FLOAT64_LE"},
    {SND_PCM_FORMAT_S32_BE, ASIOSTInt32MSB, 4, "S32_BE"},
    {SND_PCM_FORMAT_FLOAT_BE, ASIOSTFloat32MSB, 4, "FLOAT_BE"},
    {SND_PCM_FORMAT_S24_3BE, ASIOSTInt24MSB, 3, "S24_3BE"},
    {SND_PCM_FORMAT_S24_BE, ASIOSTInt32MSB24, 4, "S24_BE"},
    {SND_PCM_FORMAT_S16_BE, ASIOSTInt16MSB, 2, "S16_BE"},
    {SND_PCM_FORMAT_FLOAT64_BE, ASIOSTFloat64MSB, 8, "FLOAT64_BE"},
};
constexpr int kFormatCount = static_cast<int>(sizeof kFormats / sizeof kFormats[0]);

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
  static bool done = [] {
    snd_lib_error_set_handler(SilentAlsaError);
    return true;
  }();
  (void)done;
}

// The system configuration with Text merged over it, or nullptr.
snd_config_t* MergedConfig(const std::string& Text) {
  snd_config_t* top = nullptr;
  if (snd_config_update_ref(&top) < 0) return nullptr;
  snd_config_t* mine = nullptr;
  int err = snd_config_copy(&mine, top);
  snd_config_unref(top);
  if (err < 0) return nullptr;
  snd_input_t* in = nullptr;
  if (snd_input_buffer_open(&in, Text.data(), static_cast<ssize_t>(Text.size())) < 0) {
    snd_config_delete(mine);
    return nullptr;
  }
  err = snd_config_load(mine, in);
  snd_input_close(in);
  if (err < 0) {
    snd_config_delete(mine);
    return nullptr;
  }
  return mine;
}

int OpenPcm(snd_pcm_t** Pcm, const std::string& Name, snd_pcm_stream_t Stream,
            snd_config_t* Config) {
  if (Config) return snd_pcm_open_lconf(Pcm, Name.c_str(), Stream, SND_PCM_NONBLOCK, Config);
  return snd_pcm_open(Pcm, Name.c_str(), Stream, SND_PCM_NONBLOCK);
}

// What a PCM takes: formats (indices into kFormats) and period range.
struct TPcmCaps {
  std::vector<int> Formats;
  snd_pcm_uframes_t MinPeriod = 0;
  snd_pcm_uframes_t MaxPeriod = 0;
  unsigned Rate = 0;
};

bool Probe(snd_pcm_t* Pcm, unsigned WantedRate, TPcmCaps& Caps) {
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  if (snd_pcm_hw_params_any(Pcm, hw) < 0) return false;
  if (snd_pcm_hw_params_set_access(Pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return false;
  if (snd_pcm_hw_params_set_channels(Pcm, hw, kChannels) < 0) return false;
  for (int i = 0; i < kFormatCount; ++i)
    if (snd_pcm_hw_params_test_format(Pcm, hw, kFormats[i].Pcm) == 0) Caps.Formats.push_back(i);
  if (Caps.Formats.empty()) return false;
  unsigned rate = WantedRate;
  if (snd_pcm_hw_params_set_rate_near(Pcm, hw, &rate, nullptr) < 0) return false;
  Caps.Rate = rate;
  unsigned periods = 2;
  if (snd_pcm_hw_params_set_periods(Pcm, hw, periods, 0) < 0) return false;
  int dir = 0;
  snd_pcm_uframes_t mn = 0, mx = 0;
  if (snd_pcm_hw_params_get_period_size_min(hw, &mn, &dir) < 0) return false;
  if (snd_pcm_hw_params_get_period_size_max(hw, &mx, &dir) < 0) return false;
  Caps.MinPeriod = std::max(mn, kMinPeriod);
  Caps.MaxPeriod = std::min(mx, kMaxPeriod);
  return Caps.MinPeriod <= Caps.MaxPeriod;
}

int Configure(snd_pcm_t* Pcm, snd_pcm_format_t Format, unsigned Rate, snd_pcm_uframes_t Period,
              bool Playback) {
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  int err;
  if ((err = snd_pcm_hw_params_any(Pcm, hw)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_access(Pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_format(Pcm, hw, Format)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_channels(Pcm, hw, kChannels)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_rate(Pcm, hw, Rate, 0)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_period_size(Pcm, hw, Period, 0)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_periods(Pcm, hw, 2, 0)) < 0) return err;
  if ((err = snd_pcm_hw_params(Pcm, hw)) < 0) return err;
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  if ((err = snd_pcm_sw_params_current(Pcm, sw)) < 0) return err;
  // Playback starts by itself once both periods are written, also after
  // an underrun; capture is started explicitly.
  snd_pcm_uframes_t threshold = Playback ? 2 * Period : ~snd_pcm_uframes_t{0} >> 1;
  if ((err = snd_pcm_sw_params_set_start_threshold(Pcm, sw, threshold)) < 0) return err;
  if ((err = snd_pcm_sw_params_set_avail_min(Pcm, sw, Period)) < 0) return err;
  if ((err = snd_pcm_sw_params(Pcm, sw)) < 0) return err;
  return snd_pcm_prepare(Pcm);
}

class TAlsaDriver final : public TDriverBase {
 public:
  explicit TAlsaDriver(const TAlsaDevice& Device)
      : TDriverBase("ALSA " + Device.PcmName, Device.DisplayName), FDevice(Device) {}

  ~TAlsaDriver() override {
    Shutdown();
    if (FCapture) snd_pcm_close(FCapture);
    if (FPlayback) snd_pcm_close(FPlayback);
    if (FConfig) snd_config_delete(FConfig);
  }

  // Output: the buffer the device was configured with (period size x
  // periods) until the stream runs, then the device's own delay measured
  // after each half is written (which adds what lies beyond the buffer);
  // a change is told to the host. Input: one period.
  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    int32_t frames = BufferFrames() > 0 ? BufferFrames() : PreferredFrames();
    int64_t out = FReportedDelay.load();
    if (out <= 0) out = FConfiguredBuffer > 0 ? FConfiguredBuffer : 2 * int64_t{frames};
    if (inputLatency) *inputLatency = FInputs > 0 ? frames : 0;
    if (outputLatency) *outputLatency = static_cast<int32_t>(out);
    return ASE_OK;
  }
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    if (sampleRate == static_cast<double>(FRate)) return ASE_OK;
    if (!FPlayback || State() != TDriverState::dsInitialized || sampleRate < 1 ||
        sampleRate > 768000)
      return ASE_NoClock;
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(FPlayback, hw) < 0) return ASE_NoClock;
    return snd_pcm_hw_params_test_rate(FPlayback, hw, static_cast<unsigned>(sampleRate), 0) == 0
               ? ASE_OK
               : ASE_NoClock;
  }
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
    if (!sampleRate) return ASE_InvalidParameter;
    if (State() == TDriverState::dsCreated) return ASE_NotPresent;
    *sampleRate = FRate;
    return ASE_OK;
  }
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override {
    ASIOError err = canSampleRate(sampleRate);
    if (err == ASE_OK) FRate = static_cast<unsigned>(sampleRate);
    return err;
  }

 protected:
  bool OpenDevice() override {
    SilenceAlsa();
    if (!FDevice.ConfigText.empty()) {
      FConfig = MergedConfig(FDevice.ConfigText);
      if (!FConfig) {
        SetError("invalid ALSA configuration");
        return false;
      }
    }
    if (OpenPcm(&FPlayback, FDevice.PcmName, SND_PCM_STREAM_PLAYBACK, FConfig) < 0) {
      FPlayback = nullptr;
      SetError("cannot open the playback device");
      return false;
    }
    if (!Probe(FPlayback, 48000, FPlayCaps)) {
      SetError("the device takes no usable configuration");
      snd_pcm_close(FPlayback);
      FPlayback = nullptr;
      return false;
    }
    FRate = FPlayCaps.Rate;
    PreferNative();
    if (OpenPcm(&FCapture, FDevice.PcmName, SND_PCM_STREAM_CAPTURE, FConfig) == 0) {
      if (!Probe(FCapture, FRate, FCapCaps) || FCapCaps.Rate != FRate) {
        snd_pcm_close(FCapture);
        FCapture = nullptr;
      }
    } else {
      FCapture = nullptr;
    }
    FInputs = FCapture ? kChannels : 0;
    ChooseAutoFrames();
    return true;
  }

  // As opened at init, also while the device is away.
  int32_t InputCount() const override { return FInputs; }
  int32_t OutputCount() const override { return kChannels; }
  ASIOSampleType SampleType(bool IsInput) const override {
    return kFormats[IsInput ? CaptureFormat() : PlaybackFormat()].Type;
  }

  int32_t PreferredFrames() const {
    int32_t mn = static_cast<int32_t>(FPlayCaps.MinPeriod);
    int32_t mx = static_cast<int32_t>(FPlayCaps.MaxPeriod);
    int32_t picked = GetDriverSettings(SettingsKey()).BufferSize;
    if (picked >= mn && picked <= mx) return picked;
    return FAutoFrames > 0 ? FAutoFrames : mn;
  }

  // At init: kPreferredFrames, or the next power of two the device really
  // takes (a trial configuration of each), said on the status channel.
  void ChooseAutoFrames() {
    const int32_t mn = static_cast<int32_t>(FPlayCaps.MinPeriod);
    const int32_t mx = static_cast<int32_t>(FPlayCaps.MaxPeriod);
    FAutoFrames = 0;
    for (int32_t size = kPreferredFrames; size <= mx && FAutoFrames == 0; size *= 2) {
      if (size < mn) continue;
      if (Configure(FPlayback, kFormats[PlaybackFormat()].Pcm, FRate,
                    static_cast<snd_pcm_uframes_t>(size), true) >= 0)
        FAutoFrames = size;
      snd_pcm_hw_free(FPlayback);
    }
    if (FAutoFrames == 0) {
      std::vector<int32_t> sizes = PowerOfTwoSizes(mn, mx, 0);
      FAutoFrames = sizes.empty() ? mn : NearestSize(sizes, kPreferredFrames);
    }
    if (FAutoFrames != kPreferredFrames)
      PostDriverStatus(core::svWarning, "the device refuses %d frames; using %d", kPreferredFrames,
                       FAutoFrames);
  }
  void BufferRange(int32_t& Min, int32_t& Max, int32_t& Preferred,
                   int32_t& Granularity) const override {
    Min = static_cast<int32_t>(FPlayCaps.MinPeriod);
    Max = static_cast<int32_t>(FPlayCaps.MaxPeriod);
    Preferred = PreferredFrames();
    Granularity = -1;
  }

  ASIOError Prepare(int32_t BufferFrames) override {
    const auto period = static_cast<snd_pcm_uframes_t>(BufferFrames);
    FPlayFormatInUse = PlaybackFormat();
    FCapFormatInUse = CaptureFormat();
    if (!ConfigureStreams(period)) {
      SetError("the device refuses the buffer size");
      return ASE_InvalidMode;
    }
    SetStreamRate(FRate);
    FPlayScratch.assign(period * kChannels * kFormats[FPlayFormatInUse].Bytes, 0);
    FCapScratch.assign(period * kChannels * kFormats[FCapFormatInUse].Bytes, 0);
    FReportedDelay.store(0);
    return ASE_OK;
  }

  void Unprepare() override {
    if (FLinked) snd_pcm_unlink(FCapture);
    FLinked = false;
    if (FPlayback) snd_pcm_hw_free(FPlayback);
    if (FCapture) snd_pcm_hw_free(FCapture);
    FCaptureLive = false;
  }

  ASIOError StartStream() override {
    // Started while the device is away: the stream begins when it is back.
    if (!FPlayback) return ASE_OK;
    return StartThread() ? ASE_OK : ASE_HWMalfunction;
  }

  void StopStream() override {
    FStop.store(true);
    if (FThread.joinable()) FThread.join();
    if (!FPlayback) return;
    snd_pcm_drop(FPlayback);
    if (FCaptureLive && !FLinked) snd_pcm_drop(FCapture);
  }

 private:
  bool StartThread() {
    snd_pcm_drop(FPlayback);
    if (snd_pcm_prepare(FPlayback) < 0) {
      SetError("cannot prepare the device");
      return ASE_HWMalfunction;
    }
    if (FCaptureLive && !FLinked) {
      snd_pcm_drop(FCapture);
      snd_pcm_prepare(FCapture);
    }
    FStop.store(false);
    FHalvesSinceStart = 0;
    FUnderruns = 0;
    FUnderrunSince = 0;
    FThread = std::thread([this] { StreamLoop(); });
    PromoteToRealtime(FThread);
    return true;
  }

  // Configures the open PCMs for the formats in use and Period frames.
  bool ConfigureStreams(snd_pcm_uframes_t Period) {
    if (Configure(FPlayback, kFormats[FPlayFormatInUse].Pcm, FRate, Period, true) < 0) return false;
    snd_pcm_uframes_t buffer = 0, period = 0;
    FConfiguredBuffer = snd_pcm_get_params(FPlayback, &buffer, &period) == 0
                            ? static_cast<int64_t>(buffer)
                            : 2 * static_cast<int64_t>(Period);
    FCaptureLive =
        FCapture && Configure(FCapture, kFormats[FCapFormatInUse].Pcm, FRate, Period, false) >= 0;
    FLinked = FCaptureLive && snd_pcm_link(FCapture, FPlayback) == 0;
    return true;
  }

  void ClosePcms() {
    if (FLinked) snd_pcm_unlink(FCapture);
    FLinked = false;
    FCaptureLive = false;
    if (FCapture) snd_pcm_close(FCapture);
    if (FPlayback) snd_pcm_close(FPlayback);
    FCapture = FPlayback = nullptr;
  }

  // Opens the device's PCMs and learns what they take.
  bool OpenPcms() {
    FPlayCaps = TPcmCaps{};
    FCapCaps = TPcmCaps{};
    if (OpenPcm(&FPlayback, FDevice.PcmName, SND_PCM_STREAM_PLAYBACK, FConfig) < 0) {
      FPlayback = nullptr;
      return false;
    }
    if (!Probe(FPlayback, FRate, FPlayCaps)) {
      snd_pcm_close(FPlayback);
      FPlayback = nullptr;
      return false;
    }
    if (OpenPcm(&FCapture, FDevice.PcmName, SND_PCM_STREAM_CAPTURE, FConfig) == 0) {
      if (!Probe(FCapture, FPlayCaps.Rate, FCapCaps) || FCapCaps.Rate != FPlayCaps.Rate) {
        snd_pcm_close(FCapture);
        FCapture = nullptr;
      }
    } else {
      FCapture = nullptr;
    }
    return true;
  }

  // ---- A device that failed (main thread).

  void DeviceFailed() {
    if (!DeviceLost() || !FPlayback) return;
    if (FThread.joinable()) FThread.join();  // it has left its loop
    ClosePcms();
    PostDriverStatus(core::svError, "the device failed or went away; reopening when it returns");
    RunOnMainThread([this] { TryReopen(); }, kRetryMs);
  }

  void TryReopen() {
    if (FPlayback) return;
    const int play = FPlayFormatInUse;
    const bool hadCapture = FInputs > 0;
    if (!OpenPcms()) {
      RunOnMainThread([this] { TryReopen(); }, kRetryMs);
      return;
    }
    const TDriverState state = State();
    if (state != TDriverState::dsPrepared && state != TDriverState::dsRunning) {
      MarkDeviceBack();
      PostDriverStatus(core::svInfo, "the device is back");
      return;
    }
    const bool same = FPlayCaps.Rate == FRate && (FCapture != nullptr) == hadCapture &&
                      std::find(FPlayCaps.Formats.begin(), FPlayCaps.Formats.end(), play) !=
                          FPlayCaps.Formats.end();
    if (!same || !ConfigureStreams(static_cast<snd_pcm_uframes_t>(BufferFrames()))) {
      // Not what the host's buffers were made for: the host reloads.
      MarkDeviceBack();
      PostDriverStatus(core::svWarning, "the device is back with another configuration; reloading");
      RequestReset();
      return;
    }
    if (state == TDriverState::dsRunning && !StartThread()) {
      ClosePcms();
      RunOnMainThread([this] { TryReopen(); }, kRetryMs);
      return;
    }
    MarkDeviceBack();
    PostDriverStatus(core::svInfo, "the device is back; sound restored");
  }

  void PanelChoices(TPanelChoices& Choices) const override {
    TDriverBase::PanelChoices(Choices);
    for (int f : FPlayCaps.Formats)
      Choices.Formats.emplace_back(kFormats[f].Name);
    Choices.CurrentFormat = ChoiceOf(PlaybackFormat());
  }

  bool ApplyPick(const TPanelPick& Pick) override {
    bool sizeChanged = TDriverBase::ApplyPick(Pick);
    if (Pick.Format < 0 || Pick.Format >= static_cast<int32_t>(FPlayCaps.Formats.size()))
      return sizeChanged;
    bool formatChanged = Pick.Format != ChoiceOf(PlaybackFormat());
    TDriverSettings s = GetDriverSettings(SettingsKey());
    s.Format = Pick.Format;
    SetDriverSettings(SettingsKey(), s);
    return sizeChanged || formatChanged;
  }

 private:
  // For plughw, the formats of the hw device beneath are the native ones.
  void PreferNative() {
    const std::string prefix = "plughw:";
    if (FDevice.PcmName.rfind(prefix, 0) != 0) return;
    snd_pcm_t* hw = nullptr;
    std::string name = "hw:" + FDevice.PcmName.substr(prefix.size());
    if (OpenPcm(&hw, name, SND_PCM_STREAM_PLAYBACK, FConfig) < 0) return;
    TPcmCaps caps;
    if (Probe(hw, FRate, caps)) {
      std::vector<int> ordered = caps.Formats;
      for (int f : FPlayCaps.Formats)
        if (std::find(ordered.begin(), ordered.end(), f) == ordered.end()) ordered.push_back(f);
      FPlayCaps.Formats = ordered;
    }
    snd_pcm_close(hw);
  }

  int ChoiceOf(int Format) const {
    auto it = std::find(FPlayCaps.Formats.begin(), FPlayCaps.Formats.end(), Format);
    return it == FPlayCaps.Formats.end() ? -1 : static_cast<int>(it - FPlayCaps.Formats.begin());
  }

  // While buffers exist the formats in use; otherwise the user's pick or
  // the preferred one.
  int PlaybackFormat() const {
    if (State() == TDriverState::dsPrepared || State() == TDriverState::dsRunning)
      return FPlayFormatInUse;
    int pick = GetDriverSettings(SettingsKey()).Format;
    if (pick >= 0 && pick < static_cast<int>(FPlayCaps.Formats.size()))
      return FPlayCaps.Formats[static_cast<std::size_t>(pick)];
    return FPlayCaps.Formats.front();
  }
  int CaptureFormat() const {
    if (!FCapture) return PlaybackFormat();
    if (State() == TDriverState::dsPrepared || State() == TDriverState::dsRunning)
      return FCapFormatInUse;
    // The playback format when the capture side takes it, else its first.
    int play = PlaybackFormat();
    if (std::find(FCapCaps.Formats.begin(), FCapCaps.Formats.end(), play) != FCapCaps.Formats.end())
      return play;
    return FCapCaps.Formats.front();
  }

  // Answers false when the device is gone.
  bool Recover(snd_pcm_t* Pcm, int Err) {
    if (Err == -EPIPE || Err == -ESTRPIPE || Err == -EINTR) {
      CountXrun();
      if (Err == -EPIPE && Pcm == FPlayback) Underrun();
      if (snd_pcm_recover(Pcm, Err, 1) < 0) return false;
      if (Pcm == FCapture && !FLinked) snd_pcm_start(FCapture);
      return true;
    }
    return Err == -EAGAIN;
  }

  // Stream thread: repeated underruns at this size ask for a larger one.
  void Underrun() {
    const int64_t now = MonotonicNs();
    if (now - FUnderrunSince > kUnderrunWindowNs) {
      FUnderrunSince = now;
      FUnderruns = 0;
    }
    if (++FUnderruns == kUnderrunsToFallBack) RunOnMainThread([this] { FallBack(); });
  }

  // Main thread: the next power of two above the size in use becomes the
  // driver's pick, and the host reloads the driver with it.
  void FallBack() {
    const int32_t now = BufferFrames();
    int32_t next = 1;
    while (next <= now)
      next *= 2;
    if (now <= 0 || next > std::min<int32_t>(kLargestFallback, FPlayCaps.MaxPeriod)) return;
    TDriverSettings s = GetDriverSettings(SettingsKey());
    s.BufferSize = next;
    SetDriverSettings(SettingsKey(), s);
    PostDriverStatus(core::svWarning, "repeated underruns at %d frames; moving to %d", now, next);
    RequestReset();
  }

  // Stream thread, after each half: a delay that moved by more than a
  // quarter period from what the host was told is told again.
  void TrackDelay(snd_pcm_sframes_t Delay, int64_t Period) {
    if (++FHalvesSinceStart < 8) return;  // still filling up
    const int64_t told = FReportedDelay.load(std::memory_order_relaxed);
    const int64_t slack = std::max<int64_t>(16, Period / 4);
    if (told > 0 && std::abs(static_cast<int64_t>(Delay) - told) <= slack) return;
    FReportedDelay.store(Delay);
    NotifyLatencyChanged();
  }

  bool WriteHalf(int32_t Index) {
    const int bytes = kFormats[FPlayFormatInUse].Bytes;
    const auto frames = static_cast<std::size_t>(BufferFrames());
    for (int c = 0; c < kChannels; ++c) {
      const uint8_t* half = OutputHalf(c, Index);
      uint8_t* to = FPlayScratch.data() + static_cast<std::size_t>(c) * bytes;
      const std::size_t stride = static_cast<std::size_t>(bytes) * kChannels;
      for (std::size_t i = 0; i < frames; ++i, to += stride) {
        if (half)
          std::memcpy(to, half + i * bytes, bytes);
        else
          std::memset(to, 0, bytes);
      }
    }
    std::size_t done = 0;
    for (int attempt = 0; done < frames && attempt < 2; ++attempt) {
      snd_pcm_sframes_t n =
          snd_pcm_writei(FPlayback, FPlayScratch.data() + done * bytes * kChannels, frames - done);
      if (n < 0) {
        if (!Recover(FPlayback, static_cast<int>(n))) return false;
        continue;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool ReadHalf(int32_t Index) {
    const int bytes = kFormats[FCapFormatInUse].Bytes;
    const auto frames = static_cast<std::size_t>(BufferFrames());
    bool got = false;
    snd_pcm_sframes_t avail = snd_pcm_avail_update(FCapture);
    if (avail < 0) {
      if (!Recover(FCapture, static_cast<int>(avail))) return false;
    } else if (static_cast<std::size_t>(avail) >= frames) {
      snd_pcm_sframes_t n = snd_pcm_readi(FCapture, FCapScratch.data(), frames);
      if (n < 0) {
        if (!Recover(FCapture, static_cast<int>(n))) return false;
      } else {
        got = static_cast<std::size_t>(n) == frames;
      }
    }
    for (int c = 0; c < kChannels; ++c) {
      uint8_t* half = InputHalf(c, Index);
      if (!half) continue;
      if (!got) {
        std::memset(half, 0, frames * bytes);
        continue;
      }
      const uint8_t* from = FCapScratch.data() + static_cast<std::size_t>(c) * bytes;
      const std::size_t stride = static_cast<std::size_t>(bytes) * kChannels;
      for (std::size_t i = 0; i < frames; ++i, from += stride)
        std::memcpy(half + i * bytes, from, bytes);
    }
    return true;
  }

  void StreamLoop() {
    const int64_t frames = BufferFrames();
    const int timeoutMs = static_cast<int>(std::max<int64_t>(50, 4 * frames * 1000 / FRate));
    int32_t index = 0;
    int64_t position = 0;
    bool alive = true;
    // Both periods are written before the device starts.
    for (int i = 0; i < 2 && alive; ++i) {
      if (FCaptureLive) ZeroInputs(index);
      DeliverHalf(index, position, MonotonicNs());
      alive = WriteHalf(index);
      position += frames;
      index ^= 1;
    }
    if (alive && FCaptureLive && !FLinked) snd_pcm_start(FCapture);
    int waitedMs = 0;  // without progress
    while (alive && !FStop.load(std::memory_order_relaxed)) {
      int r = snd_pcm_wait(FPlayback, timeoutMs);
      if (r < 0) {
        alive = Recover(FPlayback, r);
        continue;
      }
      if (r == 0) {
        // A device that stopped moving (a sound server gone) fails too.
        waitedMs += timeoutMs;
        alive = waitedMs < kStallMs;
        continue;
      }
      waitedMs = 0;
      snd_pcm_sframes_t avail = snd_pcm_avail_update(FPlayback);
      if (avail < 0) {
        alive = Recover(FPlayback, static_cast<int>(avail));
        continue;
      }
      if (avail < frames) continue;
      if (FCaptureLive && !ReadHalf(index)) FCaptureLive = false;
      DeliverHalf(index, position, MonotonicNs());
      alive = WriteHalf(index);
      snd_pcm_sframes_t delay = 0;
      if (alive && snd_pcm_delay(FPlayback, &delay) == 0 && delay > 0) TrackDelay(delay, frames);
      position += frames;
      index ^= 1;
    }
    if (!alive && !FStop.load()) {
      // Unplugged or otherwise gone: no more callbacks until it is back.
      MarkDeviceLost();
      RunOnMainThread([this] { DeviceFailed(); });
    }
  }

  void ZeroInputs(int32_t Index) {
    const std::size_t bytes =
        static_cast<std::size_t>(BufferFrames()) * kFormats[FCapFormatInUse].Bytes;
    for (int c = 0; c < kChannels; ++c)
      if (uint8_t* half = InputHalf(c, Index)) std::memset(half, 0, bytes);
  }

  TAlsaDevice FDevice;
  snd_config_t* FConfig = nullptr;
  snd_pcm_t* FPlayback = nullptr;
  snd_pcm_t* FCapture = nullptr;
  int32_t FInputs = 0;
  TPcmCaps FPlayCaps;
  TPcmCaps FCapCaps;
  unsigned FRate = 48000;
  int FPlayFormatInUse = 0;
  int FCapFormatInUse = 0;
  bool FCaptureLive = false;
  bool FLinked = false;
  std::vector<uint8_t> FPlayScratch;
  std::vector<uint8_t> FCapScratch;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  // Output latency: the configured buffer, and the measured delay the
  // host was last told (0: not yet measured).
  int64_t FConfiguredBuffer = 0;
  std::atomic<int64_t> FReportedDelay{0};
  int32_t FAutoFrames = 0;
  // Stream thread only.
  int64_t FHalvesSinceStart = 0;
  int64_t FUnderrunSince = 0;
  int FUnderruns = 0;
};

bool Opens(const std::string& Name) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, Name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  snd_pcm_close(pcm);
  return true;
}

}  // namespace

IASIODriver* CreateAlsaDriver(const TAlsaDevice& Device) {
  return new TAlsaDriver(Device);
}

std::vector<TAlsaDevice> EnumerateAlsaDevices() {
  SilenceAlsa();
  std::vector<TAlsaDevice> found;
  if (Opens("default")) found.push_back(TAlsaDevice{"ALSA default", "default", {}});
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    std::string ctlName = "hw:" + std::to_string(card);
    if (snd_ctl_open(&ctl, ctlName.c_str(), 0) < 0) continue;
    std::string cardName = ctlName;
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    if (snd_ctl_card_info(ctl, info) == 0) cardName = snd_ctl_card_info_get_name(info);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
      snd_pcm_info_t* pcmInfo = nullptr;
      snd_pcm_info_alloca(&pcmInfo);
      snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
      snd_pcm_info_set_subdevice(pcmInfo, 0);
      snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_PLAYBACK);
      if (snd_ctl_pcm_info(ctl, pcmInfo) < 0) continue;
      std::string at = std::to_string(card) + "," + std::to_string(device);
      for (const char* kind : {"hw:", "plughw:"}) {
        std::string pcm = kind + at;
        if (Opens(pcm))
          found.push_back(TAlsaDevice{"ALSA " + pcm + " (" + cardName + ")", pcm, {}});
      }
    }
    snd_ctl_close(ctl);
  }
  return found;
}

std::vector<TCatalogueEntry> AlsaEntries() {
  std::vector<TCatalogueEntry> entries;
  for (const TAlsaDevice& d : EnumerateAlsaDevices()) {
    TCatalogueEntry e;
    e.Name = d.DisplayName;
    e.ClassId = NameBasedClassId("alsa", d.PcmName);
    e.LibraryPath = "libasound";
    e.Create = [d] { return CreateAlsaDriver(d); };
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace asio::drivers
