#pragma once
// The measuring half of the road latency benchmark, kept free of JACK and
// Qt so it can be tested: order statistics, the onset detector the probe
// client runs in its process callback, and the pairing of one closure with
// the trace records the rig left on its way to the first tone sample.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Trace.h"

namespace bench {

struct TSummary {
  size_t Count = 0;
  double Min = 0, Median = 0, P90 = 0, P99 = 0, Max = 0;
};
// Nearest-rank percentiles; an empty set gives Count 0 and zeros.
TSummary Summarize(std::vector<double> Values);

// What the probe saw of the first tone sample after it was armed.
struct TOnset {
  int64_t Frame = 0;    // the sample's frame number on the server's count
  int64_t EntryNs = 0;  // when the probe's callback ran for its cycle
  uint32_t Offset = 0;  // the sample's index in its cycle
  uint32_t Frames = 0;  // the cycle's length
  uint64_t Cycle = 0;   // its cycle's number, as Cycles counts them
};

// Finds the first sample above kThreshold after Arm, and counts the quiet
// samples since the last loud one (how long the output has been silent).
//
// It also keeps the server's cycle schedule on the probe's own clock: a
// cycle of a clock-driven server is due at Anchor + Frame / rate, and the
// probe runs some time after that. Over a stretch of cycles the smallest
// lead of the callback's entry over Frame / rate is that anchor (late by
// the shortest path through the graph). A server that falls behind starts
// its schedule anew, later, so an onset's anchor is taken over the cycles
// from its own on: a restart among them only raises their leads, and the
// onset's time errs late, never early.
// Cycle runs on the probe's audio thread and neither locks nor allocates;
// the other methods run on one other thread.
class TOnsetDetector {
 public:
  // The envelope filter leaves a residue far below this after a mark, and
  // a mark's first sample lies far above it unless it falls exactly on a
  // zero of the sine (then the onset is one sample late).
  static constexpr float kThreshold = 1e-6f;
  // Cycles whose leads are kept (several seconds at 64 frames).
  static constexpr uint64_t kLeads = 4096;

  explicit TOnsetDetector(double SampleRate) : FRate(SampleRate) {}

  void Cycle(const float* Samples, uint32_t Frames, int64_t Frame, int64_t EntryNs);

  // Looks for an onset from the next cycle on; forgets the last one.
  void Arm() { FState.store(kArmed, std::memory_order_release); }
  // The onset found since Arm, if any.
  bool Detected(TOnset& Onset) const;
  int64_t SilentFrames() const { return FSilent.load(std::memory_order_acquire); }
  uint64_t Cycles() const { return FCycles.load(std::memory_order_acquire); }

  // A frame's time on a schedule anchored at Anchor.
  int64_t FrameNs(int64_t Frame, int64_t Anchor) const;
  // The least lead over cycles [First, Last) (counted as Cycles counts
  // them; at most kLeads back), INT64_MAX for none.
  int64_t LeastLead(uint64_t First, uint64_t Last) const;
  // The anchor over [First, Last): its least lead (INT64_MAX for no
  // cycle). Spread tells how far the least leads of its eight parts lie
  // apart (0 when it is too short to part): a restart, or a stretch the
  // probe never ran early in.
  static constexpr int kParts = 8;
  int64_t Anchor(uint64_t First, uint64_t Last, int64_t* Spread = nullptr) const;

 private:
  enum : int { kIdle, kArmed, kFound };
  const double FRate;
  std::atomic<int> FState{kIdle};
  TOnset FOnset;  // written before kFound is published
  std::atomic<int64_t> FSilent{0};
  std::atomic<uint64_t> FCycles{0};
  std::atomic<int64_t> FLeads[kLeads] = {};
};

// The rig's own account of one closure, in milliseconds after it (trace
// clock); -1 where the trace holds no such record.
struct TStages {
  double Line = -1;     // the port saw the dah line go inactive
  double Handler = -1;  // the dah handler ran with the contact closed
  double Queued = -1;   // an element was queued (not in straight-key mode)
  double Fill = -1;     // the buffer fill that put the key down began
  int64_t KeyDownSample = -1;
  int32_t KeyDownOffset = -1;  // the key-down sample's index in its buffer
};

// Pairs the records drained after one closure at ClosureTicks (trace clock
// ticks, Frequency per second) with it: the first line change, handler run
// and queued element at or after the closure, each no earlier than the one
// before, and the first fill begun after the closure that put the key down.
TStages StagesOf(int64_t ClosureTicks, int64_t Frequency,
                 const std::vector<core::TTraceRecord>& Audio,
                 const std::vector<core::TTraceRecord>& Other);

}  // namespace bench
