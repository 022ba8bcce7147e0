// The driver calls back from its own thread while the main thread changes
// the plain settings, selects drivers and carries out reset requests.
#include <atomic>
#include <chrono>

#include "host_support.h"

namespace asio::test {
namespace {

using Threaded = HostFixture;

// Pumps the main thread until Done or a generous deadline.
template <typename Pred>
bool PumpUntil(Pred Done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Done()) {
    core::MainThread::CheckSynchronize();
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST_F(Threaded, CallbacksFromTheDriversThreadMeetSettingChangesAndSelection) {
  Install(2);
  for (int i = 0; i < 2; ++i) {
    F(i).Config.ThreadedCallbacks = true;
    F(i).Config.MinSize = F(i).Config.MaxSize = 32;
    F(i).Config.InputChannels = 2;
    F(i).Config.OutputChannels = 4;
    F(i).Config.OutputTypes = {ASIOSTInt32LSB, ASIOSTFloat32LSB, ASIOSTInt16LSB, ASIOSTInt24LSB};
  }
  F(1).Config.UseTimeInfo = true;
  TASIOHost& h = MakeHost();
  std::atomic<uint64_t> halves{0};
  std::atomic<int> latencyEvents{0};
  std::atomic<int> resets{0};
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray& Out) {
    for (auto& ch : Out)
      std::fill(ch.begin(), ch.end(), 1.25f);
    halves.fetch_add(1);
  };
  h.OnLatencyChanged = [&](core::TObject*) { latencyEvents.fetch_add(1); };
  h.OnReset = [&](core::TObject*) { resets.fetch_add(1); };
  h.SetDriverIndex(0);
  h.SetActive(true);
  ASSERT_TRUE(h.Active());

  const TBufferPreFill fills[] = {bpfNone, bpfZero, bpfNoise, bpfCustom};
  const TInputMonitor monitors[] = {imDisabled, imMono, imStereo, imAll};
  const TPreventClipping clips[] = {pcNone, pcDigital, pcAnalog};
  for (int round = 0; round < 12; ++round) {
    const uint64_t start = halves.load();
    for (int i = 0; i < 50; ++i) {
      h.SetPreFillInBuffer(fills[(round + i) % 4]);
      h.SetPreFillOutBuffer(fills[(round + 2 * i) % 4]);
      h.SetInputMonitor(monitors[i % 4]);
      h.SetInputChannelOffset(static_cast<uint16_t>(i % 2));
      h.SetOutputChannelOffset(static_cast<uint16_t>(i % 4));
      h.SetPreventClipping(clips[i % 3]);
      (void)h.OutputLatency();
      std::this_thread::yield();
    }
    ASSERT_TRUE(PumpUntil([&] { return halves.load() > start + 20; })) << round;
    TSubstituteDriver& d = D(h.DriverIndex());
    if (round % 3 == 0) d.QueueMessage(kAsioLatenciesChanged, 0);
    if (round % 3 == 1) {
      const int before = resets.load();
      d.QueueMessage(kAsioResetRequest, 0);
      ASSERT_TRUE(PumpUntil([&] { return resets.load() > before; })) << round;
      ASSERT_TRUE(h.Active());
    }
    if (round % 3 == 2) h.SetDriverIndex(1 - h.DriverIndex());
    ASSERT_TRUE(h.Active());
  }
  h.SetActive(false);
  TSubstituteDriver& last = D(h.DriverIndex());
  EXPECT_FALSE(last.ThreadRunning());
  EXPECT_TRUE(last.BuffersExist());
  EXPECT_TRUE(last.GuardsIntact());
  EXPECT_GT(latencyEvents.load(), 4);
  EXPECT_EQ(resets.load(), 4);
  EXPECT_EQ(F(0).Created() + F(1).Created(), 9u);  // 1 + 4 resets + 4 selections
}

}  // namespace
}  // namespace asio::test
