#pragma once
// The keyer's element queue, shared by the keying loop (the only producer)
// and the buffer fill (the only consumer). It behaves as eight slots with a
// count, as the keyer expects, but only the consumer ever removes: emptying
// the queue from the main thread is a request the consumer carries out the
// next time it looks at the head. Neither side waits or allocates.
#include <atomic>
#include <cstdint>

#include "core/ThreadRole.h"

namespace keyer {

struct TKeyElement {
  int32_t MarkSamples = 0;   // samples of tone still to sound
  int32_t SpaceSamples = 0;  // samples of silence after the mark still to run
};

class TElementQueue {
 public:
  static constexpr int32_t kCapacity = 8;

  // Producer. Stores the element behind the queued ones; a ninth element is
  // dropped (answers false).
  bool Push(int32_t MarkSamples, int32_t SpaceSamples) {
    const core::TThreadRole::TScope role(FProducer);
    const uint32_t t = FTail.load(std::memory_order_relaxed);
    const uint32_t h = FHead.load(std::memory_order_acquire);
    if (t - Effective(h, FClearTo.load(std::memory_order_relaxed)) >= kCapacity) return false;
    // Slots the consumer may still touch lie in [h, t); they must not be reused.
    if (t - h >= kSlots) return false;
    FSlots[t % kSlots] = TKeyElement{MarkSamples, SpaceSamples};
    FTail.store(t + 1, std::memory_order_release);
    return true;
  }

  // Producer. Discards everything queued so far.
  void Clear() {
    const core::TThreadRole::TScope role(FProducer);
    FClearTo.store(FTail.load(std::memory_order_relaxed), std::memory_order_release);
  }

  // Producer's view of the count, 0 to 8.
  int32_t Count() const {
    const uint32_t t = FTail.load(std::memory_order_relaxed);
    const uint32_t h = FHead.load(std::memory_order_acquire);
    return static_cast<int32_t>(t - Effective(h, FClearTo.load(std::memory_order_relaxed)));
  }

  // Consumer. The head element, or nullptr when the queue is empty. The
  // consumer counts the head's fields down in place.
  TKeyElement* Head() {
    const core::TThreadRole::TScope role(FConsumer);
    uint32_t h = FHead.load(std::memory_order_relaxed);
    const uint32_t c = FClearTo.load(std::memory_order_acquire);
    if (static_cast<int32_t>(c - h) > 0) {
      h = c;
      FHead.store(h, std::memory_order_release);
    }
    if (h == FTail.load(std::memory_order_acquire)) return nullptr;
    return &FSlots[h % kSlots];
  }

  // Consumer. Removes the head (after Head answered one).
  void RemoveHead() {
    const core::TThreadRole::TScope role(FConsumer);
    FHead.store(FHead.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  // Element i behind the head as the producer sees it; for inspection while
  // no buffer fill runs.
  TKeyElement Peek(int32_t Index) const {
    const uint32_t h =
        Effective(FHead.load(std::memory_order_acquire), FClearTo.load(std::memory_order_acquire));
    return FSlots[(h + static_cast<uint32_t>(Index)) % kSlots];
  }

 private:
  // Twice the capacity, so that a clear never lets the producer overwrite a
  // slot the consumer is still counting down.
  static constexpr uint32_t kSlots = 2 * kCapacity;

  static uint32_t Effective(uint32_t Head, uint32_t ClearTo) {
    return static_cast<int32_t>(ClearTo - Head) > 0 ? ClearTo : Head;
  }

  TKeyElement FSlots[kSlots];
  core::TThreadRole FProducer{"element queue producer"};
  core::TThreadRole FConsumer{"element queue consumer"};
  alignas(64) std::atomic<uint32_t> FTail{0};     // written by the producer
  alignas(64) std::atomic<uint32_t> FClearTo{0};  // written by the producer
  alignas(64) std::atomic<uint32_t> FHead{0};     // written by the consumer
};

}  // namespace keyer
