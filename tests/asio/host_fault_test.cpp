// Drivers and handlers that misbehave: the host neither crashes, nor writes
// where it must not, nor keeps a failure to itself.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "host_support.h"

namespace asio::test {
namespace {

class HostFaults : public HostFixture {
 protected:
  // One driver with halves of 4 samples, loaded (not started).
  TASIOHost& Load(int32_t Inputs, int32_t Outputs) {
    Install(1);
    F().Config.MinSize = F().Config.MaxSize = 4;
    F().Config.InputChannels = Inputs;
    F().Config.OutputChannels = Outputs;
    TASIOHost& h = MakeHost();
    h.SetDriverIndex(0);
    return h;
  }
  std::vector<float> OutFloats(int32_t Channel, int Half) {
    std::vector<float> v(4);
    std::memcpy(v.data(), D().Half(false, Channel, Half), sizeof(float) * 4);
    return v;
  }
  static bool Mentions(const std::vector<core::TStatusRecord>& Records, const std::string& Text,
                       core::TStatusSeverity Severity) {
    for (const auto& r : Records)
      if (r.Severity == Severity && r.TextView().find(Text) != std::string_view::npos) return true;
    return false;
  }
};

// Adds a channel to whatever it is handed.
class TGrowingGenerator : public TASIOGenerator {
 public:
  void ProcessBlock(dsp::TArrayOfSingleArray& Buffer, bool) override {
    Buffer.emplace_back(4, 0.75f);
  }
};

TEST_F(HostFaults, AHandlerOrGeneratorThatAddsChannelsStaysWithinTheSetUpCounts) {
  TASIOHost& h = Load(1, 2);
  TGrowingGenerator g;
  h.SetCustomGenerator(&g);
  h.SetPreFillInBuffer(bpfCustom);
  h.OnBufferSwitch = [](core::TObject*, const dsp::TArrayOfSingleArray&,
                        dsp::TArrayOfSingleArray& Out) {
    for (auto& ch : Out)
      std::fill(ch.begin(), ch.end(), 0.5f);
    Out.emplace_back(4, 0.25f);
  };
  h.SetInputMonitor(imAll);
  h.SetPreventClipping(pcDigital);
  h.SetActive(true);
  ASSERT_TRUE(h.Active());
  D().RunHalves(16);
  EXPECT_EQ(h.OutBuffer().size(), 18u);  // the handler's business, not the host's
  EXPECT_EQ(OutFloats(1, 1), std::vector<float>(4, 0.5f));
  EXPECT_TRUE(D().GuardsIntact());
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 16u);

  // A handler that drops every channel leaves nothing to convert.
  h.OnBufferSwitch = [](core::TObject*, const dsp::TArrayOfSingleArray&,
                        dsp::TArrayOfSingleArray& Out) { Out.clear(); };
  D().RunHalves(2);
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 18u);
  h.SetCustomGenerator(nullptr);
}

TEST_F(HostFaults, NoStartWithoutBuffersAndNoHalfOutsideTheRun) {
  Install(1);
  F().Config.MinSize = F().Config.MaxSize = 4;
  F().Config.CreateBuffersResult = ASE_NoMemory;
  F().Config.ErrorMessage = "out of DMA memory";
  TASIOHost& h = MakeHost();
  int halves = 0;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray&) { ++halves; };
  h.SetDriverIndex(0);
  ASSERT_TRUE(h.DriverLoaded());
  ASSERT_FALSE(h.BuffersCreated());
  auto status = TakeHostStatus();
  EXPECT_TRUE(Mentions(status, "could not create its buffers (error -994): out of DMA memory",
                       core::svError));
  h.SetActive(true);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(D().Calls(TDriverOp::Start), 0u);
  EXPECT_TRUE(Mentions(TakeHostStatus(), "not started", core::svWarning));
  // Halves that arrive all the same do nothing.
  h.SwitchBuffers(0);
  h.ProcessBuffers(1, h.ASIOTime().Record());
  EXPECT_EQ(halves, 0);
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 0u);

  // With buffers: before the start and after the stop, a half is ignored,
  // so the silence written at stop stays.
  F().Config.CreateBuffersResult = ASE_OK;
  h.SetDriverIndex(-1);
  h.SetDriverIndex(0);
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray& Out) {
    for (auto& ch : Out)
      std::fill(ch.begin(), ch.end(), 0.5f);
    ++halves;
  };
  D().BufferSwitch(0);
  EXPECT_EQ(halves, 0);
  h.SetActive(true);
  D().BufferSwitch(0);
  EXPECT_EQ(halves, 1);
  EXPECT_EQ(OutFloats(0, 0), std::vector<float>(4, 0.5f));
  h.SetActive(false);
  ASIOTime late{};
  D().BufferSwitch(0);
  D().BufferSwitchTimeInfo(1, late);
  EXPECT_EQ(halves, 1);
  EXPECT_EQ(OutFloats(0, 0), std::vector<float>(4, 0.0f));
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 1u);
}

TEST_F(HostFaults, AChannelTheDriverWillNotDescribeStaysSilent) {
  Install(1);
  F().Config.MinSize = F().Config.MaxSize = 4;
  F().Config.InputChannels = 2;
  F().Config.OutputChannels = 3;
  F().Config.DefaultType = ASIOSTFloat32LSB;
  F().Config.InputInfoFailures = {0};
  F().Config.OutputInfoFailures = {1, 2};
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  ASSERT_TRUE(h.BuffersCreated());
  EXPECT_EQ(h.OutputChannelInfoList()[1].type, kUnusableSampleType);
  EXPECT_EQ(h.OutputChannelInfoList()[0].type, ASIOSTFloat32LSB);
  const auto status = TakeHostStatus();
  EXPECT_TRUE(Mentions(status, "no information on 1 input channel (first 0", core::svWarning));
  EXPECT_TRUE(Mentions(status, "no information on 2 output channels (first 1", core::svWarning));

  const float captured[4] = {0.5f, 0.5f, 0.5f, 0.5f};
  for (int c = 0; c < 2; ++c)
    std::memcpy(D().Half(true, c, 0), captured, sizeof(captured));
  dsp::TArrayOfSingleArray in;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray& In,
                         dsp::TArrayOfSingleArray& Out) {
    in = In;
    for (auto& ch : Out)
      std::fill(ch.begin(), ch.end(), 0.25f);
  };
  h.SetActive(true);
  D().BufferSwitch(0);
  EXPECT_EQ(in[0], std::vector<float>(4, 0.0f));
  EXPECT_EQ(in[1], std::vector<float>(4, 0.5f));
  EXPECT_EQ(OutFloats(0, 0), std::vector<float>(4, 0.25f));
  // Not integer samples in a float channel: nothing at all.
  EXPECT_EQ(OutFloats(1, 0), std::vector<float>(4, 0.0f));
  EXPECT_EQ(OutFloats(2, 0), std::vector<float>(4, 0.0f));
  EXPECT_TRUE(D().GuardsIntact());
}

TEST_F(HostFaults, ARateTheGetterWouldRepairIsNeverPassedOn) {
  Install(1);
  TASIOGenerator g;
  for (double bad :
       {0.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
        1e300, std::numeric_limits<double>::quiet_NaN(), -48000.0}) {
    SCOPED_TRACE(bad);
    F().Config.SampleRate = bad;
    TASIOHost& h = MakeHost();
    h.SetCustomGenerator(&g);
    g.SetSampleRate(1.0);
    h.SetDriverIndex(0);
    EXPECT_EQ(D().LastSetSampleRate(), 44100.0);
    EXPECT_EQ(h.ASIOTime().SampleRate(), 44100.0);
    EXPECT_EQ(h.SampleRate(), 44100.0);
    EXPECT_EQ(g.SampleRate(), 44100.0);
    EXPECT_TRUE(Mentions(TakeHostStatus(), "reports a sample rate of", core::svWarning));
    // The application's own bad rate is repaired the same way.
    h.SetSampleRate(bad);
    EXPECT_EQ(D().LastSetSampleRate(), 44100.0);
    EXPECT_EQ(h.ASIOTime().SampleRate(), 44100.0);
    h.SetCustomGenerator(nullptr);
    Host.reset();
  }
  F().Config.SampleRate = 96000.0;
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  EXPECT_EQ(D().LastSetSampleRate(), 96000.0);
  EXPECT_TRUE(TakeHostStatus().empty());
}

TEST_F(HostFaults, AbsurdChannelCountsAreCapped) {
  Install(1);
  F().Config.MinSize = F().Config.MaxSize = 4;
  F().Config.InputChannels = -5;
  F().Config.OutputChannels = 100000;
  TASIOHost& h = MakeHost();
  h.SetDriverIndex(0);
  EXPECT_EQ(h.InputChannels(), 0);
  EXPECT_EQ(h.OutputChannels(), TASIOHost::kMaxChannels);
  EXPECT_EQ(D().CreatedChannels(), TASIOHost::kMaxChannels);
  EXPECT_EQ(h.OutBuffer().size(), static_cast<std::size_t>(TASIOHost::kMaxChannels));
  const auto status = TakeHostStatus();
  EXPECT_TRUE(
      Mentions(status, "reports 100000 output channels; the host uses 512", core::svWarning));
  EXPECT_TRUE(Mentions(status, "reports -5 input channels; the host uses 0", core::svWarning));
  h.SetActive(true);
  D().RunHalves(2);
  EXPECT_TRUE(D().GuardsIntact());
}

TEST_F(HostFaults, LoadInitAndStartFailuresReachTheStatusChannelAndTheHostFallsBack) {
  std::vector<TCatalogueEntry> entries;
  Factories.push_back(std::make_unique<TSubstituteFactory>());
  entries.push_back(Factories.back()->Entry("Good", TestClassId(1)));
  TCatalogueEntry missing;
  missing.ClassId = TestClassId(2);
  missing.Name = "Gone";
  missing.Create = []() -> IASIODriver* { return nullptr; };
  entries.push_back(missing);
  Catalogue.emplace(std::move(entries));
  F().Config.ErrorMessage = "device unplugged";
  TASIOHost& h = MakeHost();

  h.SetDriverIndex(1);
  EXPECT_FALSE(h.DriverLoaded());
  auto status = TakeHostStatus();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].TextView(), "Audio driver \"Gone\" could not be loaded");
  EXPECT_EQ(status[0].Severity, core::svError);

  F().Config.InitFails = true;
  h.SetDriverIndex(0);
  EXPECT_FALSE(h.DriverLoaded());
  status = TakeHostStatus();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].TextView(), "Audio driver \"Good\" failed to initialise: device unplugged");

  F().Config.InitFails = false;
  F().Config.StartResult = ASE_HWMalfunction;
  h.SetDriverIndex(-1);
  h.SetDriverIndex(0);
  h.SetActive(true);
  EXPECT_FALSE(h.Active());
  EXPECT_EQ(D().Calls(TDriverOp::Stop), 1u);
  status = TakeHostStatus();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].Code, ASE_HWMalfunction);
  EXPECT_EQ(status[0].TextView(),
            "Audio driver \"Good\" did not start (error -999): device unplugged");

  // A driver without a text of its own: the record says what failed.
  D().Config().StartResult = ASE_OK;
  D().Config().StartThrows = true;
  D().Config().ErrorMessage = "";
  h.SetActive(true);
  EXPECT_FALSE(h.Active());
  status = TakeHostStatus();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].TextView(), "Audio driver \"Good\" failed while starting");
  EXPECT_EQ(h.BufferSize(), 2048u);
  EXPECT_EQ(core::MainThread::Pending(), 0u);  // and no dialog was asked for
}

// Every driver call may fail or raise, in patterns that change as the
// steps go on; nothing escapes the host, nothing is written past a buffer
// and the host's state stays one the lifecycle allows.
TEST_F(HostFaults, RandomStepsWithFailingAndRaisingDriverCalls) {
  Install(2);
  for (int i = 0; i < 2; ++i) {
    F(i).Config.MinSize = F(i).Config.MaxSize = 8;
    F(i).Config.InputChannels = 2;
    F(i).Config.OutputChannels = 3;
    F(i).Config.InputTypes = {ASIOSTInt24LSB, ASIOSTFloat64MSB};
    F(i).Config.OutputTypes = {ASIOSTInt16LSB, ASIOSTFloat32LSB, 7};
    F(i).Config.Capabilities = {kAsioCanTimeInfo};
  }
  F(1).Config.UseTimeInfo = true;
  TASIOHost& h = MakeHost();
  uint64_t halves = 0;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray& Out) {
    for (auto& ch : Out)
      std::fill(ch.begin(), ch.end(), 0.5f);
    ++halves;
  };
  std::mt19937 rng(20261209);
  const double rates[] = {48000.0, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), 1e300};
  auto current = [&]() -> TSubstituteDriver* {
    const int32_t i = h.DriverIndex();
    return i >= 0 && F(i).Created() ? F(i).Last() : nullptr;
  };
  for (int step = 0; step < 20000; ++step) {
    if (step % 40 == 0) {
      uint32_t fail = 0, raise = 0;
      if ((step / 40) % 3 != 0)
        for (int op = 0; op < static_cast<int>(TDriverOp::Count); ++op) {
          if (rng() % 10 == 0) fail |= 1u << op;
          if (rng() % 20 == 0) raise |= 1u << op;
        }
      for (int i = 0; i < 2; ++i) {
        F(i).Config.FailingOps = fail;
        F(i).Config.ThrowingOps = raise;
        for (std::size_t k = 0; k < F(i).Created(); ++k) {
          F(i).Instance(k)->Config().FailingOps = fail;
          F(i).Instance(k)->Config().ThrowingOps = raise;
        }
      }
    }
    TSubstituteDriver* d = current();
    const uint32_t action = rng() % 10;
    SCOPED_TRACE(testing::Message() << "step " << step << " action " << action);
    ASSERT_NO_THROW({
      switch (action) {
        case 0:
          h.SetDriverIndex(static_cast<int32_t>(rng() % 4) - 1);
          break;
        case 1:
        case 2:
          h.SetActive(true);
          break;
        case 3:
          h.SetActive(false);
          break;
        case 4:
          h.SetSampleRate(rates[rng() % 5]);
          break;
        case 5:
        case 6:
          if (d) {
            const bool running = h.Active();
            const uint64_t before = halves;
            d->RunHalves(1 + static_cast<int>(rng() % 3));
            if (!running) {
              ASSERT_EQ(halves, before);
            }
          }
          break;
        case 7:
          if (d) d->Message(rng() % 2 ? kAsioResetRequest : kAsioLatenciesChanged, 0);
          break;
        case 8:
          core::MainThread::CheckSynchronize();
          break;
        default:
          h.ShowControlPanel();
          break;
      }
    });
    if (h.Active()) {
      ASSERT_TRUE(h.DriverLoaded());
      ASSERT_TRUE(h.BuffersCreated());
    }
    if (h.BuffersCreated()) {
      ASSERT_EQ(h.OutBuffer().size(), static_cast<std::size_t>(h.OutputChannels()));
      ASSERT_EQ(h.InBuffer().size(), static_cast<std::size_t>(h.InputChannels()));
    }
    const double rate = h.ASIOTime().SampleRate();
    ASSERT_TRUE(rate == 0.0 || (rate >= 1.0 && rate <= 1048575.0)) << rate;
    if (d) {
      ASSERT_TRUE(d->GuardsIntact());
    }
    core::StatusChannel().Drain();
  }
  for (int i = 0; i < 2; ++i)
    for (std::size_t k = 0; k < F(i).Created(); ++k)
      EXPECT_TRUE(F(i).Instance(k)->GuardsIntact());
  EXPECT_GT(halves, 100u);
}

}  // namespace
}  // namespace asio::test
