// The road benchmark's measuring logic: what it reports must be what the
// probe and the trace saw, or its table means nothing.
#include <gtest/gtest.h>

#include <vector>

#include "bench/app/RoadStats.h"

namespace bench {
namespace {

TEST(Summarize, NearestRankPercentilesOfAnUnsortedSet) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i)
    v.push_back(i);
  const TSummary s = Summarize(v);
  EXPECT_EQ(s.Count, 100u);
  EXPECT_EQ(s.Min, 1);
  EXPECT_EQ(s.Median, 50);
  EXPECT_EQ(s.P90, 90);
  EXPECT_EQ(s.P99, 99);
  EXPECT_EQ(s.Max, 100);
  // One value is every percentile; none gives an empty summary.
  const TSummary one = Summarize({2.5});
  EXPECT_EQ(one.Median, 2.5);
  EXPECT_EQ(one.P99, 2.5);
  EXPECT_EQ(Summarize({}).Count, 0u);
}

class Detector : public ::testing::Test {
 protected:
  static constexpr uint32_t kFrames = 64;
  // One cycle of 64 frames at 48 kHz whose samples at Tone and Last (if
  // any) are loud; the probe runs Lead ns after the cycle is due, the
  // schedule's anchor being 1 s.
  void Cycle(int Tone = -1, int Last = -1, int64_t Lead = 50000, float Loud = 1e-4f) {
    std::vector<float> buffer(kFrames, 0.0f);
    if (Tone >= 0) buffer[static_cast<size_t>(Tone)] = Loud;
    if (Last >= 0) buffer[static_cast<size_t>(Last)] = -Loud;
    const int64_t due = 1000000000 + D.FrameNs(FFrame, 0);
    D.Cycle(buffer.data(), kFrames, FFrame, due + Lead);
    FFrame += kFrames;
  }
  TOnsetDetector D{48000};
  int64_t FFrame = 0;
};

TEST_F(Detector, FindsTheFirstLoudSampleAfterArmingOnly) {
  Cycle(3);  // a tail before arming is not an onset
  TOnset onset;
  EXPECT_FALSE(D.Detected(onset));
  D.Arm();
  Cycle(5, -1, 50000, 1e-7f);  // a residue below the threshold is silence
  EXPECT_FALSE(D.Detected(onset));
  Cycle(10, 20, 80000);  // third cycle, onset at frame 10
  ASSERT_TRUE(D.Detected(onset));
  EXPECT_EQ(onset.Offset, 10u);
  EXPECT_EQ(onset.Frame, 128 + 10);
  // Later tone does not move the onset found.
  Cycle(0);
  ASSERT_TRUE(D.Detected(onset));
  EXPECT_EQ(onset.Frame, 138);
  // Arming again forgets it.
  D.Arm();
  EXPECT_FALSE(D.Detected(onset));
  EXPECT_EQ(D.Cycles(), 4u);
}

TEST_F(Detector, SilenceCountsFromTheLastLoudSample) {
  Cycle(5, 60);
  EXPECT_EQ(D.SilentFrames(), 3);  // frames 61..63
  Cycle();
  Cycle();
  EXPECT_EQ(D.SilentFrames(), 3 + 2 * 64);
  Cycle(63);
  EXPECT_EQ(D.SilentFrames(), 0);
}

TEST_F(Detector, TheScheduleIsAnchoredOnTheEarliestRunOfAStretch) {
  EXPECT_EQ(D.LeastLead(0, 10), INT64_MAX);
  // The probe runs 90 to 300 us after each cycle is due, once only 40.
  for (int i = 0; i < 200; ++i)
    Cycle(-1, -1, i == 150 ? 40000 : (i % 7 == 0 ? 90000 : 300000));
  int64_t spread = 0;
  const int64_t anchor = D.Anchor(100, 200, &spread);
  EXPECT_EQ(anchor, 1000000000 + 40000);
  // The parts' least leads: 90 us, and 40 in one.
  EXPECT_EQ(spread, 50000);
  // A frame's time on the schedule: 48000 frames are one second on.
  EXPECT_EQ(D.FrameNs(48000, anchor), 2000000000 + 40000);
  // Cycles not yet run count for nothing.
  EXPECT_EQ(D.LeastLead(0, 1000), 1000000000 + 40000);
  EXPECT_EQ(D.Anchor(200, 300), INT64_MAX);
}

TEST_F(Detector, AnOnsetBeforeARestartKeepsItsOwnScheduleAndTheRestartShows) {
  D.Arm();
  for (int i = 0; i < 100; ++i)
    Cycle(i == 40 ? 0 : -1, -1, 60000);
  // The server fell behind and took its schedule up 700 us later.
  for (int i = 0; i < 100; ++i)
    Cycle(-1, -1, 760000);
  TOnset onset;
  ASSERT_TRUE(D.Detected(onset));
  EXPECT_EQ(onset.Cycle, 40u);
  int64_t spread = 0;
  EXPECT_EQ(D.Anchor(onset.Cycle, 200, &spread), 1000000000 + 60000);
  EXPECT_EQ(spread, 700000);
  // An onset after it is anchored on the later schedule, never the earlier.
  EXPECT_EQ(D.Anchor(120, 200, &spread), 1000000000 + 760000);
  EXPECT_EQ(spread, 0);
}

TEST_F(Detector, OnlyTheLastCyclesAreKept) {
  const int total = static_cast<int>(TOnsetDetector::kLeads) + 10;
  for (int i = 0; i < total; ++i)
    Cycle(-1, -1, i < 10 ? 1000 : 50000);
  // The early, short leads were overwritten: they anchor nothing.
  EXPECT_EQ(D.LeastLead(0, static_cast<uint64_t>(total)), 1000000000 + 50000);
}

core::TTraceRecord Rec(core::TTraceEvent Event, int64_t Time, int32_t Value = 0, int32_t Value2 = 0,
                       int64_t Position = 0) {
  core::TTraceRecord r;
  r.Event = Event;
  r.Time = Time;
  r.Value = Value;
  r.Value2 = Value2;
  r.Position = Position;
  return r;
}

// Trace clock in microseconds (frequency 1e6) for readable times.
TEST(Stages, PairsEachStageWithTheClosureAndTheFillThatKeysIt) {
  using namespace core;
  const int64_t closure = 1000;
  const std::vector<TTraceRecord> other{
      Rec(teLine, 400, 0, 0),     // an earlier closure's line
      Rec(teHandler, 450, 0, 1),  // and its handler
      Rec(teLine, 1001, 1, 0),    // the dit line is not the dah contact
      Rec(teLine, 1002, 0, 0),    // the closure's line
      Rec(teHandler, 1040, 1, 1),
      Rec(teHandler, 1050, 0, 1),  // the dah handler, contact closed
      Rec(teQueued, 1060, 2400, 800),
      Rec(teLine, 1500, 0, 1),  // the release
      Rec(teHandler, 1510, 0, 0),
  };
  const std::vector<TTraceRecord> audio{
      Rec(teBuffer, 900, 64, 0, 0),
      Rec(teKeyDown, 0, 0, 0, 10),  // key-down in a fill before the closure
      Rec(teBuffer, 1030, 64, 0, 64),
      Rec(teBuffer, 1400, 64, 0, 128),
      Rec(teEnvelope, 0, 5, 0, 150),
      Rec(teKeyDown, 0, 0, 0, 128),
  };
  const TStages s = bench::StagesOf(closure, 1000000, audio, other);
  EXPECT_DOUBLE_EQ(s.Line, 0.002);
  EXPECT_DOUBLE_EQ(s.Handler, 0.050);
  EXPECT_DOUBLE_EQ(s.Queued, 0.060);
  EXPECT_DOUBLE_EQ(s.Fill, 0.400);
  EXPECT_EQ(s.KeyDownSample, 128);
  EXPECT_EQ(s.KeyDownOffset, 0);
}

TEST(Stages, AStraightKeyQueuesNothingAndMayGoDownInsideAFill) {
  using namespace core;
  const std::vector<TTraceRecord> other{Rec(teLine, 1000, 0, 0), Rec(teHandler, 1020, 0, 1)};
  const std::vector<TTraceRecord> audio{Rec(teBuffer, 1010, 64, 0, 640),
                                        Rec(teKeyDown, 0, 17, 0, 657)};
  const TStages s = bench::StagesOf(1000, 1000000, audio, other);
  EXPECT_EQ(s.Queued, -1);
  EXPECT_DOUBLE_EQ(s.Fill, 0.010);
  EXPECT_EQ(s.KeyDownOffset, 17);
  // Nothing after the closure: every stage is missing.
  const TStages none = bench::StagesOf(5000, 1000000, audio, other);
  EXPECT_EQ(none.Line, -1);
  EXPECT_EQ(none.Handler, -1);
  EXPECT_EQ(none.Fill, -1);
}

}  // namespace
}  // namespace bench
