#include "keyer/Keyer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "core/Trace.h"

namespace keyer {

std::string FormatWPMCaption(int32_t WPM, double DitTime) {
  char text[64];
  std::snprintf(text, sizeof text, "%d WPM (%5.1fmS dit)", WPM, DitTime * 1000);
  return text;
}

namespace {
core::Extended PassThrough(void*, core::Extended Input) {
  return Input;
}
TKeyerServices WithFilter(TKeyerServices Services) {
  if (Services.Filter.ProcessSample == nullptr) Services.Filter.ProcessSample = PassThrough;
  return Services;
}
}  // namespace

TKeyerEngine::TKeyerEngine(const TKeyerServices& Services) : S(WithFilter(Services)) {}

void TKeyerEngine::ReadCounterFrequency() {
  FFrequency = S.Clock.QueryPerformanceFrequency();
}

void TKeyerEngine::SelectInitialMode() {
  FIambicB = true;
  FStraightKey.store(false);
  FTone.store(700);
}

void TKeyerEngine::SerialPort1CTSEvent(core::TObject*) {
  FDahPressed = !S.Lines.CTSState();
  core::TracePost(core::tsKeyer, core::teHandler, 0, FDahPressed);
  S.View.SetCheckBox5(FDahPressed);
  if (FDahPressed) FDahMemory = true;
}

void TKeyerEngine::SerialPort1DSREvent(core::TObject*) {
  FDitPressed = !S.Lines.DSRState();
  core::TracePost(core::tsKeyer, core::teHandler, 1, FDitPressed);
  S.View.SetCheckBox6(FDitPressed);
  if (FDitPressed) FDitMemory = true;
}

void TKeyerEngine::rbIambicAClick(core::TObject*) {
  FQueue.Clear();
  FDitMemory = false;
  FDahMemory = false;
  FIambicB = false;
  FStraightKey.store(false);
}

void TKeyerEngine::rbIambicBClick(core::TObject*) {
  FQueue.Clear();
  FDitMemory = false;
  FDahMemory = false;
  FIambicB = true;
  FStraightKey.store(false);
}

void TKeyerEngine::rbStraightKeyClick(core::TObject*) {
  FStraightKey.store(true);
}

void TKeyerEngine::tbWPMChange(core::TObject*) {
  const int32_t position = S.View.tbWPMPosition();
  // The track bar holds 5..60; a zero would divide by zero.
  if (position <= 0) return;
  FWPM = position;
  FDitTime = 1.0 / FWPM;
  S.View.SetlabWPMCaption(FormatWPMCaption(FWPM, FDitTime));
}

void TKeyerEngine::udToneClick(core::TObject*) {
  FTone.store(S.View.udTonePosition());
}

void TKeyerEngine::edtToneChange(core::TObject*) {
  FTone.store(S.View.udTonePosition());
}

void TKeyerEngine::ComboBox2Change(core::TObject*) {
  const std::string text = S.View.ComboBox2Text();
  int32_t hz = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), hz);
  if (err != std::errc() || end != text.data() + text.size()) return;
  if (S.Filter.SetFrequency1) S.Filter.SetFrequency1(S.Filter.Filter, hz);
}

void TKeyerEngine::FormActivate(core::TObject*) {
  if (!FLoopRunning) KeyingLoop();
}

void TKeyerEngine::KeyingLoop() {
  FLoopRunning = true;
  while (!FClosing) {
    S.Pump.ProcessMessages();
    if (FStraightKey.load(std::memory_order_relaxed)) {
      // Straight key: the key follows the dah line; never sleeps.
      FKeyDown.store(FDahPressed, std::memory_order_relaxed);
      continue;
    }
    if (!FDitPressed && !FDahPressed && !FDitMemory && !FDahMemory) {
      S.Pump.IdleWait(5);
      continue;
    }
    if (FDahPressed || FDahMemory) SendDah();
    if (FDitPressed || FDitMemory) SendDit();
  }
}

void TKeyerEngine::SendDah() {
  if (!FStraightKey.load(std::memory_order_relaxed)) {
    const double rate = S.Audio.SampleRate();
    QueueElement(static_cast<int32_t>(rate * FDitTime * 3.0),
                 static_cast<int32_t>(rate * FDitTime * 1.0));
  }
  S.Pump.ProcessMessages();
  WaitHalfDit();
  S.Pump.ProcessMessages();
  if (FIambicB && FDitPressed && FDahPressed) FDitMemory = true;
  WaitDit();
  WaitDit();
  WaitHalfDit();
  WaitDit();
  S.Pump.ProcessMessages();
  if (!FIambicB && FDitPressed && FDahPressed) FDitMemory = true;
  FDahMemory = false;
}

void TKeyerEngine::SendDit() {
  if (!FStraightKey.load(std::memory_order_relaxed)) {
    const double rate = S.Audio.SampleRate();
    const int32_t length = static_cast<int32_t>(rate * FDitTime * 1.0);
    QueueElement(length, length);
  }
  S.Pump.ProcessMessages();
  WaitHalfDit();
  S.Pump.ProcessMessages();
  if (FIambicB && FDitPressed && FDahPressed) FDahMemory = true;
  WaitHalfDit();
  WaitDit();
  S.Pump.ProcessMessages();
  if (!FIambicB && FDitPressed && FDahPressed) FDahMemory = true;
  FDitMemory = false;
}

void TKeyerEngine::Wait(int64_t Ticks) {
  // Whole-millisecond sleeps while more than about one remains, then the
  // rest precisely: the wait ends when the counter reaches its target, not
  // at the first millisecond tick past it.
  const int64_t now0 = S.Clock.QueryPerformanceCounter();
  const int64_t target = now0 + Ticks;
  const int64_t coarse = FFrequency * 3 / 2000;  // 1.5 ms
  int64_t now = now0;
  do {
    if (target - now > coarse)
      S.Clock.Sleep(1);
    else
      S.Clock.SleepUntil(target);
    now = S.Clock.QueryPerformanceCounter();
  } while (now < target);
}

void TKeyerEngine::WaitDit() {
  Wait(static_cast<int64_t>(static_cast<double>(FFrequency) * FDitTime));
}

void TKeyerEngine::WaitHalfDit() {
  Wait(static_cast<int64_t>(static_cast<double>(FFrequency) * FDitTime / 2.0));
}

bool TKeyerEngine::QueueElement(int32_t MarkSamples, int32_t SpaceSamples) {
  if (!FQueue.Push(MarkSamples, SpaceSamples)) return false;
  core::TracePost(core::tsKeyer, core::teQueued, MarkSamples, SpaceSamples);
  return true;
}

void TKeyerEngine::ASIOHost1BufferSwitch(core::TObject*, const dsp::TArrayOfSingleArray&,
                                         dsp::TArrayOfSingleArray& OutBuffer) {
  bool keyDown = FKeyDown.load(std::memory_order_relaxed);
  if (!FStraightKey.load(std::memory_order_relaxed)) {
    // A mark starts only here, at the start of a buffer.
    const TKeyElement* head = FQueue.Head();
    if (keyDown && head == nullptr) keyDown = false;
    if (keyDown && head != nullptr && head->MarkSamples == 0) keyDown = false;
    if (!keyDown && head != nullptr && head->MarkSamples >= 1) keyDown = true;
    FKeyDown.store(keyDown, std::memory_order_relaxed);
  }

  // Only channels that exist are written, and never past their arrays.
  float* out0 = nullptr;
  float* out1 = nullptr;
  uint32_t len0 = 0;
  uint32_t len1 = 0;
  if (!OutBuffer.empty()) {
    out0 = OutBuffer[0].data();
    len0 = static_cast<uint32_t>(OutBuffer[0].size());
  }
  if (OutBuffer.size() >= 2) {
    out1 = OutBuffer[1].data();
    len1 = static_cast<uint32_t>(OutBuffer[1].size());
  }

  // The arrays carry the host's buffer size; without an output channel the
  // queue and the oscillator still run for one buffer.
  const uint32_t n = OutBuffer.empty() ? S.Audio.BufferSize() : len0;
  const TEnvelopeFilter filter = S.Filter;
  // Unsigned, so that the index wraps from the largest to the smallest
  // 32-bit value as the oscillator expects.
  uint32_t count = static_cast<uint32_t>(FSampleCount.load(std::memory_order_relaxed));
  float envelope = FEnvelope.load(std::memory_order_relaxed);
  core::TTrace& trace = core::TTrace::Instance();
  const bool tracing = trace.Enabled();
  const int64_t first = FTracePosition;
  if (tracing)
    trace.Audio(core::teBuffer, first, static_cast<int32_t>(n), S.Clock.QueryPerformanceCounter());
  // In silence a filter at rest gives the same output every sample: its
  // step is skipped, and the sine too while that output is zero (a zero
  // sample may then lose the sign the sine would have given it). Asked
  // every sample, the filter takes a new design at the same sample as its
  // step would. Once the key goes down the filter runs until a later
  // buffer finds it at rest.
  core::Extended restOutput = 0;
  bool rest = filter.AtRest != nullptr;
  for (uint32_t i = 0; i < n; ++i) {
    ++count;
    const bool straight = FStraightKey.load(std::memory_order_relaxed);
    if (straight) keyDown = FKeyDown.load(std::memory_order_relaxed);
    rest = rest && !keyDown && filter.AtRest(filter.Filter, restOutput);
    const float restEnvelope = static_cast<float>(restOutput);
    float v = 0;
    if (!rest || restEnvelope != 0) {
      // The tone is read for every sample: a new one sounds from the next.
      const double tone = static_cast<double>(FTone.load(std::memory_order_relaxed));
      const float s =
          static_cast<float>(std::sin(tone * 2.0 * std::numbers::pi *
                                      static_cast<double>(static_cast<int32_t>(count)) / 48000.0));
      envelope =
          rest
              ? restEnvelope
              : static_cast<float>(filter.ProcessSample(filter.Filter, keyDown ? kKeyLevel : 0.0L));
      v = s * envelope;
    } else {
      envelope = 0;
    }
    if (i < len0) out0[i] = v;
    if (i < len1) out1[i] = v;
    if (tracing) {
      const int64_t at = first + i;
      if (keyDown != FTraceKey) {
        FTraceKey = keyDown;
        trace.Audio(keyDown ? core::teKeyDown : core::teKeyUp, at, static_cast<int32_t>(i));
      }
      FTracePeak = std::max(FTracePeak, std::fabs(envelope));
      if ((at & (kTraceEnvelopeEvery - 1)) == kTraceEnvelopeEvery - 1) {
        trace.Audio(core::teEnvelope, at, static_cast<int32_t>(FTracePeak * 1e6f));
        FTracePeak = 0;
      }
    }
    if (straight) continue;

    TKeyElement* head = FQueue.Head();
    if (head == nullptr) continue;
    if (keyDown) {
      if (head->MarkSamples >= 1 && --head->MarkSamples == 0) {
        keyDown = false;
        FKeyDown.store(false, std::memory_order_relaxed);
      }
    } else if (head->SpaceSamples >= 1) {
      if (--head->SpaceSamples == 0) FQueue.RemoveHead();
    } else if (head->MarkSamples <= 0) {
      // An element with nothing left to count would hold the queue forever.
      FQueue.RemoveHead();
    }
  }
  FSampleCount.store(static_cast<int32_t>(count), std::memory_order_relaxed);
  FEnvelope.store(envelope, std::memory_order_relaxed);
  FTracePosition = first + n;
}

}  // namespace keyer
