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

uint32_t TSteadyClock::GetTickCount() {
  // Wraps after 49.7 days, as the 32-bit tick count does.
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

IClock& SystemClock() {
  static TSteadyClock clock;
  return clock;
}

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

void TVirtualClock::SetOnSleep(std::function<void(uint32_t)> Hook) {
  std::lock_guard<std::mutex> guard(FHookLock);
  FOnSleep = std::move(Hook);
}

}  // namespace core
