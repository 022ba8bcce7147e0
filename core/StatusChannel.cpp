#include "core/StatusChannel.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace core {

void CopyStatusText(char* Out, std::size_t Size, std::string_view Text) {
  if (Size == 0) return;
  std::size_t n = Text.size() < Size - 1 ? Text.size() : Size - 1;
  if (n < Text.size()) {
    // Do not leave half a character: back up over continuation bytes to the
    // start of the character that did not fit.
    while (n > 0 && (static_cast<unsigned char>(Text[n]) & 0xC0) == 0x80)
      --n;
  }
  std::memcpy(Out, Text.data(), n);
  Out[n] = '\0';
}

TStatusChannel::TStatusChannel(IClock* Clock) : FClock(Clock ? Clock : &SystemClock()) {
  for (uint32_t i = 0; i < kCapacity; ++i)
    FCells[i].Sequence.store(i, std::memory_order_relaxed);
}

bool TStatusChannel::Post(TStatusSource Source, TStatusSeverity Severity, int32_t Code,
                          std::string_view Text) {
  uint64_t pos = FEnqueue.load(std::memory_order_relaxed);
  TCell* cell;
  for (;;) {
    cell = &FCells[pos % kCapacity];
    const uint64_t seq = cell->Sequence.load(std::memory_order_acquire);
    const int64_t diff = static_cast<int64_t>(seq) - static_cast<int64_t>(pos);
    if (diff == 0) {
      if (FEnqueue.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
    } else if (diff < 0) {
      FDropped.fetch_add(1, std::memory_order_relaxed);
      return false;
    } else {
      pos = FEnqueue.load(std::memory_order_relaxed);
    }
  }
  TStatusRecord& r = cell->Record;
  r.Source = Source;
  r.Severity = Severity;
  r.Code = Code;
  r.Time = FClock.load(std::memory_order_relaxed)->QueryPerformanceCounter();
  r.Number = pos + 1;
  CopyStatusText(r.Text, sizeof r.Text, Text);
  cell->Sequence.store(pos + 1, std::memory_order_release);
  return true;
}

bool TStatusChannel::PostF(TStatusSource Source, TStatusSeverity Severity, int32_t Code,
                           const char* Format, ...) {
  char text[TStatusRecord::kTextSize];
  va_list args;
  va_start(args, Format);
  const int n = std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  if (n < 0) return false;
  // vsnprintf cuts at a byte; CopyStatusText mends a split character.
  return Post(Source, Severity, Code, std::string_view(text, std::strlen(text)));
}

bool TStatusChannel::Read(TStatusRecord& Record) {
  [[maybe_unused]] const int readers = FReaders.fetch_add(1, std::memory_order_acquire);
  assert(readers == 0 && "TStatusChannel has one reader at a time");
  bool got = false;
  uint64_t pos = FDequeue.load(std::memory_order_relaxed);
  TCell& cell = FCells[pos % kCapacity];
  const uint64_t seq = cell.Sequence.load(std::memory_order_acquire);
  if (seq == pos + 1) {
    Record = cell.Record;
    FDequeue.store(pos + 1, std::memory_order_relaxed);
    cell.Sequence.store(pos + kCapacity, std::memory_order_release);
    got = true;
  }
  FReaders.fetch_sub(1, std::memory_order_release);
  return got;
}

void TStatusChannel::Drain() {
  TStatusRecord r;
  while (Read(r)) {
  }
  TakeDropped();
}

bool TStatusChannel::HasRecords() const {
  const uint64_t pos = FDequeue.load(std::memory_order_relaxed);
  return FCells[pos % kCapacity].Sequence.load(std::memory_order_acquire) == pos + 1;
}

TStatusChannel& StatusChannel() {
  static TStatusChannel* channel = new TStatusChannel;  // threads may outlive statics
  return *channel;
}

}  // namespace core
