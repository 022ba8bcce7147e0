#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/MainThread.h"
#include "core/Thread.h"

namespace {

using core::MainThread::CheckSynchronize;

// Pumps until Done or a generous deadline.
template <typename Pred>
bool PumpUntil(Pred Done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (!CheckSynchronize()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

TEST(MainThread, SynchronizeBlocksUntilTheMainThreadRunsIt) {
  ASSERT_TRUE(core::MainThread::IsMainThread());
  std::atomic<int> stage{0};
  int ranOn = 0;
  std::thread worker([&] {
    stage = 1;
    core::MainThread::Synchronize([&] { ranOn = core::MainThread::IsMainThread() ? 1 : 2; });
    stage = 2;
  });
  while (core::MainThread::Pending() == 0)
    std::this_thread::yield();
  // Queued but not run: the worker is still blocked.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(stage.load(), 1);
  EXPECT_TRUE(CheckSynchronize());
  worker.join();
  EXPECT_EQ(stage.load(), 2);
  EXPECT_EQ(ranOn, 1);
}

TEST(MainThread, CallsRunInFifoOrderAcrossThreadsAndPosts) {
  std::vector<int> order;
  std::atomic<int> queued{0};
  std::thread a([&] {
    core::MainThread::Post([&] { order.push_back(1); });
    queued = 1;
    core::MainThread::Synchronize([&] { order.push_back(2); });
    core::MainThread::Synchronize([&] { order.push_back(3); });
  });
  while (queued.load() == 0)
    std::this_thread::yield();
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 3; }));
  a.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(MainThread, SynchronizeOnTheMainThreadRunsAtOnce) {
  int n = 0;
  core::MainThread::Synchronize([&] { ++n; });
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(CheckSynchronize());
}

TEST(MainThread, ProcessMessagesUsesTheInstalledPump) {
  int pumps = 0;
  core::SetMessagePump([&] {
    ++pumps;
    CheckSynchronize();
  });
  int ran = 0;
  core::MainThread::Post([&] { ++ran; });
  core::ProcessMessages();
  EXPECT_EQ(pumps, 1);
  EXPECT_EQ(ran, 1);
  core::SetMessagePump(nullptr);
  core::MainThread::Post([&] { ++ran; });
  core::ProcessMessages();
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(pumps, 1);
}

TEST(MainThread, DelayedCallsRunWhenDueInDueOrderAndWaitsEndOnCalls) {
  using namespace std::chrono;
  std::vector<int> order;
  const auto start = steady_clock::now();
  core::MainThread::PostDelayed([&] { order.push_back(2); }, 40);
  core::MainThread::PostDelayed([&] { order.push_back(1); }, 20);
  core::MainThread::PostDelayed([&] { order.push_back(3); }, 40);
  // Not due yet: nothing runs.
  EXPECT_FALSE(CheckSynchronize());
  // The wait ends when the first falls due, not at its own end.
  EXPECT_TRUE(core::MainThread::WaitForCalls(10000));
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  // A call queued from another thread ends the wait at once.
  std::thread poster([] {
    std::this_thread::sleep_for(milliseconds(5));
    core::MainThread::Post([] {});
  });
  const auto before = steady_clock::now();
  EXPECT_TRUE(core::MainThread::WaitForCalls(10000));
  EXPECT_LT(steady_clock::now() - before, seconds(5));
  poster.join();
  EXPECT_TRUE(CheckSynchronize());

  // Nothing queued: the wait lasts its full time. A Wake ends the next one.
  const auto idle = steady_clock::now();
  EXPECT_FALSE(core::MainThread::WaitForCalls(15));
  EXPECT_GE(steady_clock::now() - idle, milliseconds(15));
  core::MainThread::Wake();
  EXPECT_TRUE(core::MainThread::WaitForCalls(10000));
  EXPECT_FALSE(core::MainThread::WaitForCalls(0));
}

class TCountingThread : public core::TThread {
 public:
  ~TCountingThread() override { Shutdown(); }
  std::atomic<int> Passes{0};
  std::atomic<int> Handed{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      ++Passes;
      Synchronize([this] { ++Handed; });
    }
  }
};

TEST(Thread, TerminateEndsTheLoopAndNotifiesOnTheMainThread) {
  TCountingThread t;
  bool notified = false;
  bool notifiedOnMain = false;
  t.OnTerminate = [&](core::TObject* sender) {
    notified = sender == &t;
    notifiedOnMain = core::MainThread::IsMainThread();
  };
  t.Start();
  ASSERT_TRUE(PumpUntil([&] { return t.Handed.load() >= 3; }));
  // The worker is blocked in a hand-off: WaitFor must keep pumping.
  t.Shutdown();
  EXPECT_TRUE(t.Finished());
  EXPECT_TRUE(notified);
  EXPECT_TRUE(notifiedOnMain);
  EXPECT_EQ(t.Passes.load(), t.Handed.load());
}

TEST(Thread, DestroyingAnUnstartedThreadIsHarmless) {
  TCountingThread t;
  EXPECT_FALSE(t.Started());
}

}  // namespace
