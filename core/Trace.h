#pragma once
// The road of the key, traced: records from each thread, stamped on the
// system clock, that the main thread reads to show what the keyer did and
// when. The audio thread writes only into a ring of its own (one producer,
// no lock, no system call, no allocation); the other threads share a
// multi-producer ring. A full ring drops the record and counts it. Tracing
// is off until a reader turns it on, so an unread trace costs one flag.
#include <atomic>
#include <cstdint>
#include <vector>

#include "core/BoundedQueue.h"
#include "core/Timing.h"

namespace core {

enum TTraceSource : uint8_t { tsPort, tsKeyer, tsAudio };

enum TTraceEvent : uint8_t {
  teLine,      // the port driver saw a modem line change: Value 0 CTS, 1 DSR; Value2 1 active
  teHandler,   // a paddle handler ran: Value 0 dah, 1 dit; Value2 1 closed
  teQueued,    // an element was queued: Value mark, Value2 space (samples)
  teBuffer,    // a buffer fill began: Position its first sample's index, Value its frames
  teKeyDown,   // the key went down at sample Position (Value: offset in its buffer)
  teKeyUp,     // the key went up at sample Position (Value: offset in its buffer)
  teEnvelope,  // Value: the envelope's peak, in millionths, over the samples up to Position
};

struct TTraceRecord {
  int64_t Time = 0;      // system clock ticks (nanoseconds); 0 for audio records but teBuffer
  int64_t Position = 0;  // sample index where the event is a sample's
  int32_t Value = 0;
  int32_t Value2 = 0;
  TTraceSource Source = tsPort;
  TTraceEvent Event = teLine;
};

class TTrace {
 public:
  static constexpr uint32_t kAudioCapacity = 1u << 16;
  static constexpr uint32_t kOtherCapacity = 1u << 14;

  TTrace();
  static TTrace& Instance();

  // The clock that stamps Post's records (nullptr: the system clock); the
  // audio side stamps with the same clock, given to it.
  void SetClock(IClock* Clock) { FClock.store(Clock ? Clock : &SystemClock()); }
  IClock& Clock() const { return *FClock.load(std::memory_order_relaxed); }

  bool Enabled() const { return FEnabled.load(std::memory_order_relaxed); }
  void SetEnabled(bool Value) { FEnabled.store(Value, std::memory_order_relaxed); }

  // Any thread but the audio thread; stamps the record now.
  void Post(TTraceSource Source, TTraceEvent Event, int32_t Value, int32_t Value2 = 0,
            int64_t Position = 0);
  // The audio thread. Time 0 leaves the record unstamped.
  void Audio(TTraceEvent Event, int64_t Position, int32_t Value, int64_t Time = 0) {
    TTraceRecord r;
    r.Time = Time;
    r.Position = Position;
    r.Value = Value;
    r.Source = tsAudio;
    r.Event = Event;
    if (!FAudio.Push(r)) FDropped.fetch_add(1, std::memory_order_relaxed);
  }

  // The reader (one thread): appends what waits, audio records and others
  // each in the order written.
  void Drain(std::vector<TTraceRecord>& Audio, std::vector<TTraceRecord>& Other);
  uint64_t TakeDropped() { return FDropped.exchange(0, std::memory_order_relaxed); }

 private:
  std::atomic<bool> FEnabled{false};
  std::atomic<IClock*> FClock;
  TSpscQueue<TTraceRecord> FAudio{kAudioCapacity};
  TMpscQueue<TTraceRecord> FOther{kOtherCapacity};
  std::atomic<uint64_t> FDropped{0};
};

// Shorthands that cost one flag when tracing is off.
inline void TracePost(TTraceSource Source, TTraceEvent Event, int32_t Value, int32_t Value2 = 0,
                      int64_t Position = 0) {
  TTrace& t = TTrace::Instance();
  if (t.Enabled()) t.Post(Source, Event, Value, Value2, Position);
}

}  // namespace core
