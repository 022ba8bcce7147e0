#pragma once
// The trace of a recording as a CSV file beside its WAV: one row an event,
// "time,source,event,value", time in seconds from the start of the
// recording. Key edges carry the frame of the WAV file where they fall, so
// the two files line up sample for sample.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/form/TimingModel.h"
#include "core/Trace.h"

namespace app {

class TTraceCsv {
 public:
  ~TTraceCsv();
  // StartTicks: the trace clock's reading at the start of the recording;
  // Frequency its ticks per second.
  bool Open(const std::string& Path, int64_t StartTicks, int64_t Frequency, std::string& Error);
  // Records as the trace drained them. Rate: the stream's sample rate;
  // FirstFrame: the stream index of the WAV's first frame (-1: none yet).
  void Add(const std::vector<core::TTraceRecord>& Audio,
           const std::vector<core::TTraceRecord>& Other, double Rate, int64_t FirstFrame);
  // False with Error set when anything failed to reach the file.
  bool Close(std::string& Error);
  bool IsOpen() const { return FFile != nullptr; }
  uint64_t Rows() const { return FRows; }

 private:
  struct TRow {
    double Time;
    const char* Source;
    std::string Event;
    std::string Value;
  };
  double Seconds(int64_t Ticks) const;

  std::FILE* FFile = nullptr;
  int64_t FStart = 0;
  double FFrequency = 1;
  TStreamTimeline FTimeline;
  bool FFailed = false;
  uint64_t FRows = 0;
  std::vector<TRow> FRowsPending;
};

}  // namespace app
