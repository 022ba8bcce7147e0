#include "core/Trace.h"

namespace core {

TTrace::TTrace() : FClock(&SystemClock()) {}

TTrace& TTrace::Instance() {
  static TTrace* trace = new TTrace;  // threads may outlive statics
  return *trace;
}

void TTrace::Post(TTraceSource Source, TTraceEvent Event, int32_t Value, int32_t Value2,
                  int64_t Position) {
  const int64_t now = Clock().QueryPerformanceCounter();
  const bool posted = FOther.Push([&](TTraceRecord& r, uint64_t) {
    r.Time = now;
    r.Position = Position;
    r.Value = Value;
    r.Value2 = Value2;
    r.Source = Source;
    r.Event = Event;
  });
  if (!posted) FDropped.fetch_add(1, std::memory_order_relaxed);
}

void TTrace::Drain(std::vector<TTraceRecord>& Audio, std::vector<TTraceRecord>& Other) {
  TTraceRecord r;
  while (FAudio.Pop(r))
    Audio.push_back(r);
  while (FOther.Pop(r))
    Other.push_back(r);
}

}  // namespace core
