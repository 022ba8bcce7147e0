#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace core {

// The timing services the keyer and the serial worker take from the
// platform. The real clock is the monotonic steady clock; tests use
// TVirtualClock so that every timing is deterministic.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual int64_t QueryPerformanceCounter() = 0;
  virtual int64_t QueryPerformanceFrequency() = 0;
  virtual void Sleep(uint32_t Milliseconds) = 0;
  // Returns once QueryPerformanceCounter has reached Counter (at once when
  // it has already), as close after it as the platform can.
  virtual void SleepUntil(int64_t Counter) = 0;
  virtual uint32_t GetTickCount() = 0;
};

// Steady clock in nanoseconds (frequency 1e9).
class TSteadyClock final : public IClock {
 public:
  int64_t QueryPerformanceCounter() override;
  int64_t QueryPerformanceFrequency() override { return 1000000000; }
  void Sleep(uint32_t Milliseconds) override;
  void SleepUntil(int64_t Counter) override;
  uint32_t GetTickCount() override;
};

// The process-wide real clock.
IClock& SystemClock();

// A clock that moves only when code sleeps or a test advances it. Sleep(ms)
// advances by exactly ms, SleepUntil to its target; an optional hook runs
// after every sleep (on the sleeping thread, with the whole milliseconds
// slept, 0 for SleepUntil) so a test can script what happens at given times.
// Safe to read and advance from several threads.
class TVirtualClock final : public IClock {
 public:
  explicit TVirtualClock(int64_t Frequency = 10000000) : FFrequency(Frequency) {}

  int64_t QueryPerformanceCounter() override { return FTicks.load(); }
  int64_t QueryPerformanceFrequency() override { return FFrequency; }
  void Sleep(uint32_t Milliseconds) override;
  void SleepUntil(int64_t Counter) override;
  uint32_t GetTickCount() override {
    return static_cast<uint32_t>(FTicks.load() * 1000 / FFrequency);
  }

  void AdvanceTicks(int64_t Ticks) { FTicks.fetch_add(Ticks); }
  void AdvanceMs(int64_t Milliseconds) { AdvanceTicks(Milliseconds * FFrequency / 1000); }
  void SetTicks(int64_t Ticks) { FTicks.store(Ticks); }
  int64_t Ticks() const { return FTicks.load(); }
  int64_t Frequency() const { return FFrequency; }
  double Seconds() const { return static_cast<double>(FTicks.load()) / FFrequency; }

  uint64_t SleepCalls() const { return FSleepCalls.load(); }
  uint64_t SleepMilliseconds() const { return FSleptMs.load(); }

  // Runs after each Sleep with the sleep's length.
  void SetOnSleep(std::function<void(uint32_t Milliseconds)> Hook);

 private:
  const int64_t FFrequency;
  std::atomic<int64_t> FTicks{0};
  std::atomic<uint64_t> FSleepCalls{0};
  std::atomic<uint64_t> FSleptMs{0};
  std::mutex FHookLock;
  std::function<void(uint32_t)> FOnSleep;
};

}  // namespace core
