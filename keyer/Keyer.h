#pragma once
// The keyer engine: paddle handlers, the keying loop that makes and times
// the elements, and the buffer fill that keys the sidetone.
#include <atomic>
#include <cstdint>
#include <string>

#include "core/MessagePump.h"
#include "core/Timing.h"
#include "core/Types.h"
#include "dsp/DDSPBase.h"
#include "keyer/ElementQueue.h"

namespace keyer {

// What the engine takes from outside, each service on its own so a test
// can stand in for any of them.

// The audio host's format: rate (Hz) and samples per channel in one half.
class IAudioFormat {
 public:
  virtual ~IAudioFormat() = default;
  virtual double SampleRate() = 0;
  virtual uint32_t BufferSize() = 0;
};

// The serial port's input lines, as the worker thread last read them.
class IPaddleLines {
 public:
  virtual ~IPaddleLines() = default;
  virtual bool CTSState() = 0;
  virtual bool DSRState() = 0;
};

// The controls the engine's handlers read and set.
class IKeyerView {
 public:
  virtual ~IKeyerView() = default;
  virtual void SetCheckBox5(bool Checked) = 0;
  virtual void SetCheckBox6(bool Checked) = 0;
  virtual void SetlabWPMCaption(const std::string& Caption) = 0;
  virtual int32_t tbWPMPosition() = 0;
  virtual int32_t udTonePosition() = 0;
  virtual std::string ComboBox2Text() = 0;
};

// The envelope filter: its per-sample function, reached on the audio thread
// through one plain indirect call, and its cut-off, set on the main thread.
struct TEnvelopeFilter {
  using TSampleFunction = core::Extended (*)(void* Filter, core::Extended Input);
  using TSetFrequency = void (*)(void* Filter, core::Extended Hz);
  using TAtRest = bool (*)(void* Filter, core::Extended& Output);
  void* Filter = nullptr;
  TSampleFunction ProcessSample = nullptr;
  TSetFrequency SetFrequency1 = nullptr;
  // Optional: true when ProcessSample(0) would return Output and change
  // nothing, which lets the fill skip the filter step in silence (and the
  // sine too while that output is zero; such a zero sample is +0 where the
  // product would have been -0).
  TAtRest AtRest = nullptr;
};

struct TKeyerServices {
  core::IClock& Clock;
  core::IMessagePump& Pump;
  IAudioFormat& Audio;
  IPaddleLines& Lines;
  TEnvelopeFilter Filter;
  IKeyerView& View;
};

class TKeyerEngine {
 public:
  explicit TKeyerEngine(const TKeyerServices& Services);
  virtual ~TKeyerEngine() = default;
  TKeyerEngine(const TKeyerEngine&) = delete;
  TKeyerEngine& operator=(const TKeyerEngine&) = delete;

  // Window creation: the counter frequency, then the initial mode.
  void ReadCounterFrequency();
  void SelectInitialMode();  // iambic B, not straight key, tone 700

  // Handlers (main thread).
  void SerialPort1CTSEvent(core::TObject* Sender);
  void SerialPort1DSREvent(core::TObject* Sender);
  void rbIambicAClick(core::TObject* Sender = nullptr);
  void rbIambicBClick(core::TObject* Sender = nullptr);
  void rbStraightKeyClick(core::TObject* Sender = nullptr);
  void tbWPMChange(core::TObject* Sender = nullptr);
  void udToneClick(core::TObject* Sender = nullptr);
  void edtToneChange(core::TObject* Sender = nullptr);
  void ComboBox2Change(core::TObject* Sender = nullptr);

  // Enters the keying loop unless it already runs; returns when closing.
  void FormActivate(core::TObject* Sender = nullptr);
  // Ends the keying loop at the top of its next pass.
  void SetClosing() { FClosing = true; }

  // The keying loop and its parts (main thread).
  void KeyingLoop();
  void SendDah();
  void SendDit();
  void WaitDit();
  void WaitHalfDit();
  // Answers false when the queue already holds eight elements.
  bool QueueElement(int32_t MarkSamples, int32_t SpaceSamples);

  // The buffer fill (audio thread).
  void ASIOHost1BufferSwitch(core::TObject* Sender, const dsp::TArrayOfSingleArray& InBuffer,
                             dsp::TArrayOfSingleArray& OutBuffer);

  // State, for the window and for inspection.
  bool DahPressed() const { return FDahPressed; }
  bool DitPressed() const { return FDitPressed; }
  bool DitMemory() const { return FDitMemory; }
  bool DahMemory() const { return FDahMemory; }
  bool KeyDown() const { return FKeyDown.load(std::memory_order_relaxed); }
  float Envelope() const { return FEnvelope.load(std::memory_order_relaxed); }
  int32_t SampleCount() const { return FSampleCount.load(std::memory_order_relaxed); }
  // The oscillator index is never reset; this exists to reach its wrap.
  void SetSampleCount(int32_t Value) { FSampleCount.store(Value, std::memory_order_relaxed); }
  int32_t WPM() const { return FWPM; }
  double DitTime() const { return FDitTime; }
  bool Closing() const { return FClosing; }
  bool LoopRunning() const { return FLoopRunning; }
  bool IambicB() const { return FIambicB; }
  bool StraightKey() const { return FStraightKey.load(std::memory_order_relaxed); }
  int32_t Tone() const { return FTone.load(std::memory_order_relaxed); }
  int64_t CounterFrequency() const { return FFrequency; }
  int32_t ElementCount() const { return FQueue.Count(); }
  // Queued element i (0 = head), as seen while no buffer fill runs.
  TKeyElement QueuedElement(int32_t Index) const { return FQueue.Peek(Index); }

  // Samples filled since the engine was made (the trace's sample index).
  int64_t TracePosition() const { return FTracePosition; }

  // The key level fed to the envelope filter while the key is down.
  static constexpr core::Extended kKeyLevel = 0.7L;

 private:
  void Wait(int64_t Ticks);

  const TKeyerServices S;
  TElementQueue FQueue;
  int64_t FFrequency = 0;

  // Main thread only.
  bool FDahPressed = false;
  bool FDitPressed = false;
  bool FDitMemory = false;
  bool FDahMemory = false;
  int32_t FWPM = 20;
  double FDitTime = 0.05;
  bool FClosing = false;
  bool FLoopRunning = false;
  bool FIambicB = true;

  // Shared with the audio thread.
  std::atomic<bool> FKeyDown{false};
  std::atomic<bool> FStraightKey{false};
  std::atomic<int32_t> FTone{700};
  std::atomic<float> FEnvelope{0.0f};
  std::atomic<int32_t> FSampleCount{0};  // audio thread writes

  // Audio thread only: the trace's sample count (never wraps), the key as
  // last traced, and the envelope's peak since the last envelope record.
  static constexpr int64_t kTraceEnvelopeEvery = 32;
  int64_t FTracePosition = 0;
  bool FTraceKey = false;
  float FTracePeak = 0;
};

// The speed label's text.
std::string FormatWPMCaption(int32_t WPM, double DitTime);

}  // namespace keyer
