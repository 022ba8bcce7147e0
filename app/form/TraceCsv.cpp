#include "app/form/TraceCsv.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace app {

namespace {
const char* SourceName(core::TTraceSource Source) {
  switch (Source) {
    case core::tsPort:
      return "port";
    case core::tsKeyer:
      return "keyer";
    case core::tsAudio:
      return "audio";
  }
  return "?";
}
}  // namespace

TTraceCsv::~TTraceCsv() {
  std::string ignored;
  if (FFile != nullptr) Close(ignored);
}

bool TTraceCsv::Open(const std::string& Path, int64_t StartTicks, int64_t Frequency,
                     std::string& Error) {
  FFile = std::fopen(Path.c_str(), "w");
  if (FFile == nullptr) {
    Error = std::strerror(errno);
    return false;
  }
  FStart = StartTicks;
  FFrequency = Frequency > 0 ? static_cast<double>(Frequency) : 1.0;
  FTimeline.Clear();
  FFailed = std::fputs("time,source,event,value\n", FFile) < 0;
  FRows = 0;
  return true;
}

double TTraceCsv::Seconds(int64_t Ticks) const {
  return static_cast<double>(Ticks - FStart) / FFrequency;
}

void TTraceCsv::Add(const std::vector<core::TTraceRecord>& Audio,
                    const std::vector<core::TTraceRecord>& Other, double Rate, int64_t FirstFrame) {
  if (FFile == nullptr) return;
  if (!(Rate > 0)) Rate = 48000;
  FRowsPending.clear();
  for (const core::TTraceRecord& r : Other) {
    const double t = Seconds(r.Time);
    const char* source = SourceName(r.Source);
    switch (r.Event) {
      case core::teLine:
        FRowsPending.push_back({t, source, r.Value == 0 ? "CTS" : "DSR", r.Value2 ? "1" : "0"});
        break;
      case core::teHandler:
        FRowsPending.push_back(
            {t, source, r.Value == 0 ? "dah contact" : "dit contact", r.Value2 ? "1" : "0"});
        break;
      case core::teQueued:
        FRowsPending.push_back({t, source, "queued mark", std::to_string(r.Value)});
        FRowsPending.push_back({t, source, "queued space", std::to_string(r.Value2)});
        break;
      default:
        break;
    }
  }
  for (const core::TTraceRecord& r : Audio) {
    if (r.Event == core::teBuffer) FTimeline.Fill(Seconds(r.Time), r.Position, Rate);
    if (!FTimeline.Known()) continue;
    const double t = FTimeline.TimeOfSample(r.Position, Rate);
    // Events before the first recorded frame lie outside the WAV.
    const int64_t frame = FirstFrame >= 0 ? r.Position - FirstFrame : -1;
    switch (r.Event) {
      case core::teBuffer:
        FRowsPending.push_back({t, "audio", "buffer", std::to_string(r.Value)});
        break;
      case core::teKeyDown:
      case core::teKeyUp:
        FRowsPending.push_back({t, "audio", r.Event == core::teKeyDown ? "key down" : "key up",
                                frame >= 0 ? std::to_string(frame) : std::string()});
        break;
      case core::teEnvelope: {
        char v[32];
        std::snprintf(v, sizeof v, "%.6f", static_cast<double>(r.Value) * 1e-6);
        FRowsPending.push_back({t, "audio", "envelope", v});
        break;
      }
      default:
        break;
    }
  }
  std::stable_sort(FRowsPending.begin(), FRowsPending.end(),
                   [](const TRow& a, const TRow& b) { return a.Time < b.Time; });
  for (const TRow& row : FRowsPending) {
    if (std::fprintf(FFile, "%.6f,%s,%s,%s\n", row.Time, row.Source, row.Event.c_str(),
                     row.Value.c_str()) < 0)
      FFailed = true;
    ++FRows;
  }
}

bool TTraceCsv::Close(std::string& Error) {
  if (FFile == nullptr) return true;
  const bool ok = std::fclose(FFile) == 0 && !FFailed;
  FFile = nullptr;
  if (!ok) Error = std::strerror(errno != 0 ? errno : EIO);
  return ok;
}

}  // namespace app
