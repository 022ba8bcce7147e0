// The real clock on Windows. Its waits are the thing under test, so these
// checks sleep for real, briefly, with bounds loose enough for a loaded
// machine.
#include <gtest/gtest.h>

#include "core/win32/Win32Clock.h"

namespace core {
namespace {

TEST(Win32Clock, TheSystemClockIsThePerformanceCounterWithA1MsTimer) {
  IClock& clock = SystemClock();
  EXPECT_NE(dynamic_cast<TWin32Clock*>(&clock), nullptr);
  EXPECT_TRUE(TimerResolutionRaised());
  EXPECT_GE(clock.QueryPerformanceFrequency(), 1000);
  const int64_t a = clock.QueryPerformanceCounter();
  const int64_t b = clock.QueryPerformanceCounter();
  EXPECT_GE(b, a);
}

TEST(Win32Clock, SleepUntilEndsAtItsTargetNotATickLate) {
  TWin32Clock clock;
  const int64_t f = clock.QueryPerformanceFrequency();
  for (int ms : {0, 1, 3, 12}) {
    const int64_t target = clock.QueryPerformanceCounter() + ms * f / 1000;
    clock.SleepUntil(target);
    const int64_t now = clock.QueryPerformanceCounter();
    EXPECT_GE(now, target) << ms << " ms";
    EXPECT_LT(now - target, 8 * f / 1000) << ms << " ms";
  }
  // A target already passed returns at once.
  const int64_t before = clock.QueryPerformanceCounter();
  clock.SleepUntil(before - f);
  EXPECT_LT(clock.QueryPerformanceCounter() - before, 5 * f / 1000);
}

TEST(Win32Clock, ShortSleepsLastAboutTheirLengthAndTheTickCountFollows) {
  TWin32Clock clock;
  const int64_t f = clock.QueryPerformanceFrequency();
  const uint32_t tick = clock.GetTickCount();
  const int64_t start = clock.QueryPerformanceCounter();
  for (int i = 0; i < 20; ++i)
    clock.Sleep(1);
  const double ms = (clock.QueryPerformanceCounter() - start) * 1000.0 / static_cast<double>(f);
  // Without the 1 ms timer twenty sleeps of 1 ms take about 312 ms.
  EXPECT_GE(ms, 19.0);
  EXPECT_LT(ms, 150.0);
  EXPECT_GE(clock.GetTickCount() - tick, 15u);
}

}  // namespace
}  // namespace core
