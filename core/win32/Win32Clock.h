#pragma once
// The real clock on Windows: the performance counter and the system's
// Sleep. While the program runs the system timer is set to 1 ms
// resolution; without that Sleep(1) lasts a whole 15.6 ms tick and every
// element wait would be late.
#include "core/Timing.h"

namespace core {

class TWin32Clock final : public IClock {
 public:
  TWin32Clock();
  int64_t QueryPerformanceCounter() override;
  int64_t QueryPerformanceFrequency() override { return FFrequency; }
  void Sleep(uint32_t Milliseconds) override;
  // Sleeps whole milliseconds while more than two remain, then yields the
  // processor until the counter is reached: a Sleep may end up to a tick
  // late, so the last stretch is not left to it.
  void SleepUntil(int64_t Counter) override;
  uint32_t GetTickCount() override;

 private:
  int64_t FFrequency;
};

// Whether the system timer was set to 1 ms for this process.
bool TimerResolutionRaised();

}  // namespace core
