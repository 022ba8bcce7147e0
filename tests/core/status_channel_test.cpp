#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/StatusChannel.h"
#include "core/ThreadRole.h"

namespace {

using core::TStatusChannel;
using core::TStatusRecord;

TEST(StatusChannel, RecordsComeOutInOrderWithTheirFieldsAndTheClocksTime) {
  core::TVirtualClock clock;
  TStatusChannel channel(&clock);
  TStatusRecord r;
  EXPECT_FALSE(channel.HasRecords());
  EXPECT_FALSE(channel.Read(r));
  clock.AdvanceMs(3);
  ASSERT_TRUE(channel.Post(core::ssSerial, core::svError, 2, "COM3: cannot open"));
  clock.AdvanceMs(4);
  ASSERT_TRUE(channel.PostF(core::ssDriver, core::svWarning, -1000, "%s went away", "JACK"));
  EXPECT_TRUE(channel.HasRecords());

  ASSERT_TRUE(channel.Read(r));
  EXPECT_EQ(r.Source, core::ssSerial);
  EXPECT_EQ(r.Severity, core::svError);
  EXPECT_EQ(r.Code, 2);
  EXPECT_EQ(r.Time, clock.Frequency() * 3 / 1000);
  EXPECT_EQ(r.TextView(), "COM3: cannot open");
  const uint64_t first = r.Number;
  ASSERT_TRUE(channel.Read(r));
  EXPECT_EQ(r.Source, core::ssDriver);
  EXPECT_EQ(r.Code, -1000);
  EXPECT_EQ(r.TextView(), "JACK went away");
  EXPECT_EQ(r.Number, first + 1);
  EXPECT_FALSE(channel.Read(r));
}

TEST(StatusChannel, AFullChannelDropsAndCountsAndRecoversOnceRead) {
  TStatusChannel channel;
  for (uint32_t i = 0; i < TStatusChannel::kCapacity; ++i)
    ASSERT_TRUE(channel.Post(core::ssApp, core::svInfo, static_cast<int32_t>(i), "x"));
  EXPECT_FALSE(channel.Post(core::ssApp, core::svInfo, -1, "lost"));
  EXPECT_FALSE(channel.Post(core::ssApp, core::svInfo, -2, "lost"));
  EXPECT_EQ(channel.TakeDropped(), 2u);
  EXPECT_EQ(channel.TakeDropped(), 0u);
  TStatusRecord r;
  ASSERT_TRUE(channel.Read(r));
  EXPECT_EQ(r.Code, 0);
  ASSERT_TRUE(channel.Post(core::ssApp, core::svInfo, 999, "kept"));
  int32_t last = -1;
  int n = 0;
  while (channel.Read(r)) {
    last = r.Code;
    ++n;
  }
  EXPECT_EQ(n, static_cast<int>(TStatusChannel::kCapacity));
  EXPECT_EQ(last, 999);
}

TEST(StatusChannel, LongTextsAreCutAtACharacterBoundary) {
  TStatusChannel channel;
  // "é" is two bytes; a run of them cannot end on a full byte count that
  // splits one.
  std::string text(TStatusRecord::kTextSize - 2, 'a');
  text += "\xC3\xA9\xC3\xA9";
  ASSERT_TRUE(channel.Post(core::ssApp, core::svInfo, 0, text));
  TStatusRecord r;
  ASSERT_TRUE(channel.Read(r));
  EXPECT_EQ(r.TextView(), std::string(TStatusRecord::kTextSize - 2, 'a'));

  char small[4];
  core::CopyStatusText(small, sizeof small, "ab\xE2\x82\xAC");  // a, b, euro sign
  EXPECT_STREQ(small, "ab");
  core::CopyStatusText(small, sizeof small, "abc");
  EXPECT_STREQ(small, "abc");
}

TEST(StatusChannel, ManyProducersLoseNothingThatFits) {
  TStatusChannel channel;
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::atomic<bool> go{false};
  std::vector<std::thread> producers;
  std::atomic<int> posted{0};
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&, t] {
      while (!go.load())
        std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) {
        while (!channel.PostF(core::ssHost, core::svProgress, t * kEach + i, "%d", i))
          std::this_thread::yield();
        posted.fetch_add(1);
      }
    });
  go = true;
  std::vector<int> seen(kThreads * kEach, 0);
  std::vector<int> lastOfThread(kThreads, -1);
  int read = 0;
  TStatusRecord r;
  while (read < kThreads * kEach) {
    if (!channel.Read(r)) {
      std::this_thread::yield();
      continue;
    }
    ++read;
    ++seen[static_cast<size_t>(r.Code)];
    const int t = r.Code / kEach, i = r.Code % kEach;
    // Each producer's records arrive in its own order, text intact.
    EXPECT_GT(i, lastOfThread[static_cast<size_t>(t)]);
    lastOfThread[static_cast<size_t>(t)] = i;
    EXPECT_EQ(r.TextView(), std::to_string(i));
  }
  for (auto& p : producers)
    p.join();
  for (int v : seen)
    ASSERT_EQ(v, 1);
  EXPECT_FALSE(channel.Read(r));
}

#ifndef NDEBUG
TEST(ThreadRoleDeathTest, TwoThreadsInOneRoleStopTheProgram) {
  EXPECT_DEATH(
      {
        core::TThreadRole role("consumer");
        core::TThreadRole::TScope held(role);
        std::thread other([&] { core::TThreadRole::TScope again(role); });
        other.join();
      },
      "thread role 'consumer' taken by two threads at once");
}

TEST(ThreadRole, OneThreadAfterAnotherAndNestedUseAreFine) {
  core::TThreadRole role("consumer");
  {
    core::TThreadRole::TScope a(role);
    core::TThreadRole::TScope nested(role);
  }
  std::thread other([&] { core::TThreadRole::TScope b(role); });
  other.join();
  core::TThreadRole::TScope c(role);
}
#endif

}  // namespace
