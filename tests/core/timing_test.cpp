#include <gtest/gtest.h>

#include "core/Timing.h"

namespace {

TEST(VirtualClock, MovesOnlyWhenSleepingOrAdvanced) {
  core::TVirtualClock clock(10000000);
  EXPECT_EQ(clock.QueryPerformanceFrequency(), 10000000);
  EXPECT_EQ(clock.QueryPerformanceCounter(), 0);
  clock.Sleep(5);
  EXPECT_EQ(clock.QueryPerformanceCounter(), 50000);
  EXPECT_EQ(clock.GetTickCount(), 5u);
  clock.AdvanceTicks(3);
  EXPECT_EQ(clock.QueryPerformanceCounter(), 50003);
  EXPECT_EQ(clock.SleepCalls(), 1u);
  EXPECT_EQ(clock.SleepMilliseconds(), 5u);
}

TEST(VirtualClock, SleepHookSeesTheAdvancedTime) {
  core::TVirtualClock clock(1000);
  std::vector<int64_t> seen;
  clock.SetOnSleep([&](uint32_t ms) { seen.push_back(clock.QueryPerformanceCounter() * 10 + ms); });
  clock.Sleep(1);
  clock.Sleep(2);
  EXPECT_EQ(seen, (std::vector<int64_t>{11, 32}));
}

TEST(VirtualClock, TickCountWrapsAt32Bits) {
  core::TVirtualClock clock(1000);
  clock.SetTicks((int64_t{1} << 32) + 7);
  EXPECT_EQ(clock.GetTickCount(), 7u);
}

TEST(SteadyClock, IsMonotonicAndSleeps) {
  core::IClock& c = core::SystemClock();
  const int64_t a = c.QueryPerformanceCounter();
  c.Sleep(2);
  const int64_t b = c.QueryPerformanceCounter();
  EXPECT_GE(b - a, 2 * c.QueryPerformanceFrequency() / 1000);
}

}  // namespace
