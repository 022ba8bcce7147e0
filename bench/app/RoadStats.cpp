#include "bench/app/RoadStats.h"

#include <algorithm>
#include <cmath>

namespace bench {

TSummary Summarize(std::vector<double> Values) {
  TSummary s;
  s.Count = Values.size();
  if (Values.empty()) return s;
  std::sort(Values.begin(), Values.end());
  const auto rank = [&](double P) {
    // Nearest rank: the smallest value with at least P of the set at or below it.
    const size_t r = static_cast<size_t>(std::ceil(P * static_cast<double>(Values.size())));
    return Values[std::clamp<size_t>(r, 1, Values.size()) - 1];
  };
  s.Min = Values.front();
  s.Median = rank(0.5);
  s.P90 = rank(0.9);
  s.P99 = rank(0.99);
  s.Max = Values.back();
  return s;
}

void TOnsetDetector::Cycle(const float* Samples, uint32_t Frames, int64_t Frame, int64_t EntryNs) {
  // Read the state first: an Arm that lands while this cycle is looked at
  // takes effect from the next one, so no onset can precede its closure.
  const bool armed = FState.load(std::memory_order_acquire) == kArmed;
  uint32_t first = Frames;
  uint32_t last = 0;
  for (uint32_t i = 0; i < Frames; ++i) {
    if (std::fabs(Samples[i]) > kThreshold) {
      if (first == Frames) first = i;
      last = i;
    }
  }
  if (first == Frames) {
    FSilent.fetch_add(Frames, std::memory_order_release);
  } else {
    FSilent.store(Frames - 1 - last, std::memory_order_release);
    if (armed) {
      FOnset.Cycle = FCycles.load(std::memory_order_relaxed);
      FOnset.Frame = Frame + first;
      FOnset.EntryNs = EntryNs;
      FOnset.Offset = first;
      FOnset.Frames = Frames;
      int expected = kArmed;
      FState.compare_exchange_strong(expected, kFound, std::memory_order_release);
    }
  }

  const uint64_t n = FCycles.load(std::memory_order_relaxed);
  FLeads[n % kLeads].store(EntryNs - FrameNs(Frame, 0), std::memory_order_relaxed);
  FCycles.store(n + 1, std::memory_order_release);
}

int64_t TOnsetDetector::FrameNs(int64_t Frame, int64_t Anchor) const {
  return Anchor + std::llround(static_cast<double>(Frame) * 1e9 / FRate);
}

int64_t TOnsetDetector::LeastLead(uint64_t First, uint64_t Last) const {
  const uint64_t done = Cycles();
  Last = std::min(Last, done);
  if (done > kLeads) First = std::max(First, done - kLeads);
  int64_t least = INT64_MAX;
  for (uint64_t i = First; i < Last; ++i)
    least = std::min(least, FLeads[i % kLeads].load(std::memory_order_relaxed));
  return least;
}

int64_t TOnsetDetector::Anchor(uint64_t First, uint64_t Last, int64_t* Spread) const {
  if (Spread) *Spread = 0;
  const int64_t least = LeastLead(First, Last);
  if (Spread == nullptr || Last < First + kParts) return least;
  int64_t most = INT64_MIN;
  for (int p = 0; p < kParts; ++p)
    most = std::max(most, LeastLead(First + (Last - First) * p / kParts,
                                    First + (Last - First) * (p + 1) / kParts));
  if (least != INT64_MAX && most != INT64_MAX) *Spread = most - least;
  return least;
}

bool TOnsetDetector::Detected(TOnset& Onset) const {
  if (FState.load(std::memory_order_acquire) != kFound) return false;
  Onset = FOnset;
  return true;
}

TStages StagesOf(int64_t ClosureTicks, int64_t Frequency,
                 const std::vector<core::TTraceRecord>& Audio,
                 const std::vector<core::TTraceRecord>& Other) {
  TStages s;
  const auto ms = [&](int64_t Ticks) {
    return static_cast<double>(Ticks - ClosureTicks) * 1000.0 / static_cast<double>(Frequency);
  };
  int64_t after = ClosureTicks;
  const auto find = [&](core::TTraceEvent Event, auto Match) -> double {
    for (const core::TTraceRecord& r : Other)
      if (r.Event == Event && r.Time >= after && Match(r)) {
        after = r.Time;
        return ms(r.Time);
      }
    return -1;
  };
  // The dah contact is CTS (Value 0); closed means the line went inactive.
  s.Line = find(core::teLine, [](const auto& r) { return r.Value == 0 && r.Value2 == 0; });
  s.Handler = find(core::teHandler, [](const auto& r) { return r.Value == 0 && r.Value2 == 1; });
  s.Queued = find(core::teQueued, [](const auto&) { return true; });

  // The first key-down in a fill that began after the closure (audio
  // records carry their buffer's time only on teBuffer). A straight key
  // may go down inside a fill that began before its handler ran.
  const core::TTraceRecord* buffer = nullptr;
  for (const core::TTraceRecord& r : Audio) {
    if (r.Event == core::teBuffer) {
      buffer = r.Time >= ClosureTicks ? &r : nullptr;
    } else if (r.Event == core::teKeyDown && buffer != nullptr && r.Position >= buffer->Position &&
               r.Position < buffer->Position + buffer->Value) {
      s.Fill = ms(buffer->Time);
      s.KeyDownSample = r.Position;
      s.KeyDownOffset = r.Value;
      break;
    }
  }
  return s;
}

}  // namespace bench
