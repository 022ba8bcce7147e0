#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/BoundedQueue.h"
#include "core/Trace.h"

namespace {

using namespace std::chrono;

TEST(BoundedQueues, FullQueuesRefuseAndRecoverOnceRead) {
  core::TSpscQueue<int> spsc(4);
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(spsc.Push(i));
  EXPECT_FALSE(spsc.Push(99));
  int v = -1;
  ASSERT_TRUE(spsc.Pop(v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(spsc.Push(4));
  for (int want = 1; want <= 4; ++want) {
    ASSERT_TRUE(spsc.Pop(v));
    EXPECT_EQ(v, want);
  }
  EXPECT_FALSE(spsc.Pop(v));

  core::TMpscQueue<int> mpsc(2);
  EXPECT_TRUE(mpsc.Push([](int& x, uint64_t) { x = 1; }));
  EXPECT_TRUE(mpsc.Push([](int& x, uint64_t) { x = 2; }));
  EXPECT_FALSE(mpsc.Push([](int& x, uint64_t) { x = 3; }));
  ASSERT_TRUE(mpsc.Pop(v));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(mpsc.NotEmpty());
}

// The audio thread writes 100 records a millisecond for 10 s while three
// other threads post and the reader drains every 5 ms, as the keying
// loop's idle pump would: nothing is lost, nothing reordered.
TEST(Trace, DropsNothingAtAHundredRecordsAMillisecondForTenSeconds) {
  core::TTrace trace;
  trace.SetEnabled(true);
  constexpr int kMs = 10000, kPerMs = 100;
  std::atomic<bool> done{false};
  std::thread audio([&] {
    const auto start = steady_clock::now();
    int64_t n = 0;
    for (int ms = 0; ms < kMs; ++ms) {
      for (int i = 0; i < kPerMs; ++i, ++n)
        trace.Audio(core::teEnvelope, n, i, i == 0 ? 1 : 0);
      std::this_thread::sleep_until(start + milliseconds(ms + 1));
    }
    done = true;
  });
  std::vector<std::thread> others;
  for (int t = 0; t < 3; ++t)
    others.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        trace.Post(core::tsPort, core::teLine, t, i);
        if (i % 20 == 0) std::this_thread::sleep_for(milliseconds(1));
      }
    });
  std::vector<core::TTraceRecord> audioRecords, otherRecords;
  audioRecords.reserve(kMs * kPerMs);
  while (!done.load()) {
    std::this_thread::sleep_for(milliseconds(5));
    trace.Drain(audioRecords, otherRecords);
  }
  audio.join();
  for (auto& t : others)
    t.join();
  trace.Drain(audioRecords, otherRecords);
  EXPECT_EQ(trace.TakeDropped(), 0u);
  ASSERT_EQ(audioRecords.size(), static_cast<size_t>(kMs * kPerMs));
  for (size_t i = 0; i < audioRecords.size(); ++i)
    ASSERT_EQ(audioRecords[i].Position, static_cast<int64_t>(i));
  ASSERT_EQ(otherRecords.size(), 6000u);
  int last[3] = {-1, -1, -1};
  for (const core::TTraceRecord& r : otherRecords) {
    EXPECT_GT(r.Time, 0);
    EXPECT_EQ(r.Value2, last[r.Value] + 1);
    last[r.Value] = r.Value2;
  }
}

TEST(Trace, AFullRingCountsWhatItDrops) {
  core::TTrace trace;
  for (uint32_t i = 0; i < core::TTrace::kAudioCapacity + 3; ++i)
    trace.Audio(core::teEnvelope, i, 0);
  EXPECT_EQ(trace.TakeDropped(), 3u);
  // The shorthand stays silent while tracing is off.
  core::TTrace::Instance().SetEnabled(false);
  core::TracePost(core::tsKeyer, core::teHandler, 0, 1);
  std::vector<core::TTraceRecord> a, o;
  core::TTrace::Instance().Drain(a, o);
  EXPECT_TRUE(o.empty());
}

}  // namespace
