#pragma once
// Debug-build check of a single-producer/single-consumer structure: each
// side is a role that at most one thread may hold at a time. A side holds
// its role for the span of one operation (or one buffer), so the audio
// thread may change when a driver restarts, but two threads in one role at
// once (the fault these structures cannot survive) stops the program.
// Release builds compile it away.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace core {

class TThreadRole {
 public:
  explicit TThreadRole(const char* Name) : FName(Name) {}

#ifdef NDEBUG
  class TScope {
   public:
    explicit TScope(TThreadRole&) {}
  };
#else
  class TScope {
   public:
    explicit TScope(TThreadRole& Role) : FRole(Role) { FRole.Enter(); }
    ~TScope() { FRole.Leave(); }
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;

   private:
    TThreadRole& FRole;
  };
#endif

  const char* Name() const {
    return FName;
  }

 private:
#ifndef NDEBUG
  static std::size_t Self() {
    // Never 0, so 0 can mean "free".
    return std::hash<std::thread::id>()(std::this_thread::get_id()) | 1;
  }
  void Enter() {
    const std::size_t self = Self();
    std::size_t expected = 0;
    if (FHolder.compare_exchange_strong(expected, self, std::memory_order_acquire)) {
      FDepth = 1;
      return;
    }
    if (expected == self) {
      ++FDepth;  // nested use on the same thread
      return;
    }
    std::fprintf(stderr, "thread role '%s' taken by two threads at once\n", FName);
    std::abort();
  }
  void Leave() {
    if (--FDepth == 0) FHolder.store(0, std::memory_order_release);
  }

  std::atomic<std::size_t> FHolder{0};
  int FDepth = 0;  // only the holder touches it
#endif
  const char* FName;
};

}  // namespace core
