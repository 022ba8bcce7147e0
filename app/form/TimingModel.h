#pragma once
// What the keyer did and when, from its trace: the paddle contacts as the
// port driver saw them, the key as the buffer fill made it, the envelope,
// and each element with its lengths, its error against the ideal and its
// latency from the closure that caused it to its first sample. It keeps
// the last few seconds, and reads the text sent as it goes.
#include <cstdint>
#include <deque>
#include <vector>

#include "core/Trace.h"
#include "keyer/MorseDecoder.h"

namespace app {

struct TContactChange {
  double Time;  // seconds on the trace's clock
  bool Dit;     // the dit contact (DSR), else the dah contact (CTS)
  bool Closed;  // the contact closed (its line went inactive)
};

struct TKeyEdge {
  double Time;
  int64_t Sample;
  bool Down;
};

struct TEnvelopePoint {
  double Time;
  float Value;
};

struct TTimedElement {
  double Start = 0;  // time of its first key-down sample
  int64_t FirstSample = 0;
  int64_t EndSample = 0;  // one past its last key-down sample
  double MarkMs = 0;
  double SpaceMs = -1;  // until the next key-down; -1 while unknown
  bool Dah = false;
  double MarkErrorMs = 0;   // against one dit (a dit) or three (a dah)
  double SpaceErrorMs = 0;  // against one dit; 0 for a space between characters
  double LatencyMs = -1;    // from the closure that caused it; -1 when none did
};

// Where a stream's samples lie on the system clock, from the times its
// fills began. A fill can only begin late, never early, so the earliest
// placement of sample 0 over the last half second is the stream's own;
// the window lets a driver's start-up burst (fills early for their
// samples) and a restarted stream age out.
class TStreamTimeline {
 public:
  static constexpr double kWindowSeconds = 0.5;
  // A fill of the sample at Position began at Seconds.
  void Fill(double Seconds, int64_t Position, double Rate);
  bool Known() const { return !FMinima.empty(); }
  double TimeOfSample(int64_t Sample, double Rate) const {
    return FMinima.front().Anchor + static_cast<double>(Sample) / Rate;
  }
  void Clear() {
    FMinima.clear();
    FLastPosition = -1;
  }

 private:
  struct TPoint {
    double Seconds;
    double Anchor;
  };
  // Anchors rising from the oldest: the front is the window's minimum.
  std::deque<TPoint> FMinima;
  int64_t FLastPosition = -1;
};

class TTimingModel {
 public:
  // Frequency: ticks per second of the trace's clock.
  explicit TTimingModel(int64_t Frequency);

  static constexpr double kKeepSeconds = 10;
  // A contact change shorter than this is a bounce.
  static constexpr double kBounceSeconds = 0.002;
  // Latency histogram: bins of half a millisecond up to 20 ms (the last
  // bin holds the longer ones).
  static constexpr double kBinMs = 0.5;
  static constexpr int kBins = 40;

  void SetSampleRate(double Hz);
  void SetDitSeconds(double Seconds);
  // Straight key: the decoder follows the operator's speed.
  void SetStraightKey(bool Value);

  // Takes the records read from the trace, audio and others as drained.
  void Add(const std::vector<core::TTraceRecord>& Audio,
           const std::vector<core::TTraceRecord>& Other);
  void Clear();

  double Now() const { return FNow; }
  const std::deque<TContactChange>& Contacts() const { return FContacts; }
  const std::deque<TKeyEdge>& KeyEdges() const { return FKeyEdges; }
  const std::deque<TEnvelopePoint>& Envelope() const { return FEnvelope; }
  const std::deque<TTimedElement>& Elements() const { return FElements; }
  double DitSeconds() const { return FDit; }

  // Counts over what is kept.
  int ElementCount() const { return static_cast<int>(FElements.size()); }
  int SpacesTooLong() const;
  int SpacesTooShort() const;
  int Bounces() const;
  std::vector<int> LatencyHistogram() const;

  const keyer::TMorseDecoder& Decoder() const { return FDecoder; }
  void ClearText() { FDecoder.Clear(); }

 private:
  double Seconds(int64_t Ticks) const { return static_cast<double>(Ticks) / FFrequency; }
  double TimeOfSample(int64_t Sample) const;
  void KeyDown(int64_t Sample);
  void KeyUp(int64_t Sample);
  void Forget();

  const double FFrequency;
  double FRate = 48000;
  double FDit = 0.05;
  double FNow = 0;
  TStreamTimeline FTimeline;
  bool FHaveBuffer = false;
  int64_t FLastSample = 0;
  std::deque<TContactChange> FContacts;
  std::deque<TKeyEdge> FKeyEdges;
  std::deque<TEnvelopePoint> FEnvelope;
  std::deque<TTimedElement> FElements;
  // Closures no element has yet claimed, oldest first.
  std::deque<TContactChange> FClosures;
  keyer::TMorseDecoder FDecoder;
};

}  // namespace app
