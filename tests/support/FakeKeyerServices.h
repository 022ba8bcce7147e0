#pragma once
// A stand-in for everything the keyer engine takes from outside: a virtual
// clock, scripted paddle lines delivered only when the engine pumps
// messages, and an audio side that fills buffers as virtual time passes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "core/Timing.h"
#include "keyer/Keyer.h"

namespace keyer::testing {

class TFakeKeyerServices : public core::IMessagePump,
                           public IAudioFormat,
                           public IPaddleLines,
                           public IKeyerView {
 public:
  explicit TFakeKeyerServices(int64_t Frequency = 10000000) : Clock(Frequency) {
    // Audio runs as virtual time passes, whoever sleeps.
    Clock.SetOnSleep([this](uint32_t) { RunAudio(); });
  }
  TFakeKeyerServices(const TFakeKeyerServices&) = delete;
  TFakeKeyerServices& operator=(const TFakeKeyerServices&) = delete;

  // Every service the engine takes, from this one object.
  TKeyerServices Services() {
    TEnvelopeFilter filter;
    filter.Filter = this;
    filter.ProcessSample = [](void* self, core::Extended input) {
      return static_cast<TFakeKeyerServices*>(self)->ProcessSample(input);
    };
    filter.SetFrequency1 = [](void* self, core::Extended hz) {
      static_cast<TFakeKeyerServices*>(self)->FilterFrequency1 = hz;
    };
    return TKeyerServices{Clock, *this, *this, *this, filter, *this};
  }

  // The envelope filter's per-sample function; records the key level.
  virtual core::Extended ProcessSample(core::Extended Input) {
    KeyLevels.push_back(static_cast<float>(Input));
    return Envelope ? Envelope(Input) : Input;
  }

  // A paddle line change at a virtual time (ms); delivered at the first pump
  // point at or after it, in order.
  struct TLineEvent {
    double AtMs;
    bool Dah;      // CTS line (dah) or DSR line (dit)
    bool Pressed;  // contact closed: the line goes inactive
  };

  void Script(std::vector<TLineEvent> Events) { FEvents = std::move(Events); }
  void Press(double AtMs, bool Dah) { FEvents.push_back({AtMs, Dah, true}); }
  void Release(double AtMs, bool Dah) { FEvents.push_back({AtMs, Dah, false}); }

  // The engine whose handlers receive the scripted events and whose buffer
  // fill runs as time passes (when AudioBufferSize > 0).
  TKeyerEngine* Engine = nullptr;
  // Called at every pump, after scripted events; may close the loop.
  std::function<void()> OnPump;
  // Closes the keying loop once virtual time reaches this (ms).
  double CloseAtMs = 1e300;
  // In straight-key mode the loop never sleeps: each pump then moves the
  // clock on by this much so time passes.
  double PumpAdvanceMs = 0;

  // Audio side: buffers of this size at this rate run as time passes.
  uint32_t AudioBufferSize = 0;
  double Rate = 48000;
  int OutputChannels = 2;
  dsp::TArrayOfSingleArray In;
  dsp::TArrayOfSingleArray Out;
  // Every key level fed to the envelope, one per output sample.
  std::vector<float> KeyLevels;
  // The envelope: identity unless replaced.
  std::function<core::Extended(core::Extended)> Envelope;

  core::TVirtualClock Clock;
  bool CTS = true;  // lines active = contacts open
  bool DSR = true;
  bool CheckBox5 = false;
  bool CheckBox6 = false;
  std::string labWPM;
  int32_t tbWPM = 20;
  int32_t udTone = 700;
  std::string ComboBox2 = "150";
  core::Extended FilterFrequency1 = 150;
  int Pumps = 0;
  int IdleWaits = 0;

  double NowMs() const {
    return static_cast<double>(Clock.Ticks()) * 1000.0 / static_cast<double>(Clock.Frequency());
  }

  // Runs the audio side up to the current virtual time.
  void RunAudio() {
    if (AudioBufferSize == 0 || Engine == nullptr) return;
    const double due = NowMs() * Rate / 1000.0;
    while (static_cast<double>(FSamplesRun + AudioBufferSize) <= due)
      FillOne();
  }

  void FillOne() {
    Out.resize(static_cast<size_t>(OutputChannels));
    for (auto& ch : Out)
      ch.assign(AudioBufferSize, 0.0f);
    Engine->ASIOHost1BufferSwitch(nullptr, In, Out);
    FSamplesRun += AudioBufferSize;
  }

  // Lengths of the key-down runs in KeyLevels, in samples.
  std::vector<int> MarkRuns() const {
    std::vector<int> runs;
    int run = 0;
    for (float k : KeyLevels) {
      if (k > 0) {
        ++run;
      } else if (run > 0) {
        runs.push_back(run);
        run = 0;
      }
    }
    if (run > 0) runs.push_back(run);
    return runs;
  }

  // core::IMessagePump
  void ProcessMessages() override {
    ++Pumps;
    if (PumpAdvanceMs > 0) {
      Clock.AdvanceTicks(static_cast<int64_t>(
          PumpAdvanceMs * 1e-3 * static_cast<double>(Clock.QueryPerformanceFrequency())));
      RunAudio();
    }
    while (FNext < FEvents.size() && FEvents[FNext].AtMs <= NowMs()) {
      const TLineEvent e = FEvents[FNext++];
      if (e.Dah) {
        CTS = !e.Pressed;
        if (Engine) Engine->SerialPort1CTSEvent(nullptr);
      } else {
        DSR = !e.Pressed;
        if (Engine) Engine->SerialPort1DSREvent(nullptr);
      }
    }
    if (OnPump) OnPump();
    if (Engine && NowMs() >= CloseAtMs) Engine->SetClosing();
  }
  // Ends early at the time of the next scripted paddle change, as a
  // hand-off from the serial worker ends the real wait.
  void IdleWait(uint32_t Milliseconds) override {
    ++IdleWaits;
    const double end = NowMs() + Milliseconds;
    if (FNext < FEvents.size() && FEvents[FNext].AtMs < end) {
      const double at = std::max(FEvents[FNext].AtMs, NowMs());
      Clock.SleepUntil(static_cast<int64_t>(
          std::ceil(at * 1e-3 * static_cast<double>(Clock.QueryPerformanceFrequency()))));
      return;
    }
    Clock.Sleep(Milliseconds);
  }
  // IAudioFormat
  double SampleRate() override { return Rate; }
  uint32_t BufferSize() override { return AudioBufferSize; }
  // IPaddleLines, IKeyerView
  bool CTSState() override { return CTS; }
  bool DSRState() override { return DSR; }
  void SetCheckBox5(bool Checked) override { CheckBox5 = Checked; }
  void SetCheckBox6(bool Checked) override { CheckBox6 = Checked; }
  void SetlabWPMCaption(const std::string& Caption) override { labWPM = Caption; }
  int32_t tbWPMPosition() override { return tbWPM; }
  int32_t udTonePosition() override { return udTone; }
  std::string ComboBox2Text() override { return ComboBox2; }

 private:
  std::vector<TLineEvent> FEvents;
  size_t FNext = 0;
  uint64_t FSamplesRun = 0;
};

// The oscillator sample the buffer fill computes for index n, independently.
inline float Oscillator(int32_t Tone, int32_t n) {
  return static_cast<float>(std::sin(static_cast<double>(Tone) * 2.0 * std::numbers::pi *
                                     static_cast<double>(n) / 48000.0));
}

}  // namespace keyer::testing
