#pragma once
// Bounded queues of fixed-size records that never allocate after
// construction, never block and make no system call: a full queue refuses
// the record. TMpscQueue takes records from any number of threads;
// TSpscQueue from one producer at a time, for the audio thread, whose push
// is then a plain store and one release.
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/ThreadRole.h"

namespace core {

template <typename T>
class TMpscQueue {
 public:
  // Capacity: a power of two.
  explicit TMpscQueue(uint32_t Capacity)
      : FMask(Capacity - 1), FCells(std::make_unique<TCell[]>(Capacity)) {
    for (uint32_t i = 0; i < Capacity; ++i)
      FCells[i].Sequence.store(i, std::memory_order_relaxed);
  }

  // Any thread. Fill writes the record in place; answers false when full.
  template <typename F>
  bool Push(F&& Fill) {
    uint64_t pos = FEnqueue.load(std::memory_order_relaxed);
    TCell* cell;
    for (;;) {
      cell = &FCells[pos & FMask];
      const uint64_t seq = cell->Sequence.load(std::memory_order_acquire);
      const int64_t diff = static_cast<int64_t>(seq) - static_cast<int64_t>(pos);
      if (diff == 0) {
        if (FEnqueue.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
      } else if (diff < 0) {
        return false;
      } else {
        pos = FEnqueue.load(std::memory_order_relaxed);
      }
    }
    Fill(cell->Value, pos);
    cell->Sequence.store(pos + 1, std::memory_order_release);
    return true;
  }

  // One consumer at a time.
  bool Pop(T& Out) {
    const TThreadRole::TScope role(FConsumer);
    const uint64_t pos = FDequeue.load(std::memory_order_relaxed);
    TCell& cell = FCells[pos & FMask];
    if (cell.Sequence.load(std::memory_order_acquire) != pos + 1) return false;
    Out = cell.Value;
    FDequeue.store(pos + 1, std::memory_order_relaxed);
    cell.Sequence.store(pos + FMask + 1, std::memory_order_release);
    return true;
  }

  // Whether a record waits (a hint from any thread).
  bool NotEmpty() const {
    const uint64_t pos = FDequeue.load(std::memory_order_relaxed);
    return FCells[pos & FMask].Sequence.load(std::memory_order_acquire) == pos + 1;
  }

 private:
  struct TCell {
    std::atomic<uint64_t> Sequence{0};
    T Value{};
  };
  const uint64_t FMask;
  std::unique_ptr<TCell[]> FCells;
  alignas(64) std::atomic<uint64_t> FEnqueue{0};
  alignas(64) std::atomic<uint64_t> FDequeue{0};
  TThreadRole FConsumer{"queue consumer"};
};

template <typename T>
class TSpscQueue {
 public:
  // Capacity: a power of two.
  explicit TSpscQueue(uint32_t Capacity)
      : FMask(Capacity - 1), FSlots(std::make_unique<T[]>(Capacity)) {}

  // The one producer. Answers false when full.
  bool Push(const T& Value) {
    const TThreadRole::TScope role(FProducer);
    const uint64_t tail = FTail.load(std::memory_order_relaxed);
    if (tail - FHead.load(std::memory_order_acquire) > FMask) return false;
    FSlots[tail & FMask] = Value;
    FTail.store(tail + 1, std::memory_order_release);
    return true;
  }

  // The one consumer.
  bool Pop(T& Out) {
    const TThreadRole::TScope role(FConsumer);
    const uint64_t head = FHead.load(std::memory_order_relaxed);
    if (head == FTail.load(std::memory_order_acquire)) return false;
    Out = FSlots[head & FMask];
    FHead.store(head + 1, std::memory_order_release);
    return true;
  }

  bool NotEmpty() const {
    return FHead.load(std::memory_order_relaxed) != FTail.load(std::memory_order_acquire);
  }

 private:
  const uint64_t FMask;
  std::unique_ptr<T[]> FSlots;
  alignas(64) std::atomic<uint64_t> FTail{0};
  alignas(64) std::atomic<uint64_t> FHead{0};
  TThreadRole FProducer{"queue producer"};
  TThreadRole FConsumer{"queue consumer"};
};

}  // namespace core
