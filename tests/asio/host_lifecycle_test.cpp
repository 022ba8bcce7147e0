#include <cmath>
#include <cstring>
#include <limits>

#include "host_support.h"

namespace asio::test {
namespace {

using Lifecycle = HostFixture;

TEST_F(Lifecycle, NewHostHasItsInitialValuesAndRepairsItsGetters) {
  Install(0);
  TASIOHost& h = MakeHost();
  EXPECT_EQ(CurrentHost(), &h);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(h.DriverIndex(), -1);
  EXPECT_TRUE(h.DriverList().empty());
  EXPECT_TRUE(h.CanDos().Empty());
  EXPECT_EQ(h.ConvertOptimizations(), (TConvertOptimizations{coSSE, co3DNow}));
  EXPECT_EQ(h.BufferSize(), 4096u);
  EXPECT_EQ(h.SampleRate(), 44100.0);
  EXPECT_EQ(h.ASIOTime().Speed(), 1.0);
  EXPECT_EQ(h.ASIOTime().SampleRate(), 44100.0);
  EXPECT_EQ(h.ASIOTime().Flags(),
            (TATFlags{atSystemTimeValid, atSamplePositionValid, atSampleRateValid, atSpeedValid}));
  // No drivers installed: every index selects nothing.
  h.SetDriverIndex(0);
  EXPECT_EQ(h.DriverIndex(), -1);
  // Impossible rates read as 44100.
  for (double bad : {0.5, 1048576.0, std::numeric_limits<double>::quiet_NaN()}) {
    h.SetSampleRate(bad);
    EXPECT_EQ(h.SampleRate(), 44100.0) << bad;
  }
  h.SetSampleRate(1.0);
  EXPECT_EQ(h.SampleRate(), 1.0);
}

TEST_F(Lifecycle, SelectionClampsTheIndexAndLoadsTheDriver) {
  Install(3);
  F(2).Config.Capabilities = {kAsioCanTimeInfo, kAsioCanOutputMeter};
  TASIOHost& h = MakeHost();
  int changed = 0;
  h.OnDriverChanged = [&](core::TObject* s) {
    EXPECT_EQ(s, &h);
    ++changed;
  };
  ASSERT_EQ(h.DriverList(), (std::vector<std::string>{"Drv0", "Drv1", "Drv2"}));
  h.SetDriverIndex(5);
  EXPECT_EQ(h.DriverIndex(), 2);
  EXPECT_EQ(h.DriverName(), "Drv2");
  EXPECT_EQ(changed, 1);
  ASSERT_EQ(F(2).Created(), 1u);
  EXPECT_EQ(D(2).InitHandle(), h.Handle());
  EXPECT_NE(h.Handle(), nullptr);
  EXPECT_TRUE(h.BuffersCreated());
  EXPECT_EQ(h.DriverVersion(), 3);
  // Only the capabilities the driver confirms.
  EXPECT_EQ(h.CanDos(), (TASIOCanDos{acdTimeInfo, acdOutputMeter}));
  EXPECT_EQ(h.InputChannels(), 2);
  EXPECT_EQ(h.OutputLatency(), 512);
  EXPECT_EQ(h.BufferSize(), 256u);
  EXPECT_EQ(h.SampleRate(), 48000.0);

  // The same index again does nothing.
  h.SetDriverIndex(2);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(F(2).Created(), 1u);

  // A negative index unloads and zeroes the driver-derived values.
  TSubstituteDriver& old = D(2);
  h.SetDriverIndex(-7);
  EXPECT_EQ(h.DriverIndex(), -1);
  EXPECT_EQ(h.DriverName(), "");
  EXPECT_FALSE(h.DriverLoaded());
  EXPECT_EQ(h.InputChannels(), 0);
  EXPECT_EQ(h.OutputChannels(), 0);
  EXPECT_EQ(h.InputLatency(), 0);
  EXPECT_EQ(h.OutputLatency(), 0);
  EXPECT_EQ(h.BufferSize(), 4096u);
  EXPECT_TRUE(h.InBuffer().empty());
  EXPECT_TRUE(h.OutputChannelInfoList().empty());
  EXPECT_EQ(old.Calls(TDriverOp::DisposeBuffers), 1u);
  EXPECT_EQ(old.RefCount(), 1u);  // only the factory holds it now
  EXPECT_EQ(changed, 2);
  EXPECT_EQ(h.DriverVersion(), 3);  // kept after unloading

  // Names match regardless of case; unknown names change nothing.
  h.SetDriverName("dRV1");
  EXPECT_EQ(h.DriverIndex(), 1);
  h.SetDriverName("Drv9");
  EXPECT_EQ(h.DriverIndex(), 1);
}

TEST_F(Lifecycle, SetupSizesEverythingToTheDriver) {
  Install(1);
  F().Config.InputChannels = 3;
  F().Config.OutputChannels = 5;
  F().Config.OutputTypes = {ASIOSTInt16LSB, ASIOSTInt24LSB, 5};
  TASIOHost& h = MakeHost();
  int latencyEvents = 0;
  h.OnLatencyChanged = [&](core::TObject*) { ++latencyEvents; };
  h.SetDriverIndex(0);
  EXPECT_EQ(latencyEvents, 1);
  ASSERT_EQ(h.InBuffer().size(), 3u);
  ASSERT_EQ(h.OutBuffer().size(), 5u);
  for (const auto& a : h.OutBuffer()) {
    ASSERT_EQ(a.size(), 256u);
    for (float v : a)
      ASSERT_EQ(v, 0.0f);
  }
  ASSERT_EQ(h.OutputChannelInfoList().size(), 5u);
  EXPECT_STREQ(h.OutputChannelInfoList()[4].name, "Out 5");
  EXPECT_EQ(h.OutputChannelInfoList()[1].type, ASIOSTInt24LSB);

  // Records: 16-byte aligned, 1 to 16 bytes above the block, inputs first.
  const auto start = reinterpret_cast<uintptr_t>(h.BufferInfoBlock());
  const auto first = reinterpret_cast<uintptr_t>(h.InputBufferInfos());
  EXPECT_EQ(first % 16, 0u);
  EXPECT_GE(first - start, 1u);
  EXPECT_LE(first - start, 16u);
  EXPECT_EQ(D().CreatedInfos(), h.InputBufferInfos());
  EXPECT_EQ(D().CreatedChannels(), 8);
  EXPECT_EQ(h.OutputBufferInfos(), h.InputBufferInfos() + 3);
  EXPECT_EQ(h.InputBufferInfos()[2].isInput, ASIOTrue);
  EXPECT_EQ(h.OutputBufferInfos()[4].isInput, ASIOFalse);
  EXPECT_EQ(h.OutputBufferInfos()[4].channelNum, 4);
  EXPECT_EQ(h.OutputBufferInfos()[4].buffers[1], D().Half(false, 4, 1));
}

TEST_F(Lifecycle, BufferSizeFromTheDriverIsRepairedBeforeTheDriverIsAsked) {
  Install(1);
  TASIOHost& h = MakeHost();
  struct Case {
    int32_t Min, Max, Preferred;
    uint32_t Expected;
  };
  // Equal minimum and maximum win over the preferred size; 0 and sizes
  // above 65530 become 4096, and the driver's buffers are made that big.
  for (Case c : {Case{128, 128, 512, 128}, Case{64, 2048, 0, 4096}, Case{64, 99999, 70000, 4096},
                 Case{64, 2048, 65530, 65530}}) {
    F().Config.MinSize = c.Min;
    F().Config.MaxSize = c.Max;
    F().Config.PreferredSize = c.Preferred;
    h.SetDriverIndex(-1);
    h.SetDriverIndex(0);
    EXPECT_EQ(h.BufferSize(), c.Expected);
    EXPECT_EQ(D().CreatedBufferSize(), static_cast<int32_t>(c.Expected));
    EXPECT_EQ(h.OutBuffer()[0].size(), c.Expected);
  }
}

TEST_F(Lifecycle, RateFromTheDriverIsSentBack) {
  Install(1);
  F().Config.SampleRate = -5.0;
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  EXPECT_EQ(D().LastSetSampleRate(), 44100.0);
  EXPECT_EQ(h.ASIOTime().SampleRate(), 44100.0);
  h.SetSampleRate(96000.0);
  EXPECT_EQ(D().LastSetSampleRate(), 96000.0);
}

TEST_F(Lifecycle, StartAndStop) {
  Install(1);
  TASIOHost& h = MakeHost();
  h.SetActive(true);  // no driver: nothing happens
  EXPECT_FALSE(h.Active());
  h.SetDriverIndex(0);
  h.SetActive(true);
  EXPECT_TRUE(h.Active());
  h.SetActive(true);
  EXPECT_EQ(D().Calls(TDriverOp::Start), 1u);
  h.SetActive(false);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(D().Calls(TDriverOp::Stop), 1u);

  // Start answering non-zero: one Start, one Stop.
  D().Config().StartResult = ASE_HWMalfunction;
  h.SetActive(true);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(D().Calls(TDriverOp::Start), 2u);
  EXPECT_EQ(D().Calls(TDriverOp::Stop), 2u);

  // Start raising: swallowed, buffer size 2048 and rate 44100.
  D().Config().StartThrows = true;
  h.SetActive(true);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(h.BufferSize(), 2048u);
  EXPECT_EQ(h.SampleRate(), 44100.0);
  EXPECT_EQ(D().Calls(TDriverOp::Stop), 3u);
}

TEST_F(Lifecycle, SelectingWhileActiveRestartsOnTheNewDriver) {
  Install(2);
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  h.SetActive(true);
  h.SetDriverIndex(1);
  EXPECT_TRUE(h.Active());
  const std::vector<TDriverOp> oldTail = {TDriverOp::Start, TDriverOp::Stop,
                                          TDriverOp::DisposeBuffers};
  std::vector<TDriverOp> log = D(0).Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<TDriverOp>(log.end() - 3, log.end()), oldTail);
  EXPECT_TRUE(D(1).BuffersExist());
  EXPECT_EQ(D(1).Calls(TDriverOp::Start), 1u);
}

TEST_F(Lifecycle, FailureAtEachStepLeavesTheDocumentedState) {
  Install(1);
  TASIOHost& h = MakeHost();
  int changed = 0;
  h.OnDriverChanged = [&](core::TObject*) { ++changed; };

  // Init refused: no driver, OnDriverChanged still fires, nothing refreshed.
  F().Config.InitFails = true;
  h.SetDriverIndex(0);
  EXPECT_FALSE(h.DriverLoaded());
  EXPECT_EQ(h.DriverIndex(), 0);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(h.DriverVersion(), 0);
  EXPECT_EQ(D().RefCount(), 1u);  // released

  // CreateBuffers refused: loaded, lists sized, buffers not created.
  F().Config.InitFails = false;
  F().Config.CreateBuffersResult = ASE_NoMemory;
  int latency = 0;
  h.OnLatencyChanged = [&](core::TObject*) { ++latency; };
  h.SetDriverIndex(-1);
  h.SetDriverIndex(0);
  EXPECT_TRUE(h.DriverLoaded());
  EXPECT_FALSE(h.BuffersCreated());
  EXPECT_EQ(h.OutBuffer().size(), 2u);
  EXPECT_EQ(latency, 1);
  EXPECT_EQ(changed, 3);
  // A driver without buffers is not started at all.
  h.SetActive(true);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(D().Calls(TDriverOp::Start), 0u);

  // An error inside the selection ends it early: index stored, no event.
  F().Config.CreateBuffersResult = ASE_OK;
  F().Config.GetBufferSizeThrows = true;
  h.SetDriverIndex(-1);
  const int before = changed;
  h.SetDriverIndex(0);
  EXPECT_EQ(h.DriverIndex(), 0);
  EXPECT_EQ(changed, before);
  EXPECT_FALSE(h.Active());
}

TEST_F(Lifecycle, ReadOnlyPropertiesAndOffsetsIgnoreImpossibleWrites) {
  Install(1);
  F().Config.InputChannels = 4;
  F().Config.OutputChannels = 2;
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  h.SetBufferSize(77);
  h.SetBufferMinimum(1);
  h.SetBufferMaximum(2);
  h.SetCanDos(TASIOCanDos{acdTransport});
  EXPECT_EQ(h.BufferSize(), 256u);
  EXPECT_EQ(h.BufferMinimum(), 64);
  EXPECT_EQ(h.BufferMaximum(), 1024);
  EXPECT_TRUE(h.CanDos().Empty());
  h.SetInputChannelOffset(3);
  EXPECT_EQ(h.InputChannelOffset(), 3);
  h.SetInputChannelOffset(4);
  EXPECT_EQ(h.InputChannelOffset(), 3);
  h.SetOutputChannelOffset(2);
  EXPECT_EQ(h.OutputChannelOffset(), 0);
  h.SetOutputChannelOffset(1);
  EXPECT_EQ(h.OutputChannelOffset(), 1);
}

TEST_F(Lifecycle, GeneratorFollowsTheHostsSizeAndRate) {
  Install(1);
  F().Config.MinSize = F().Config.MaxSize = 256;
  TASIOGenerator g;
  EXPECT_EQ(g.BlockSize(), 2048u);
  EXPECT_EQ(g.SampleRate(), 44100.0);
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  h.SetCustomGenerator(&g);
  EXPECT_EQ(g.BlockSize(), 256u);
  EXPECT_EQ(g.SampleRate(), 48000.0);
  h.SetSampleRate(22050.0);
  EXPECT_EQ(g.SampleRate(), 22050.0);
  F().Config.MinSize = F().Config.MaxSize = 0;  // repaired to 4096 at set-up
  h.SetDriverIndex(-1);
  h.SetDriverIndex(0);
  EXPECT_EQ(g.BlockSize(), 4096u);
}

TEST_F(Lifecycle, StoredSettingsApplyWhenLoadingEnds) {
  Install(2);
  TASIOHost& h = MakeHost();
  h.BeginLoading();
  h.SetDriverIndex(1);
  h.SetActive(true);
  EXPECT_EQ(h.DriverIndex(), -1);
  EXPECT_EQ(F(1).Created(), 0u);
  h.EndLoading();
  EXPECT_EQ(h.DriverIndex(), 1);
  EXPECT_TRUE(h.Active());
}

TEST_F(Lifecycle, DestructionStopsUnloadsAndForgetsTheHost) {
  Install(1);
  TASIOHost& h = MakeHost();
  bool destroyed = false;
  h.OnDestroy = [&](core::TObject*) { destroyed = true; };
  h.SetDriverIndex(0);
  h.SetActive(true);
  TInterfaceRef<TSubstituteDriver> keep(&D());
  Host.reset();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(keep->Calls(TDriverOp::Stop), 1u);
  EXPECT_EQ(keep->Calls(TDriverOp::DisposeBuffers), 1u);
  EXPECT_EQ(CurrentHost(), nullptr);
  // The next host takes over the callbacks.
  TASIOHost other;
  ASSERT_EQ(CurrentHost(), &other);
}

TEST(TimeSub, ChangeFiresOnlyForNewValues) {
  TASIOTimeSub t;
  int changes = 0;
  t.OnChanged = [&](core::TObject* s) {
    EXPECT_EQ(s, &t);
    ++changes;
  };
  t.SetSpeed(1.0);
  t.SetSampleRate(44100.0);
  t.SetSamplePos(0);
  EXPECT_EQ(changes, 0);
  t.SetSpeed(0.5);
  t.SetSamplePos(4294967301);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(t.Record().samplePosition.hi, 1u);
  EXPECT_EQ(t.Record().samplePosition.lo, 5u);
  t.Record().flags = 0xFFFFFFFFu;
  EXPECT_EQ(t.Flags().Bits(), 0x3F);
  t.SetFlags(TATFlags{atSpeedValid});
  EXPECT_EQ(t.Record().flags, 8u);
  EXPECT_EQ(changes, 2);  // Flags does not call Change

  TASIOTimeSub copy;
  int copyChanges = 0;
  copy.OnChanged = [&](core::TObject*) { ++copyChanges; };
  copy.Assign(t);
  EXPECT_EQ(copyChanges, 1);
  EXPECT_EQ(std::memcmp(&copy.Record(), &t.Record(), sizeof(asio::ASIOTime)), 0);
}

}  // namespace
}  // namespace asio::test
