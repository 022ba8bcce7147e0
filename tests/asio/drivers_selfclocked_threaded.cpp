// The self-clocked driver: pacing, time information, the recorder's ring
// and its WAV file.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>

#include "asio/drivers/SpscRing.h"
#include "asio/drivers/linux/DriverBase.h"
#include "asio/drivers/linux/LinuxDrivers.h"
#include "drivers_stand_in.h"

#if RIG_WITH_SNDFILE
#include <sndfile.h>
#endif

using namespace asio;
using namespace asio::drivers;
using rigtest::TStandInHost;

namespace {

// Virtual time: a sleep moves the clock to its deadline at once, so the
// driver runs as fast as the host lets it. Jump adds time after the n-th
// sleep, as if the thread had been held up.
class TVirtualPacer final : public IPacer {
 public:
  int64_t NowNs() override { return FNow.load(); }
  void SleepUntilNs(int64_t DeadlineNs) override {
    int64_t n = FSleeps.fetch_add(1) + 1;
    if (DeadlineNs > FNow.load()) FNow.store(DeadlineNs);
    if (n == JumpAtSleep) FNow.fetch_add(JumpNs);
    std::this_thread::yield();
  }
  int64_t JumpAtSleep = -1;
  int64_t JumpNs = 0;

 private:
  std::atomic<int64_t> FNow{1000000000};
  std::atomic<int64_t> FSleeps{0};
};

// A device-less driver whose reset request a test can raise from any
// thread, as a JACK notification or a stream thread does.
class TResetProbe final : public TDriverBase {
 public:
  TResetProbe() : TDriverBase("probe", "probe") {}
  ~TResetProbe() override { Shutdown(); }
  void Ask() { RequestReset(); }
  ASIOError getLatencies(int32_t*, int32_t*) override { return ASE_OK; }
  ASIOError canSampleRate(ASIOSampleRate) override { return ASE_OK; }
  ASIOError getSampleRate(ASIOSampleRate* Rate) override {
    *Rate = 48000;
    return ASE_OK;
  }
  ASIOError setSampleRate(ASIOSampleRate) override { return ASE_OK; }

 protected:
  bool OpenDevice() override { return true; }
  int32_t InputCount() const override { return 0; }
  int32_t OutputCount() const override { return 2; }
  ASIOSampleType SampleType(bool) const override { return ASIOSTFloat32LSB; }
  void BufferRange(int32_t& Min, int32_t& Max, int32_t& Preferred, int32_t& Gran) const override {
    Min = 16;
    Max = 1024;
    Preferred = 64;
    Gran = -1;
  }
  ASIOError Prepare(int32_t) override { return ASE_OK; }
  void Unprepare() override {}
  ASIOError StartStream() override { return ASE_OK; }
  void StopStream() override {}
};

TDriverStats StatsOf(IASIODriver* Driver) {
  void* obj = nullptr;
  Driver->QueryInterface(kStatsIID, &obj);
  TDriverStats s = static_cast<IDriverStats*>(obj)->Stats();
  Driver->Release();
  return s;
}

#if RIG_WITH_SNDFILE
float Signal(int64_t Frame, int Channel) {
  return static_cast<float>(std::sin(0.01 * static_cast<double>(Frame))) * (Channel ? -0.5f : 0.5f);
}

std::filesystem::path TempWav(const char* Name) {
  return std::filesystem::temp_directory_path() /
         (std::string("rig-drivers-") + std::to_string(::getpid()) + "-" + Name + ".wav");
}
#endif

}  // namespace

TEST(SpscRing, RefusesWholeBlocksAndKeepsOrderAcrossTheWrap) {
  TSpscRing<int> ring(6);  // rounds up to 8
  EXPECT_EQ(ring.Capacity(), 8u);
  int in[5] = {1, 2, 3, 4, 5};
  int out[8] = {};
  ASSERT_TRUE(ring.Push(in, 5));
  EXPECT_FALSE(ring.Push(in, 4));  // 3 free: refused whole, nothing written
  EXPECT_EQ(ring.Size(), 5u);
  EXPECT_EQ(ring.Pop(out, 3), 3u);
  ASSERT_TRUE(ring.Push(in, 5));  // wraps
  EXPECT_EQ(ring.Pop(out, 8), 7u);
  int expected[7] = {4, 5, 1, 2, 3, 4, 5};
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(out[i], expected[i]) << i;
  EXPECT_EQ(ring.Pop(out, 8), 0u);
}

TEST(SpscRing, ConcurrentProducerAndConsumerSeeEverySequenceNumberOnce) {
  TSpscRing<uint32_t> ring(64);
  constexpr uint32_t kTotal = 200000;
  std::atomic<uint64_t> refused{0};
  std::thread producer([&] {
    uint32_t block[7];
    for (uint32_t next = 0; next < kTotal;) {
      uint32_t n = std::min<uint32_t>(7, kTotal - next);
      for (uint32_t i = 0; i < n; ++i)
        block[i] = next + i;
      if (ring.Push(block, n))
        next += n;
      else
        refused.fetch_add(1);
    }
  });
  uint32_t expect = 0;
  bool ordered = true;
  uint32_t buf[16];
  while (expect < kTotal) {
    std::size_t n = ring.Pop(buf, 16);
    for (std::size_t i = 0; i < n; ++i)
      ordered = ordered && buf[i] == expect++;
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(ring.Size(), 0u);
}

__extension__ typedef __int128 TWide;  // the reference product never overflows

TEST(DriverTiming, FrameCountsBecomeNanosecondsWithoutOverflowForYears) {
  EXPECT_EQ(FramesToNs(48000, 48000), 1000000000);
  EXPECT_EQ(FramesToNs(1, 48000), 20833);
  EXPECT_EQ(FramesToNs(64, 48000), 1333333);
  // 60 hours of 64-frame halves: past where frames * 1e9 leaves 64 bits.
  const int64_t sixtyHours = int64_t{48000} * 3600 * 60;
  EXPECT_EQ(FramesToNs(sixtyHours, 48000), int64_t{3600} * 60 * 1000000000);
  for (int64_t rate : {44100, 48000, 96000}) {
    for (int64_t frames = 1; frames < (int64_t{1} << 45); frames = frames * 3 + 7) {
      const auto exact = static_cast<int64_t>(static_cast<TWide>(frames) * 1000000000 / rate);
      ASSERT_EQ(FramesToNs(frames, rate), exact) << frames << " at " << rate;
    }
  }
}

// A reset raised on another thread while the main thread makes and drops
// buffers reaches the host only for buffers that still exist, at most
// once per set, and never races the main thread's bookkeeping.
TEST(DriverReset, RequestsFromAnotherThreadMeetBuffersBeingReplaced) {
  auto* d = new TResetProbe;
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  std::atomic<bool> done{false};
  std::atomic<int64_t> asked{0};
  std::thread asker([&] {
    while (!done.load()) {
      d->Ask();
      asked.fetch_add(1);
    }
  });
  int sets = 0;
  for (int round = 0; round < 300; ++round) {
    ASSERT_EQ(host.Setup(d, 64), ASE_OK);
    ++sets;
    // At least one whole request falls in this set's life.
    const int64_t before = asked.load();
    while (asked.load() < before + 2)
      std::this_thread::yield();
    core::MainThread::CheckSynchronize();
    if (round % 2) d->disposeBuffers();
  }
  done.store(true);
  asker.join();
  core::MainThread::CheckSynchronize();
  EXPECT_GT(host.Resets.load(), 0);
  EXPECT_LE(host.Resets.load(), sets);
  d->Release();
}

TEST(SelfClocked, DeadlinesComeFromOneOriginAndALateWakeStartsANewOne) {
  TVirtualPacer pacer;
  pacer.JumpAtSleep = 10;
  pacer.JumpNs = 1000000000;  // held up for a second
  TSelfClockedOptions o;
  o.Pacer = &pacer;
  IASIODriver* d = CreateSelfClockedDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  std::mutex lock;
  std::vector<int64_t> times;
  host.OnSwitch = [&](int32_t, int64_t) {
    std::lock_guard<std::mutex> g(lock);
    times.push_back(host.LastSystemTime.load());
  };
  ASSERT_EQ(host.Setup(d, 480), ASE_OK);  // 10 ms halves
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() >= 40; }, 5));
  d->stop();
  EXPECT_EQ(host.IndexErrors.load(), 0);
  EXPECT_EQ(host.PositionErrors.load(), 0);  // positions continue over the jump
  EXPECT_EQ(StatsOf(d).Xruns, 1u);
  std::lock_guard<std::mutex> g(lock);
  int jumps = 0;
  for (std::size_t i = 1; i < times.size(); ++i) {
    int64_t step = times[i] - times[i - 1];
    if (step == 10000000) continue;
    ++jumps;
    EXPECT_GT(step, 1000000000) << "a late wake-up must not be followed by a burst";
  }
  EXPECT_EQ(jumps, 1);
  d->Release();
}

TEST(SelfClocked, RealPacingDeliversTheExpectedRateWithTimeInformation) {
  IASIODriver* d = CreateSelfClockedDriver(TSelfClockedOptions{});
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 256), ASE_OK);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(d->start(), ASE_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int64_t n = host.Switches.load();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  d->stop();
  const double expected = seconds * 48000.0 / 256.0;
  EXPECT_GE(n, 0.9 * expected);
  EXPECT_LE(n, 1.1 * expected + 2);
  EXPECT_EQ(host.TimeInfoSwitches.load(), host.Switches.load());
  EXPECT_EQ(host.LastRate.load(), 48000.0);
  EXPECT_EQ(host.LastFlags.load() & (kSystemTimeValid | kSamplePositionValid),
            kSystemTimeValid | kSamplePositionValid);
  EXPECT_EQ(host.IndexErrors.load(), 0);
  EXPECT_EQ(host.PositionErrors.load(), 0);
  d->Release();
}

TEST(SelfClocked, PlainBufferSwitchWhenTheHostHasNoTimeInformation) {
  TVirtualPacer pacer;
  TSelfClockedOptions o;
  o.Pacer = &pacer;
  IASIODriver* d = CreateSelfClockedDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  host.SupportTimeInfo = false;
  ASSERT_EQ(host.Setup(d, 64), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() >= 20; }, 5));
  d->stop();
  EXPECT_EQ(host.TimeInfoSwitches.load(), 0);
  // The plain path asks getSamplePosition, which must agree with the halves.
  EXPECT_EQ(host.PositionErrors.load(), 0);
  d->Release();
}

#if RIG_WITH_SNDFILE
TEST(SelfClocked, RecorderWritesTheHostsOutputToAFloatStereoWav) {
  const auto path = TempWav("record");
  TSelfClockedOptions o;
  o.WavPath = path.string();
  IASIODriver* d = CreateSelfClockedDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  constexpr int32_t kFrames = 128;
  host.OnSwitch = [&](int32_t Index, int64_t Callback) {
    for (int ch = 0; ch < 2; ++ch) {
      float* half = static_cast<float*>(host.Out(ch, Index));
      for (int32_t i = 0; i < kFrames; ++i)
        half[i] = Signal(Callback * kFrames + i, ch);
    }
  };
  ASSERT_EQ(host.Setup(d, kFrames), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  d->stop();
  d->start();  // a second run appends to the same file
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  d->stop();
  const int64_t calls = host.Switches.load();
  EXPECT_EQ(StatsOf(d).DroppedFrames, 0u);
  d->disposeBuffers();  // closes the file
  d->Release();

  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_EQ(info.frames, calls * kFrames);
  std::vector<float> data(static_cast<std::size_t>(info.frames) * 2);
  ASSERT_EQ(sf_readf_float(f, data.data(), info.frames), info.frames);
  sf_close(f);
  int64_t mismatches = 0;
  for (int64_t n = 0; n < info.frames; ++n)
    for (int ch = 0; ch < 2; ++ch)
      mismatches += data[static_cast<std::size_t>(2 * n + ch)] != Signal(n, ch);
  EXPECT_EQ(mismatches, 0);
  std::filesystem::remove(path);
}

TEST(SelfClocked, AFullRingDropsWholeHalvesInsteadOfWaiting) {
  // Virtual time runs far faster than any disk: the ring must fill, and
  // the stream thread must carry on, counting what it could not keep.
  const auto path = TempWav("overflow");
  TVirtualPacer pacer;
  TSelfClockedOptions o;
  o.WavPath = path.string();
  o.Pacer = &pacer;
  o.RingFrames = 256;
  IASIODriver* d = CreateSelfClockedDriver(o);
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 64), ASE_OK);
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(TStandInHost::WaitFor([&] { return StatsOf(d).DroppedFrames >= 64 * 100; }, 5));
  d->stop();
  const int64_t calls = host.Switches.load();
  const uint64_t dropped = StatsOf(d).DroppedFrames;
  EXPECT_EQ(dropped % 64, 0u);
  d->disposeBuffers();
  d->Release();
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  sf_close(f);
  EXPECT_EQ(static_cast<uint64_t>(info.frames) + dropped, static_cast<uint64_t>(calls) * 64);
  std::filesystem::remove(path);
}

#endif

TEST(SelfClocked, StartStopDisposeAndReleaseInAnyOrder) {
  TVirtualPacer pacer;
  TSelfClockedOptions o;
  o.Pacer = &pacer;
  IASIODriver* d = CreateSelfClockedDriver(o);
  EXPECT_NE(d->start(), ASE_OK);  // not initialised
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  EXPECT_NE(d->start(), ASE_OK);  // no buffers
  EXPECT_EQ(d->stop(), ASE_OK);
  TStandInHost host;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(host.Setup(d, 128), ASE_OK);
    EXPECT_EQ(d->start(), ASE_OK);
    EXPECT_EQ(d->start(), ASE_OK);
    ASSERT_TRUE(TStandInHost::WaitFor([&] { return host.Switches.load() > 5 * (round + 1); }, 5));
    if (round == 1) {
      EXPECT_EQ(d->disposeBuffers(), ASE_OK);  // while running: stops first
    } else {
      EXPECT_EQ(d->stop(), ASE_OK);
      EXPECT_EQ(d->stop(), ASE_OK);
    }
  }
  ASSERT_EQ(d->start(), ASE_OK);
  d->Release();  // while running: the thread is joined, nothing calls back
  int64_t after = host.Switches.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(host.Switches.load(), after);
}
