#include "core/StatusChannel.h"

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

TStatusChannel::TStatusChannel(IClock* Clock) : FClock(Clock ? Clock : &SystemClock()) {}

bool TStatusChannel::Post(TStatusSource Source, TStatusSeverity Severity, int32_t Code,
                          std::string_view Text) {
  IClock* clock = FClock.load(std::memory_order_relaxed);
  const bool posted = FQueue.Push([&](TStatusRecord& r, uint64_t Position) {
    r.Source = Source;
    r.Severity = Severity;
    r.Code = Code;
    r.Time = clock->QueryPerformanceCounter();
    r.Number = Position + 1;
    CopyStatusText(r.Text, sizeof r.Text, Text);
  });
  if (!posted) FDropped.fetch_add(1, std::memory_order_relaxed);
  return posted;
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
  return FQueue.Pop(Record);
}

void TStatusChannel::Drain() {
  TStatusRecord r;
  while (Read(r)) {
  }
  TakeDropped();
}

bool TStatusChannel::HasRecords() const {
  return FQueue.NotEmpty();
}

TStatusChannel& StatusChannel() {
  static TStatusChannel* channel = new TStatusChannel;  // threads may outlive statics
  return *channel;
}

}  // namespace core
