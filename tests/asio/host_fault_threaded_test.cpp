// Drivers whose own threads call the host while the main thread unloads
// them or changes the rate.
#include <atomic>
#include <chrono>
#include <thread>

#include "host_support.h"

namespace asio::test {
namespace {

using HostThreadFaults = HostFixture;

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

TEST_F(HostThreadFaults, LatencyMessagesFromTheDriversThreadMeetUnloading) {
  Install(1);
  F().Config.MinSize = F().Config.MaxSize = 32;
  TASIOHost& h = MakeHost();
  std::atomic<int> events{0};
  std::atomic<int> offMain{0};
  h.OnLatencyChanged = [&](core::TObject*) {
    if (!core::MainThread::IsMainThread()) offMain.fetch_add(1);
    events.fetch_add(1);
  };
  for (int round = 0; round < 40; ++round) {
    h.SetDriverIndex(0);
    ASSERT_TRUE(h.BuffersCreated());
    TSubstituteDriver& d = D();
    d.StartMessageThread(kAsioLatenciesChanged, 0);
    const int before = events.load();
    ASSERT_TRUE(PumpUntil([&] { return d.MessagesSent() > 3 && events.load() > before; }));
    // Unloaded while the messages keep coming.
    h.SetDriverIndex(-1);
    for (int i = 0; i < 10; ++i) {
      core::MainThread::CheckSynchronize();
      std::this_thread::yield();
    }
    d.StopMessageThread();
  }
  while (core::MainThread::CheckSynchronize()) {
  }
  EXPECT_EQ(offMain.load(), 0);
  EXPECT_GT(events.load(), 40);
}

TEST_F(HostThreadFaults, SetSampleRateWhileTheDriverCopiesItsTimeRecord) {
  Install(1);
  F().Config.ThreadedCallbacks = true;
  F().Config.UseTimeInfo = true;
  F().Config.MinSize = F().Config.MaxSize = 16;
  TASIOHost& h = MakeHost();
  std::atomic<uint64_t> halves{0};
  std::atomic<bool> sane{true};
  h.OnBufferSwitch = [&](core::TObject* Sender, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray&) {
    const double rate = static_cast<TASIOHost*>(Sender)->ASIOTime().SampleRate();
    if (rate != 48000.0 && rate != 44100.0 && rate != 96000.0) sane.store(false);
    halves.fetch_add(1);
  };
  h.SetDriverIndex(0);
  h.SetActive(true);
  ASSERT_TRUE(h.Active());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; halves.load() < 2000 && std::chrono::steady_clock::now() < deadline; ++i) {
    h.SetSampleRate(i % 2 ? 96000.0 : 44100.0);
    (void)h.ASIOTime().SamplePos();
  }
  h.SetActive(false);
  EXPECT_GE(halves.load(), 2000u);
  EXPECT_TRUE(sane.load());
}

// A driver that keeps calling after its stop (a late half from a thread it
// did not join) while the host stops, restarts and unloads it.
TEST_F(HostThreadFaults, LateHalvesFromAThreadTheDriverDidNotJoin) {
  Install(1);
  F().Config.MinSize = F().Config.MaxSize = 16;
  TASIOHost& h = MakeHost();
  std::atomic<bool> stopped{false};
  std::atomic<bool> wroteWhileStopped{false};
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray& Out) {
    if (stopped.load()) wroteWhileStopped.store(true);
    for (auto& ch : Out)
      std::fill(ch.begin(), ch.end(), 0.5f);
  };
  h.SetDriverIndex(0);
  TSubstituteDriver& d = D();
  std::atomic<bool> quit{false};
  std::thread rogue([&] {
    ASIOTime t{};
    while (!quit.load()) {
      d.BufferSwitchTimeInfo(0, t);
      d.BufferSwitch(1);
    }
  });
  for (int round = 0; round < 200; ++round) {
    stopped.store(false);
    h.SetActive(true);
    std::this_thread::yield();
    h.SetActive(false);
    stopped.store(true);
    // Whatever came late, the silence of the stop is still there.
    for (int half = 0; half < 2; ++half) {
      const float* out = reinterpret_cast<const float*>(d.Half(false, 0, half));
      for (int i = 0; i < 16; ++i)
        ASSERT_EQ(out[i], 0.0f) << round;
    }
  }
  quit.store(true);
  rogue.join();
  EXPECT_FALSE(wroteWhileStopped.load());
  EXPECT_TRUE(d.GuardsIntact());
}

}  // namespace
}  // namespace asio::test
