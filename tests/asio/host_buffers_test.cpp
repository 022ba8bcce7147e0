#include <cstring>

#include "host_support.h"

namespace asio::test {
namespace {

using Bytes = std::vector<uint8_t>;

class BufferPath : public HostFixture {
 protected:
  // One driver with buffers of 4 samples, loaded and running.
  TASIOHost& Run(std::vector<ASIOSampleType> Inputs, std::vector<ASIOSampleType> Outputs) {
    Install(1);
    F().Config.MinSize = F().Config.MaxSize = 4;
    F().Config.InputChannels = static_cast<int32_t>(Inputs.size());
    F().Config.OutputChannels = static_cast<int32_t>(Outputs.size());
    F().Config.InputTypes = Inputs;
    F().Config.OutputTypes = Outputs;
    TASIOHost& h = MakeHost();
    h.SetDriverIndex(0);
    h.SetActive(true);
    EXPECT_TRUE(h.Active());
    return h;
  }
  Bytes Out(int32_t Channel, int Half) {
    uint8_t* p = D().Half(false, Channel, Half);
    return Bytes(p, p + D().HalfBytes(false, Channel));
  }
  void SetIn(int32_t Channel, int Half, const Bytes& B) {
    ASSERT_EQ(B.size(), D().HalfBytes(true, Channel));
    std::memcpy(D().Half(true, Channel, Half), B.data(), B.size());
  }
  // A handler that writes Values into every output channel.
  static TBufferSwitchEvent Writer(std::vector<float> Values) {
    return
        [Values](core::TObject*, const dsp::TArrayOfSingleArray&, dsp::TArrayOfSingleArray& Out) {
          for (auto& ch : Out)
            std::copy(Values.begin(), Values.end(), ch.begin());
        };
  }
};

TEST_F(BufferPath, WholeOutputHalvesReachTheDriverInItsFormats) {
  TASIOHost& h = Run(
      {}, {ASIOSTInt16LSB, ASIOSTInt24LSB, ASIOSTInt32LSB, ASIOSTFloat32LSB, ASIOSTInt32MSB, 5});
  std::memset(D().Half(false, 5, 1), 0x11, D().HalfBytes(false, 5));
  h.OnBufferSwitch = Writer({1.0f, -1.0f, 0.5f, 0.0f});
  D().BufferSwitch(1);
  EXPECT_EQ(Out(0, 1), (Bytes{0xFF, 0x7F, 0x01, 0x80, 0x00, 0x40, 0x00, 0x00}));
  EXPECT_EQ(Out(1, 1), (Bytes{0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80, 0x00, 0x00, 0x40, 0, 0, 0}));
  EXPECT_EQ(Out(2, 1), (Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00,
                              0x40, 0, 0, 0, 0}));
  EXPECT_EQ(Out(3, 1), (Bytes{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0xBF, 0x00, 0x00, 0x00,
                              0x3F, 0, 0, 0, 0}));
  EXPECT_EQ(Out(4, 1), (Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x01, 0x40, 0x00, 0x00,
                              0x00, 0, 0, 0, 0}));
  // No routine for the type: its buffer is left alone.
  EXPECT_EQ(Out(5, 1), Bytes(16, 0x11));
  // The other half is untouched, and nothing was written past any half.
  EXPECT_EQ(Out(2, 0), Bytes(16, 0));
  EXPECT_TRUE(D().GuardsIntact());
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 1u);
}

TEST_F(BufferPath, InputHalvesAreReadAndAChannelWithoutRoutineIsSilent) {
  TASIOHost& h = Run({ASIOSTInt16LSB, ASIOSTInt32MSB, 5}, {});
  SetIn(0, 0, {0xFF, 0x7F, 0x00, 0x80, 0x00, 0x40, 0x00, 0x00});
  SetIn(1, 0, {0x7F, 0xFF, 0xFF, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  std::memset(D().Half(true, 2, 0), 0x7F, D().HalfBytes(true, 2));
  h.SetPreFillInBuffer(bpfNoise);  // leaves noise in every input array
  D().BufferSwitch(0);
  h.SetPreFillInBuffer(bpfNone);
  std::vector<dsp::TSingleArray> seen;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray& In,
                         dsp::TArrayOfSingleArray&) { seen = In; };
  D().BufferSwitch(0);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0][0], 1.0f);
  EXPECT_FLOAT_EQ(seen[0][1], -1.0000305f);
  EXPECT_EQ(seen[0][3], 0.0f);
  EXPECT_FLOAT_EQ(seen[1][0], 1.0f);
  EXPECT_FLOAT_EQ(seen[1][1], -0.5f);
  EXPECT_EQ(seen[2], dsp::TSingleArray(4, 0.0f));
}

TEST_F(BufferPath, ClippingLimitsInputsAndOutputs) {
  TASIOHost& h = Run({ASIOSTFloat32LSB}, {ASIOSTFloat32LSB});
  const float in[4] = {2.0f, -2.0f, 0.5f, 1.0f};
  std::memcpy(D().Half(true, 0, 0), in, sizeof(in));
  float seenIn[4] = {};
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray& In,
                         dsp::TArrayOfSingleArray& Out) {
    std::copy(In[0].begin(), In[0].end(), seenIn);
    Out[0] = {1.5f, -3.0f, 1.0f, -0.0f};
  };
  h.SetPreventClipping(pcDigital);
  D().BufferSwitch(0);
  EXPECT_EQ(std::vector<float>(seenIn, seenIn + 4), (std::vector<float>{1.0f, -1.0f, 0.5f, 1.0f}));
  float out[4];
  std::memcpy(out, D().Half(false, 0, 0), sizeof(out));
  EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{1.0f, -1.0f, 1.0f, -0.0f}));

  h.SetPreventClipping(pcAnalog);
  D().BufferSwitch(0);
  std::memcpy(out, D().Half(false, 0, 0), sizeof(out));
  EXPECT_FLOAT_EQ(out[2], 0.8f);
  // pcNone keeps the routine but applies none.
  h.SetPreventClipping(pcNone);
  D().BufferSwitch(0);
  std::memcpy(out, D().Half(false, 0, 0), sizeof(out));
  EXPECT_EQ(out[0], 1.5f);
}

TEST_F(BufferPath, PreFillsTakeThePlaceOfInputAndPrecedeTheHandler) {
  TASIOHost& h = Run({ASIOSTFloat32LSB, ASIOSTFloat32LSB}, {ASIOSTFloat32LSB, ASIOSTFloat32LSB});
  const float captured[4] = {0.3f, 0.3f, 0.3f, 0.3f};
  std::memcpy(D().Half(true, 0, 0), captured, sizeof(captured));
  std::memcpy(D().Half(true, 1, 0), captured, sizeof(captured));
  dsp::TArrayOfSingleArray in, outBefore;
  bool write = true;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray& In,
                         dsp::TArrayOfSingleArray& Out) {
    in = In;
    outBefore = Out;
    if (write)
      for (auto& ch : Out)
        std::fill(ch.begin(), ch.end(), 0.25f);
  };
  auto driverOut = [&](int32_t c) {
    float v[4];
    std::memcpy(v, D().Half(false, c, 0), sizeof(v));
    return std::vector<float>(v, v + 4);
  };

  // bpfNone: the driver receives the last samples written.
  D().BufferSwitch(0);
  write = false;
  D().BufferSwitch(0);
  EXPECT_EQ(driverOut(1), std::vector<float>(4, 0.25f));
  EXPECT_EQ(in[0], std::vector<float>(4, 0.3f));

  h.SetPreFillInBuffer(bpfZero);
  h.SetPreFillOutBuffer(bpfZero);
  D().BufferSwitch(0);
  EXPECT_EQ(in[1], std::vector<float>(4, 0.0f));
  EXPECT_EQ(driverOut(0), std::vector<float>(4, 0.0f));

  h.SetPreFillInBuffer(bpfNoise);
  h.SetPreFillOutBuffer(bpfNoise);
  std::vector<float> all;
  for (int i = 0; i < 64; ++i) {
    D().BufferSwitch(0);
    for (auto& ch : in)
      all.insert(all.end(), ch.begin(), ch.end());
    for (auto& ch : outBefore)
      all.insert(all.end(), ch.begin(), ch.end());
  }
  EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](float v) { return v >= -1.0f && v < 1.0f; }));
  EXPECT_GT(*std::max_element(all.begin(), all.end()), 0.9f);
  EXPECT_LT(*std::min_element(all.begin(), all.end()), -0.9f);

  // bpfCustom without a generator keeps the contents; the base generator
  // silences the first channel only.
  h.SetPreFillOutBuffer(bpfZero);
  write = true;
  D().BufferSwitch(0);
  write = false;
  h.SetPreFillOutBuffer(bpfCustom);
  h.SetPreFillInBuffer(bpfCustom);
  D().BufferSwitch(0);
  EXPECT_EQ(outBefore[0], std::vector<float>(4, 0.25f));
  TASIOGenerator g;
  h.SetCustomGenerator(&g);
  D().BufferSwitch(0);
  EXPECT_EQ(outBefore[0], std::vector<float>(4, 0.0f));
  EXPECT_EQ(outBefore[1], std::vector<float>(4, 0.25f));
  h.SetCustomGenerator(nullptr);
}

TEST_F(BufferPath, InputMonitorCopiesOnlyChannelsThatExist) {
  TASIOHost& h = Run({ASIOSTFloat32LSB, ASIOSTFloat32LSB},
                     {ASIOSTFloat32LSB, ASIOSTFloat32LSB, ASIOSTFloat32LSB, ASIOSTFloat32LSB});
  for (int c = 0; c < 2; ++c) {
    const float v[4] = {0.1f * (c + 1), 0.1f * (c + 1), 0.1f * (c + 1), 0.1f * (c + 1)};
    std::memcpy(D().Half(true, c, 0), v, sizeof(v));
  }
  dsp::TArrayOfSingleArray out;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray& Out) { out = Out; };
  h.SetPreFillOutBuffer(bpfZero);
  h.SetInputMonitor(imAll);
  D().BufferSwitch(0);
  EXPECT_EQ(out[0], std::vector<float>(4, 0.1f));
  EXPECT_EQ(out[1], std::vector<float>(4, 0.2f));
  EXPECT_EQ(out[2], std::vector<float>(4, 0.0f));
  EXPECT_EQ(out[3], std::vector<float>(4, 0.0f));

  // The last input as the offset: only the pair that exists is copied.
  h.SetInputMonitor(imStereo);
  h.SetInputChannelOffset(1);
  h.SetOutputChannelOffset(2);
  D().BufferSwitch(0);
  EXPECT_EQ(out[2], std::vector<float>(4, 0.2f));
  EXPECT_EQ(out[3], std::vector<float>(4, 0.0f));
  EXPECT_EQ(out[0], std::vector<float>(4, 0.0f));

  h.SetInputMonitor(imMono);
  h.SetOutputChannelOffset(3);
  D().BufferSwitch(0);
  EXPECT_EQ(out[3], std::vector<float>(4, 0.2f));
  EXPECT_EQ(out[2], std::vector<float>(4, 0.0f));
}

TEST_F(BufferPath, TimeInformationOfEachHalf) {
  TASIOHost& h = Run({}, {ASIOSTFloat32LSB});
  std::vector<int64_t> positions;
  h.OnUpdateSamplePos = [&](core::TObject* s, int64_t p) {
    EXPECT_EQ(s, &h);
    positions.push_back(p);
  };
  D().SetSamplePosition(4294967301);
  D().BufferSwitch(0);
  ASSERT_EQ(positions, (std::vector<int64_t>{4294967301}));
  // The plain path clears the record: speed and rate read 0.
  EXPECT_EQ(h.ASIOTime().Speed(), 0.0);
  EXPECT_EQ(h.ASIOTime().SampleRate(), 0.0);
  EXPECT_EQ(h.ASIOTime().Flags(), (TATFlags{atSystemTimeValid, atSamplePositionValid}));
  EXPECT_EQ(h.ASIOTime().Record().systemTime.lo, 1000u);

  D().Config().SamplePositionResult = ASE_NotPresent;
  D().BufferSwitch(1);
  EXPECT_EQ(positions.back(), 0);
  EXPECT_TRUE(h.ASIOTime().Flags().Empty());

  // The time-information path copies the driver's record.
  ASIOTime t{};
  t.speed = 1.0;
  t.sampleRate = 48000.0;
  t.flags = kSampleRateValid;
  t.samplePosition = {2, 7};
  D().BufferSwitchTimeInfo(0, t);
  EXPECT_EQ(positions.back(), HiLoToInt64(2, 7));
  EXPECT_EQ(h.ASIOTime().SampleRate(), 48000.0);
  EXPECT_EQ(h.ASIOTime().Flags(), TATFlags{atSampleRateValid});
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 3u);
}

TEST_F(BufferPath, HalvesOtherThanZeroAndOneAreIgnored) {
  TASIOHost& h = Run({}, {ASIOSTFloat32LSB});
  int calls = 0;
  h.OnBufferSwitch = [&](core::TObject*, const dsp::TArrayOfSingleArray&,
                         dsp::TArrayOfSingleArray&) { ++calls; };
  D().BufferSwitch(2);
  D().BufferSwitch(-1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(D().Calls(TDriverOp::OutputReady), 0u);
}

TEST_F(BufferPath, StoppingClearsEachHalfByItsSampleSize) {
  TASIOHost& h = Run({ASIOSTInt24LSB}, {ASIOSTInt16LSB, ASIOSTFloat64LSB, 5});
  for (int half = 0; half < 2; ++half) {
    std::memset(D().Half(true, 0, half), 0x55, D().HalfBytes(true, 0));
    for (int c = 0; c < 3; ++c)
      std::memset(D().Half(false, c, half), 0x55, D().HalfBytes(false, c));
  }
  h.SetActive(false);
  for (int half = 0; half < 2; ++half) {
    EXPECT_EQ(Out(0, half), Bytes(8, 0));
    EXPECT_EQ(Out(1, half), Bytes(32, 0));
    EXPECT_EQ(Out(2, half), Bytes(16, 0x55));  // unknown size: left alone
    uint8_t* in = D().Half(true, 0, half);
    EXPECT_EQ(Bytes(in, in + 12), Bytes(12, 0));
  }
  EXPECT_TRUE(D().GuardsIntact());
}

TEST_F(BufferPath, DriverMessagesAreAnswered) {
  TASIOHost& h = Run({}, {ASIOSTFloat32LSB});
  EXPECT_EQ(D().Message(kAsioSelectorSupported, 4), 0);
  EXPECT_EQ(D().Message(kAsioSelectorSupported, 6), 1);
  for (int v : {2, 3, 5, 7, 8})
    EXPECT_EQ(D().Message(kAsioSelectorSupported, v), 1) << v;
  EXPECT_EQ(D().Message(kAsioEngineVersion, 0), 2);
  EXPECT_EQ(D().Message(kAsioResyncRequest, 0), 0);
  EXPECT_EQ(D().Message(kAsioSupportsTimeInfo, 0), 1);
  EXPECT_EQ(D().Message(kAsioSupportsTimeCode, 0), 0);
  EXPECT_EQ(D().Message(kAsioMMCCommand, 0), 0);
  EXPECT_EQ(D().Message(0, 0), 0);
  EXPECT_EQ(D().Message(10, 0), 0);
  EXPECT_EQ(D().Message(-1, 0), 0);
  EXPECT_EQ(core::MainThread::Pending(), 0u);
  EXPECT_EQ(F().Created(), 1u);

  // Latency change: carried out on the main thread, where the event finds
  // the new value; two messages before it runs are served once.
  D().SetLatencies(100, 333);
  int32_t seen = 0;
  int events = 0;
  h.OnLatencyChanged = [&](core::TObject*) {
    seen = h.OutputLatency();
    ++events;
  };
  EXPECT_EQ(D().Message(kAsioLatenciesChanged, 0), 1);
  EXPECT_EQ(D().Message(kAsioLatenciesChanged, 0), 1);
  EXPECT_EQ(seen, 0);
  EXPECT_TRUE(core::MainThread::CheckSynchronize());
  EXPECT_EQ(seen, 333);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(h.InputLatency(), 100);

  // A rate change is reported, not stored.
  int rateEvents = 0;
  h.OnSampleRateChanged = [&](core::TObject* s) {
    EXPECT_EQ(s, &h);
    ++rateEvents;
  };
  D().SampleRateDidChange(96000.0);
  EXPECT_EQ(rateEvents, 1);
  EXPECT_EQ(h.SampleRate(), 48000.0);
}

TEST_F(BufferPath, ResetRequestsRebuildTheDriverOnTheMainThread) {
  TASIOHost& h = Run({}, {ASIOSTFloat32LSB});
  int resets = 0;
  h.OnReset = [&](core::TObject* s) {
    EXPECT_EQ(s, &h);
    EXPECT_TRUE(h.BuffersCreated());
    ++resets;
  };
  for (int selector : {kAsioResetRequest, kAsioBufferSizeChange}) {
    const std::size_t before = F().Created();
    TSubstituteDriver& old = D();
    EXPECT_EQ(old.Message(selector, 0), 1);
    EXPECT_EQ(old.Message(selector, 0), 1);  // served by the same reload
    EXPECT_EQ(F().Created(), before);        // nothing yet: the reload is queued
    EXPECT_TRUE(core::MainThread::CheckSynchronize());
    EXPECT_EQ(F().Created(), before + 1);
    EXPECT_EQ(old.Calls(TDriverOp::Stop), 1u);
    EXPECT_EQ(old.Calls(TDriverOp::DisposeBuffers), 1u);
    EXPECT_TRUE(h.Active());
    EXPECT_EQ(D().Calls(TDriverOp::Start), 1u);
    EXPECT_FALSE(core::MainThread::CheckSynchronize());
  }
  EXPECT_EQ(resets, 2);
}

TEST_F(BufferPath, AResetQueuedForADestroyedHostDoesNothing) {
  Run({}, {ASIOSTFloat32LSB});
  D().Message(kAsioResetRequest, 0);
  Host.reset();
  EXPECT_TRUE(core::MainThread::CheckSynchronize());
  EXPECT_EQ(F().Created(), 1u);
}

}  // namespace
}  // namespace asio::test
