#pragma once
// The one road by which the operator hears of what went wrong (or right
// again): every subsystem posts status records from whatever thread it is
// on, the audio thread included, and the window reads them on the main
// thread for its status line. Posting takes no lock, makes no system call
// and allocates nothing; a full channel drops the record and counts it.
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/BoundedQueue.h"
#include "core/Timing.h"

namespace core {

enum TStatusSource : uint8_t { ssApp, ssSerial, ssHost, ssDriver, ssFilter, ssKeyer };
// Most important first. The serial component's Noise 0, 1, 2 map to
// svError, svWarning and svProgress.
enum TStatusSeverity : uint8_t { svError, svWarning, svInfo, svProgress };

struct TStatusRecord {
  static constexpr std::size_t kTextSize = 232;

  TStatusSource Source = ssApp;
  TStatusSeverity Severity = svInfo;
  int32_t Code = 0;           // system or driver error code, 0 when none
  int64_t Time = 0;           // ticks of the channel's clock when posted
  uint64_t Number = 0;        // 1, 2, 3 ... in the order records were posted
  char Text[kTextSize] = {};  // zero-terminated; cut at a character boundary

  std::string_view TextView() const { return Text; }
};

// Multi-producer, single-consumer, bounded.
class TStatusChannel {
 public:
  static constexpr uint32_t kCapacity = 256;

  explicit TStatusChannel(IClock* Clock = nullptr);
  TStatusChannel(const TStatusChannel&) = delete;
  TStatusChannel& operator=(const TStatusChannel&) = delete;

  // Any thread. Answers false when the channel is full (the record is lost
  // and counted).
  bool Post(TStatusSource Source, TStatusSeverity Severity, int32_t Code, std::string_view Text);
  // printf-style; formats into a buffer of the record's size.
  bool PostF(TStatusSource Source, TStatusSeverity Severity, int32_t Code, const char* Format, ...)
      __attribute__((format(printf, 5, 6)));

  // Consumer (one thread at a time, normally the main thread): takes the
  // oldest record. Answers false when none waits.
  bool Read(TStatusRecord& Record);
  // Records lost to a full channel since the last call.
  uint64_t TakeDropped() { return FDropped.exchange(0, std::memory_order_relaxed); }
  // Consumer: throws away everything waiting.
  void Drain();
  // Whether a record waits (any thread; a hint).
  bool HasRecords() const;

  // The clock that stamps records (nullptr: the system clock). Set while
  // no producer runs.
  void SetClock(IClock* Clock) { FClock.store(Clock ? Clock : &SystemClock()); }

 private:
  TMpscQueue<TStatusRecord> FQueue{kCapacity};
  alignas(64) std::atomic<uint64_t> FDropped{0};
  std::atomic<IClock*> FClock;
};

// The process-wide channel the components post to.
TStatusChannel& StatusChannel();

inline bool PostStatus(TStatusSource Source, TStatusSeverity Severity, int32_t Code,
                       std::string_view Text) {
  return StatusChannel().Post(Source, Severity, Code, Text);
}

// Copies Text into Out (Size bytes, zero-terminated), cutting it at the last
// whole UTF-8 character that fits.
void CopyStatusText(char* Out, std::size_t Size, std::string_view Text);

}  // namespace core
