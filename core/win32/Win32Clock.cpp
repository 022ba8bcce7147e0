#include "core/win32/Win32Clock.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>

namespace core {
namespace {

// Holds the 1 ms timer resolution from start-up to exit.
struct TTimerResolution {
  TTimerResolution() : Raised(timeBeginPeriod(1) == TIMERR_NOERROR) {}
  ~TTimerResolution() {
    if (Raised) timeEndPeriod(1);
  }
  const bool Raised;
};
const TTimerResolution GTimerResolution;

int64_t CounterFrequency() {
  LARGE_INTEGER f;
  return ::QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1000;
}

}  // namespace

bool TimerResolutionRaised() {
  return GTimerResolution.Raised;
}

TWin32Clock::TWin32Clock() : FFrequency(CounterFrequency()) {}

int64_t TWin32Clock::QueryPerformanceCounter() {
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  return c.QuadPart;
}

void TWin32Clock::Sleep(uint32_t Milliseconds) {
  ::Sleep(Milliseconds);
}

void TWin32Clock::SleepUntil(int64_t Counter) {
  const int64_t margin = 2 * FFrequency / 1000;
  for (;;) {
    const int64_t left = Counter - QueryPerformanceCounter();
    if (left <= 0) return;
    if (left > margin)
      ::Sleep(static_cast<DWORD>((left - margin) * 1000 / FFrequency));
    else
      ::Sleep(0);
  }
}

uint32_t TWin32Clock::GetTickCount() {
  return ::GetTickCount();
}

IClock& SystemClock() {
  static TWin32Clock clock;
  return clock;
}

}  // namespace core
