#include "core/Timing.h"

#include <chrono>
#include <thread>

namespace core {

int64_t TSteadyClock::QueryPerformanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TSteadyClock::Sleep(uint32_t Milliseconds) {
  if (Milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

void TSteadyClock::SleepUntil(int64_t Counter) {
  using namespace std::chrono;
  const steady_clock::time_point target{
      duration_cast<steady_clock::duration>(nanoseconds(Counter))};
  // The sleep may end a little early on some systems; the rest is short.
  std::this_thread::sleep_until(target);
  while (steady_clock::now() < target)
    std::this_thread::yield();
}

uint32_t TSteadyClock::GetTickCount() {
  // Wraps after 49.7 days, as the 32-bit tick count does.
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

#if !defined(_WIN32)  // Windows has a clock of its own (core/win32)
IClock& SystemClock() {
  static TSteadyClock clock;
  return clock;
}
#endif

void TVirtualClock::Sleep(uint32_t Milliseconds) {
  AdvanceMs(Milliseconds);
  FSleepCalls.fetch_add(1);
  FSleptMs.fetch_add(Milliseconds);
  std::function<void(uint32_t)> hook;
  {
    std::lock_guard<std::mutex> guard(FHookLock);
    hook = FOnSleep;
  }
  if (hook) hook(Milliseconds);
}

void TVirtualClock::SleepUntil(int64_t Counter) {
  int64_t now = FTicks.load();
  while (now < Counter && !FTicks.compare_exchange_weak(now, Counter)) {
  }
  FSleepCalls.fetch_add(1);
  std::function<void(uint32_t)> hook;
  {
    std::lock_guard<std::mutex> guard(FHookLock);
    hook = FOnSleep;
  }
  if (hook) hook(0);
}

void TVirtualClock::SetOnSleep(std::function<void(uint32_t)> Hook) {
  std::lock_guard<std::mutex> guard(FHookLock);
  FOnSleep = std::move(Hook);
}

}  // namespace core
