#include "app/form/TimingModel.h"

#include <algorithm>
#include <cmath>

namespace app {

TTimingModel::TTimingModel(int64_t Frequency)
    : FFrequency(static_cast<double>(Frequency > 0 ? Frequency : 1)), FDecoder(2400, false) {}

void TStreamTimeline::Fill(double Seconds, int64_t Position, double Rate) {
  const double anchor = Seconds - static_cast<double>(Position) / Rate;
  // A stream that went back (restarted from sample 0) starts anew.
  if (Position < FLastPosition) FMinima.clear();
  FLastPosition = Position;
  while (!FMinima.empty() && FMinima.back().Anchor >= anchor)
    FMinima.pop_back();
  FMinima.push_back({Seconds, anchor});
  while (FMinima.size() > 1 && FMinima.front().Seconds < Seconds - kWindowSeconds)
    FMinima.pop_front();
}

void TTimingModel::SetSampleRate(double Hz) {
  if (Hz > 0 && std::isfinite(Hz)) FRate = Hz;
  FDecoder.SetDitSamples(FRate * FDit);
}

void TTimingModel::SetDitSeconds(double Seconds) {
  if (Seconds > 0) FDit = Seconds;
  FDecoder.SetDitSamples(FRate * FDit);
}

void TTimingModel::SetStraightKey(bool Value) {
  FDecoder.SetTracking(Value);
  if (!Value) FDecoder.SetDitSamples(FRate * FDit);
}

void TTimingModel::Clear() {
  FContacts.clear();
  FKeyEdges.clear();
  FEnvelope.clear();
  FElements.clear();
  FClosures.clear();
  FDecoder.Clear();
}

// Samples run at the driver's rate and the fills are called on time or
// late, so the timeline places every sample free of the callbacks' jitter.
double TTimingModel::TimeOfSample(int64_t Sample) const {
  return FTimeline.TimeOfSample(Sample, FRate);
}

void TTimingModel::Add(const std::vector<core::TTraceRecord>& Audio,
                       const std::vector<core::TTraceRecord>& Other) {
  // The port's and the keyer's records come first: a closure always lies
  // before the buffer that keys it, and the audio records are read after
  // them from the same drain.
  for (const core::TTraceRecord& r : Other) {
    const double t = Seconds(r.Time);
    FNow = std::max(FNow, t);
    if (r.Event != core::teLine) continue;
    // The dit contact is on DSR, the dah contact on CTS; a contact is
    // closed while its line is inactive.
    const TContactChange c{t, r.Value == 1, r.Value2 == 0};
    FContacts.push_back(c);
    if (c.Closed) FClosures.push_back(c);
  }
  for (const core::TTraceRecord& r : Audio) {
    switch (r.Event) {
      case core::teBuffer: {
        const double t = Seconds(r.Time);
        FTimeline.Fill(t, r.Position, FRate);
        FHaveBuffer = true;
        FNow = std::max(FNow, t);
        break;
      }
      case core::teKeyDown:
        if (FHaveBuffer) KeyDown(r.Position);
        break;
      case core::teKeyUp:
        if (FHaveBuffer) KeyUp(r.Position);
        break;
      case core::teEnvelope:
        if (FHaveBuffer)
          FEnvelope.push_back({TimeOfSample(r.Position), static_cast<float>(r.Value) * 1e-6f});
        break;
      default:
        break;
    }
    if (FHaveBuffer)
      FLastSample = std::max(FLastSample, r.Position + (r.Event == core::teBuffer ? r.Value : 0));
  }
  if (FHaveBuffer) {
    FNow = std::max(FNow, TimeOfSample(FLastSample));
    FDecoder.Idle(FLastSample);
  }
  Forget();
}

void TTimingModel::KeyDown(int64_t Sample) {
  const double t = TimeOfSample(Sample);
  FKeyEdges.push_back({t, Sample, true});
  if (!FElements.empty() && FElements.back().SpaceMs < 0) {
    TTimedElement& last = FElements.back();
    last.SpaceMs = static_cast<double>(Sample - last.EndSample) * 1000 / FRate;
    // Only a space inside a character has an ideal: one dit.
    last.SpaceErrorMs = last.SpaceMs < 2000 * FDit ? last.SpaceMs - 1000 * FDit : 0;
  }
  TTimedElement e;
  e.Start = t;
  e.FirstSample = Sample;
  e.EndSample = Sample;
  FElements.push_back(e);
}

void TTimingModel::KeyUp(int64_t Sample) {
  if (FElements.empty() || FElements.back().EndSample != FElements.back().FirstSample) return;
  const double t = TimeOfSample(Sample);
  FKeyEdges.push_back({t, Sample, false});
  TTimedElement& e = FElements.back();
  e.EndSample = Sample;
  e.MarkMs = static_cast<double>(Sample - e.FirstSample) * 1000 / FRate;
  e.Dah = e.MarkMs >= 2000 * FDit;
  e.MarkErrorMs = e.MarkMs - 1000 * FDit * (e.Dah ? 3 : 1);
  // The closure that caused it: the oldest one of its own paddle not yet
  // claimed and not later than the element. Straight key: the dah line.
  const bool straight = FDecoder.Tracking();
  const bool dit = !straight && !e.Dah;
  for (auto it = FClosures.begin(); it != FClosures.end(); ++it) {
    if (it->Time > e.Start) break;
    if (it->Dit == dit) {
      e.LatencyMs = (e.Start - it->Time) * 1000;
      FClosures.erase(FClosures.begin(), it + 1);
      break;
    }
  }
  FDecoder.Mark(e.FirstSample, e.EndSample);
}

void TTimingModel::Forget() {
  const double before = FNow - kKeepSeconds;
  while (!FContacts.empty() && FContacts.front().Time < before)
    FContacts.pop_front();
  while (!FKeyEdges.empty() && FKeyEdges.front().Time < before)
    FKeyEdges.pop_front();
  while (!FEnvelope.empty() && FEnvelope.front().Time < before)
    FEnvelope.pop_front();
  while (!FElements.empty() && FElements.front().Start < before)
    FElements.pop_front();
  // A closure that keyed nothing within a second caused nothing.
  while (!FClosures.empty() && FClosures.front().Time < FNow - 1)
    FClosures.pop_front();
}

int TTimingModel::SpacesTooLong() const {
  int n = 0;
  for (const TTimedElement& e : FElements)
    n += e.SpaceErrorMs > 100 * FDit;
  return n;
}

int TTimingModel::SpacesTooShort() const {
  int n = 0;
  for (const TTimedElement& e : FElements)
    n += e.SpaceErrorMs < -100 * FDit;
  return n;
}

int TTimingModel::Bounces() const {
  int n = 0;
  for (size_t i = 1; i < FContacts.size(); ++i) {
    // A change undone on the same contact within the bounce time.
    for (size_t j = i; j-- > 0;) {
      if (FContacts[j].Dit != FContacts[i].Dit) continue;
      n += FContacts[i].Time - FContacts[j].Time < kBounceSeconds;
      break;
    }
  }
  return n;
}

std::vector<int> TTimingModel::LatencyHistogram() const {
  std::vector<int> bins(kBins, 0);
  for (const TTimedElement& e : FElements) {
    if (e.LatencyMs < 0) continue;
    const int bin = std::min(kBins - 1, static_cast<int>(e.LatencyMs / kBinMs));
    ++bins[static_cast<size_t>(bin)];
  }
  return bins;
}

}  // namespace app
