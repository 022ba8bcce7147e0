// The keying side and the audio side on two threads, as with a real driver.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "FakeKeyerServices.h"
#include "keyer/ElementQueue.h"

namespace keyer::testing {
namespace {

// The queue alone: the consumer takes every element exactly once and in
// order, except those a clear discarded, and never one queued before a
// clear it has seen.
TEST(ElementQueueThreads, ConsumerSeesEachElementOnceInOrderAndNoneFromBeforeAClear) {
  TElementQueue queue;
  constexpr int32_t kElements = 200000;
  // Generation of each element: the number of clears before it was queued.
  std::vector<std::atomic<int32_t>> generation(kElements + 1);
  std::atomic<int32_t> clears{0};
  std::atomic<bool> done{false};

  std::vector<int32_t> taken;
  taken.reserve(kElements);
  bool staleAfterClear = false;
  std::thread consumer([&] {
    while (true) {
      const int32_t seenClears = clears.load(std::memory_order_acquire);
      TKeyElement* head = queue.Head();
      if (head == nullptr) {
        if (done.load(std::memory_order_acquire) && queue.Head() == nullptr) break;
        std::this_thread::yield();
        continue;
      }
      const int32_t id = head->MarkSamples;
      // The clear published before `clears` was raised must already apply.
      if (generation[static_cast<size_t>(id)].load(std::memory_order_relaxed) < seenClears)
        staleAfterClear = true;
      // Count the head down as the buffer fill does.
      while (head->SpaceSamples > 0)
        --head->SpaceSamples;
      queue.RemoveHead();
      taken.push_back(id);
    }
  });

  std::vector<int32_t> accepted;
  for (int32_t id = 1; id <= kElements; ++id) {
    generation[static_cast<size_t>(id)].store(clears.load(), std::memory_order_relaxed);
    if (queue.Push(id, 3)) accepted.push_back(id);
    if (id % 97 == 0) {
      queue.Clear();
      clears.fetch_add(1, std::memory_order_release);
    }
    EXPECT_LE(queue.Count(), TElementQueue::kCapacity);
  }
  done.store(true, std::memory_order_release);
  consumer.join();

  EXPECT_FALSE(staleAfterClear);
  for (size_t i = 1; i < taken.size(); ++i)
    ASSERT_LT(taken[i - 1], taken[i]);
  const std::set<int32_t> acceptedSet(accepted.begin(), accepted.end());
  for (int32_t id : taken) {
    ASSERT_TRUE(acceptedSet.count(id)) << id;
  }
  // Everything queued after the last clear was taken.
  for (int32_t id : accepted) {
    if (id > kElements / 97 * 97) {
      EXPECT_TRUE(std::binary_search(taken.begin(), taken.end(), id));
    }
  }
}

// The engine: the main thread queues elements and clicks modes while an
// audio thread fills buffers.
class KeyerThreads : public ::testing::Test {
 protected:
  KeyerThreads() : engine(fake.Services()) {
    fake.AudioBufferSize = 32;
    fake.Rate = 48000;
    engine.ReadCounterFrequency();
    engine.tbWPMChange();
    levels.reserve(1 << 22);
  }

  void StartAudio() {
    audio = std::thread([this] {
      dsp::TArrayOfSingleArray in;
      dsp::TArrayOfSingleArray out(2, dsp::TSingleArray(32));
      while (!stop.load(std::memory_order_acquire)) {
        engine.ASIOHost1BufferSwitch(nullptr, in, out);
        buffers.fetch_add(1, std::memory_order_release);
        std::this_thread::yield();
      }
    });
  }
  void StopAudio() {
    stop.store(true, std::memory_order_release);
    audio.join();
  }
  // Waits until the audio thread has run n more buffers.
  void AwaitBuffers(uint64_t n) {
    const uint64_t target = buffers.load(std::memory_order_acquire) + n;
    while (buffers.load(std::memory_order_acquire) < target)
      std::this_thread::yield();
  }

  // Records key levels on the audio thread only.
  struct TRecorder : TFakeKeyerServices {
    std::vector<float>* Levels = nullptr;
    core::Extended ProcessSample(core::Extended Input) override {
      Levels->push_back(static_cast<float>(Input));
      return Input;
    }
  };

  std::vector<int> Runs() const {
    TFakeKeyerServices tmp;
    tmp.KeyLevels = levels;
    return tmp.MarkRuns();
  }

  TRecorder fake;
  TKeyerEngine engine;
  std::vector<float> levels;
  std::thread audio;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> buffers{0};
};

TEST_F(KeyerThreads, WithoutClicksEveryAcceptedElementSoundsOnceAndWhole) {
  fake.Levels = &levels;
  StartAudio();
  std::vector<int> accepted;
  for (int id = 0; id < 1500; ++id) {
    const int mark = 40 + id;  // unique, so each run names its element
    // A space longer than a buffer, so no element can leave unsounded.
    if (engine.QueueElement(mark, 40)) accepted.push_back(mark);
    if (engine.ElementCount() >= 6) AwaitBuffers(1);
  }
  while (engine.ElementCount() > 0)
    AwaitBuffers(1);
  AwaitBuffers(2);
  StopAudio();
  EXPECT_EQ(Runs(), accepted);
}

TEST_F(KeyerThreads, ClicksDiscardWhatIsQueuedAndNothingSoundsTwice) {
  fake.Levels = &levels;
  StartAudio();
  for (int id = 0; id < 3000; ++id) {
    engine.QueueElement(3000 + id, 8);
    if (id % 7 == 3) (id % 2) ? engine.rbIambicAClick() : engine.rbIambicBClick();
    if (id % 11 == 0) engine.rbStraightKeyClick();
    if (id % 11 == 5) engine.rbIambicBClick();
    if (engine.ElementCount() >= 8) AwaitBuffers(1);
  }
  // A last click discards the rest; only the element queued after it sounds.
  engine.rbIambicAClick();
  AwaitBuffers(3);
  const size_t before = [&] {
    StopAudio();
    return levels.size();
  }();
  stop.store(false);
  levels.clear();
  ASSERT_TRUE(engine.QueueElement(9999, 8));
  StartAudio();
  while (engine.ElementCount() > 0)
    AwaitBuffers(1);
  AwaitBuffers(2);
  StopAudio();
  EXPECT_GT(before, 0u);
  EXPECT_EQ(Runs(), std::vector<int>{9999});
}

}  // namespace
}  // namespace keyer::testing
