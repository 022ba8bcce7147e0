#pragma once
// Single-producer, single-consumer ring of trivially copyable values. The
// producer (a stream thread) never waits and never allocates: a block that
// does not fit is refused whole, so the consumer never sees half a frame.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace asio::drivers {

template <typename T>
class TSpscRing {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // Capacity is rounded up to a power of two.
  explicit TSpscRing(std::size_t Capacity) {
    std::size_t c = 1;
    while (c < Capacity)
      c *= 2;
    FMask = c - 1;
    FData = std::make_unique<T[]>(c);
  }

  std::size_t Capacity() const { return FMask + 1; }

  // Producer: copies all Count values or none; answers whether it did.
  bool Push(const T* Values, std::size_t Count) {
    const std::size_t head = FHead.load(std::memory_order_relaxed);
    const std::size_t tail = FTail.load(std::memory_order_acquire);
    if (Capacity() - (head - tail) < Count) return false;
    CopyIn(head, Values, Count);
    FHead.store(head + Count, std::memory_order_release);
    return true;
  }

  // Consumer: copies up to Max values out; answers how many.
  std::size_t Pop(T* Values, std::size_t Max) {
    const std::size_t tail = FTail.load(std::memory_order_relaxed);
    const std::size_t head = FHead.load(std::memory_order_acquire);
    const std::size_t n = std::min(Max, head - tail);
    CopyOut(tail, Values, n);
    FTail.store(tail + n, std::memory_order_release);
    return n;
  }

  std::size_t Size() const {
    return FHead.load(std::memory_order_acquire) - FTail.load(std::memory_order_acquire);
  }

 private:
  void CopyIn(std::size_t At, const T* Values, std::size_t Count) {
    if (Count == 0) return;
    const std::size_t start = At & FMask;
    const std::size_t first = std::min(Count, Capacity() - start);
    std::memcpy(&FData[start], Values, first * sizeof(T));
    std::memcpy(&FData[0], Values + first, (Count - first) * sizeof(T));
  }
  void CopyOut(std::size_t At, T* Values, std::size_t Count) const {
    if (Count == 0) return;
    const std::size_t start = At & FMask;
    const std::size_t first = std::min(Count, Capacity() - start);
    std::memcpy(Values, &FData[start], first * sizeof(T));
    std::memcpy(Values + first, &FData[0], (Count - first) * sizeof(T));
  }

  std::size_t FMask = 0;
  std::unique_ptr<T[]> FData;
  // Free-running counters; their difference is the fill.
  alignas(64) std::atomic<std::size_t> FHead{0};
  alignas(64) std::atomic<std::size_t> FTail{0};
};

}  // namespace asio::drivers
