#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/MainThread.h"
#include "serial/SerialPort.h"

namespace serial::test {

// Runs the main thread's waiting calls until Done holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& Done, int Milliseconds = 3000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
  for (;;) {
    core::MainThread::CheckSynchronize();
    if (Done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Pumps for a while: lets the worker run a few passes.
inline void PumpFor(int Milliseconds) {
  PumpUntil([] { return false; }, Milliseconds);
}

// Waits without running the main thread's calls, so a worker handing
// something over stays blocked.
inline bool WaitWithoutPumping(const std::function<bool()>& Done, int Milliseconds = 3000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct TReport {
  uint32_t Place;
  uint32_t Code;
  std::string Msg;
  uint8_t Noise;
};

// Collects OnProcessError reports (they arrive on the main thread).
class TReportLog {
 public:
  TNotifyErrorEvent Handler() {
    return [this](core::TObject*, uint32_t Place, uint32_t Code, const std::string& Msg,
                  uint8_t Noise) {
      Reports.push_back({Place, Code, Msg, Noise});
    };
  }
  const TReport* Find(uint32_t Place, const std::string& Msg) const {
    for (const TReport& report : Reports)
      if (report.Place == Place && report.Msg == Msg) return &report;
    return nullptr;
  }
  // The code of the first such report, or -1 if there is none.
  int64_t CodeOf(uint32_t Place, const std::string& Msg) const {
    const TReport* report = Find(Place, Msg);
    return report ? int64_t{report->Code} : -1;
  }
  bool HasPlace(uint32_t Place) const {
    for (const TReport& report : Reports)
      if (report.Place == Place) return true;
    return false;
  }
  std::vector<TReport> Reports;
};

}  // namespace serial::test
