#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "dsp/dspIIRFilters.h"

namespace {

using core::Extended;
using namespace dsp;

void ExpectDigits(Extended actual, Extended expected) {
  const Extended tol = 0.51L * std::pow(10.0L, std::floor(std::log10(std::fabs(expected))) - 9);
  EXPECT_NEAR(static_cast<double>(actual), static_cast<double>(expected), static_cast<double>(tol));
}

// The envelope filter as the main window stores it.
void LoadWindowSettings(TdspIIRFilter& f) {
  f.BeginLoading();
  f.SetKind(fkButterworth);
  f.SetResponse(ftLowpass);
  f.SetFrequency1(150);
  f.SetFrequency2(150);
  f.SetSampleRate(48000);
  f.SetRipple(0.1L);
  f.EndLoading();
}

Extended Feed(TdspIIRFilter& f, Extended x, int count) {
  Extended y = 0;
  for (int i = 0; i < count; ++i)
    y = f.ProcessSample(x);
  return y;
}

TEST(IIRComponent, ConstructorDefaults) {
  TdspIIRFilter owner;
  TdspIIRFilter f(&owner);
  EXPECT_EQ(f.Owner(), &owner);
  EXPECT_EQ(f.Kind(), fkButterworth);
  EXPECT_EQ(f.Response(), ftLowpass);
  EXPECT_EQ(f.Order(), 1);
  EXPECT_EQ(f.Frequency1(), 300);
  EXPECT_EQ(f.SampleRate(), 44100);
  EXPECT_EQ(f.Ripple(), 0.1L);
  EXPECT_FALSE(f.ManualReset());
  EXPECT_EQ(f.LastError(), "");
  EXPECT_EQ(f.InstalledFunction(), sfFilterSample);
  ExpectDigits(f.YCoeffs()[0], 0.9581453618L);
  ExpectDigits(f.InputScale(), 0.02092731912L);
}

TEST(IIRComponent, LoadingStoresAndEndOfLoadingDesigns) {
  TdspIIRFilter f;
  f.BeginLoading();
  f.SetFrequency1(150);
  f.SetFrequency2(150);
  f.SetSampleRate(48000);
  // Nothing is designed while loading: the constructor's design stays.
  ExpectDigits(f.YCoeffs()[0], 0.9581453618L);
  // No clamp while loading, since the rate may still follow.
  f.SetFrequency1(30000);
  EXPECT_EQ(f.Frequency1(), 30000);
  f.SetFrequency1(150);
  f.EndLoading();
  EXPECT_FALSE(f.IsLoading());
  ExpectDigits(f.YCoeffs()[0], 0.9805553189L);
  ExpectDigits(f.InputScale(), 0.009722340545L);

  // A corner left above half the rate is clamped once loading ends; designed
  // as stored it would put the pole outside the unit circle.
  TdspIIRFilter g;
  g.BeginLoading();
  g.SetFrequency1(30000);
  g.EndLoading();
  EXPECT_GT(g.Frequency1(), 22040);
  EXPECT_LT(g.Frequency1(), 22050);
  const TdspComplex p = g.ZPlane().Poles[0];
  EXPECT_LT(CAbs(p), 1);
  EXPECT_TRUE(std::isfinite(Feed(g, 1, 1000)));
}

TEST(IIRComponent, KeyerEnvelope) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  ASSERT_EQ(f.TapCount(), 1);
  const Extended first[] = {0.006805638382L, 0.02028458168L, 0.03350143122L};
  int reach35 = -1, reach63 = -1, reach693 = -1;
  Extended y = 0;
  for (int i = 0; i < 6000; ++i) {
    y = f.ProcessSample(0.7L);
    if (i < 3) ExpectDigits(y, first[i]);
    if (reach35 < 0 && y >= 0.35L) reach35 = i;
    if (reach63 < 0 && y >= 0.63L) reach63 = i;
    if (reach693 < 0 && y >= 0.693L) reach693 = i;
  }
  EXPECT_EQ(reach35, 35);
  EXPECT_EQ(reach63, 117);
  EXPECT_EQ(reach693, 235);
  EXPECT_NEAR(double(y), 0.7, 1e-15);
  for (Extended expected : {0.6931943616L, 0.6797154183L, 0.6664985688L})
    ExpectDigits(f.ProcessSample(0), expected);
}

TEST(IIRComponent, HistoriesOfFirstOrderUseTwoEntries) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  f.ProcessSample(0.3L);
  const Extended y = f.ProcessSample(0.5L);
  const TdspExtendedArray& x = f.XHistory();
  const TdspExtendedArray& h = f.YHistory();
  EXPECT_EQ(x[0], 0.3L * f.InputScale());
  EXPECT_EQ(x[1], 0.5L * f.InputScale());
  EXPECT_EQ(h[1], y);
  EXPECT_EQ(h[0], 0.3L * f.InputScale());
  for (int i = 2; i <= MaxPZ; ++i) {
    EXPECT_EQ(x[i], 0);
    EXPECT_EQ(h[i], 0);
  }
}

// Runs the filter to its steady output and reports whether a call made the
// histories restart (the next output is then the first step value again).
bool HistoriesCleared(TdspIIRFilter& f) {
  return f.ProcessSample(0.7L) < 0.1L;
}

TEST(IIRComponent, IgnoredWritesChangeNothing) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  Feed(f, 0.7L, 3000);
  const auto y = f.YCoeffs();
  f.SetOrder(0);
  f.SetOrder(9);
  f.SetKind(static_cast<TdspIIRFilterKind>(3));
  f.SetResponse(static_cast<TdspIIRFilterResponse>(4));
  f.SetSampleRate(0);
  f.SetSampleRate(-48000);
  f.SetSampleRate(std::numeric_limits<Extended>::quiet_NaN());
  f.SetSampleRate(std::numeric_limits<Extended>::infinity());
  f.SetSampleRate(std::numeric_limits<Extended>::denorm_min());
  f.SetFrequency1(std::numeric_limits<Extended>::quiet_NaN());
  f.SetRipple(std::numeric_limits<Extended>::quiet_NaN());
  // Equal values are ignored too.
  f.SetOrder(1);
  f.SetKind(fkButterworth);
  f.SetResponse(ftLowpass);
  f.SetSampleRate(48000);
  f.SetFrequency1(150);
  EXPECT_EQ(f.Order(), 1);
  EXPECT_EQ(f.Kind(), fkButterworth);
  EXPECT_EQ(f.Response(), ftLowpass);
  EXPECT_EQ(f.SampleRate(), 48000);
  EXPECT_EQ(f.Frequency1(), 150);
  EXPECT_EQ(f.Ripple(), 0.1L);
  EXPECT_EQ(f.YCoeffs(), y);
  EXPECT_FALSE(HistoriesCleared(f));
}

TEST(IIRComponent, ClampsOfFrequencyRateAndRipple) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  // The margin below half the rate is 0.0001 of the rate.
  f.SetFrequency(1, 30000);
  EXPECT_NEAR(double(f.Frequency1()), 23995.2, 1e-9);
  f.SetFrequency(1, -5);
  EXPECT_EQ(f.Frequency1(), 1e-10L);

  f.SetFrequency1(5000);
  f.SetSampleRate(8000);
  EXPECT_NEAR(double(f.Frequency1()), 3999.2, 1e-9);

  // On a Butterworth filter a ripple change is stored without a redesign.
  f.SetSampleRate(48000);
  f.SetFrequency1(150);
  Feed(f, 0.7L, 3000);
  f.SetRipple(0.05L);
  EXPECT_EQ(f.Ripple(), 0.1L);
  f.SetRipple(-3);
  EXPECT_EQ(f.Ripple(), 3);
  EXPECT_FALSE(HistoriesCleared(f));
}

// Whatever the rate, a stored corner lies strictly between 0 and half the
// rate, and a low- or high-pass designed at either clamp is usable.
TEST(IIRComponent, StoredFrequenciesStayInsideHalfTheRate) {
  const Extended rates[] = {1e-12L, 1e-4L, 1, 8000, 48000, 1e16L, 1e17L, 1e300L, 1e4000L};
  for (Extended rate : rates) {
    TdspIIRFilter f;
    f.SetSampleRate(rate);
    for (Extended v : {-5.0L, 0.0L, 1e-300L, rate / 2, rate, 1e4900L}) {
      f.SetFrequency1(v);
      EXPECT_GT(f.Frequency1(), 0) << double(rate) << " " << double(v);
      EXPECT_LT(f.Frequency1(), rate / 2) << double(rate) << " " << double(v);
    }
    f.SetFrequency1(rate);
    EXPECT_EQ(f.LastError(), "") << double(rate);
    EXPECT_TRUE(std::isfinite(f.InputScale())) << double(rate);
    EXPECT_LT(std::fabs(Feed(f, 0.7L, 2000)), 1) << double(rate);

    // Lowering the rate below twice the old margin keeps the corners above 0.
    f.SetFrequency2(rate / 4);
    f.SetSampleRate(rate / 1e6L);
    for (int i : {1, 2}) {
      EXPECT_GT(f.GetFrequency(i), 0) << double(rate);
      EXPECT_LT(f.GetFrequency(i), rate / 2e6L) << double(rate);
    }
  }

  // Up to order 4 every kind of low- and high-pass at the upper clamp stays
  // stable (the old margin of 0.0001 Hz diverged from order 2).
  for (auto kind : {fkButterworth, fkChebyshev, fkBessel}) {
    for (auto response : {ftLowpass, ftHighpass}) {
      for (int order = 1; order <= 4; ++order) {
        TdspIIRFilter f;
        f.SetSampleRate(48000);
        f.SetKind(kind);
        f.SetResponse(response);
        f.SetOrder(order);
        f.SetRipple(1);
        f.SetFrequency1(1e9L);
        EXPECT_EQ(f.LastError(), "") << kind << " " << response << " " << order;
        Extended peak = 0;
        for (int i = 0; i < 20000; ++i)
          peak = std::max(peak, std::fabs(f.ProcessSample(i % 2 ? 0.7L : -0.7L)));
        EXPECT_LT(peak, 10) << kind << " " << response << " " << order;
      }
    }
  }
}

TEST(IIRComponent, Frequency2VisibleOnlyForBands) {
  TdspIIRFilter f;
  f.SetFrequency2(2000);
  EXPECT_EQ(f.Frequency2(), 300);
  EXPECT_EQ(f.GetFrequency(2), 300);
  f.SetResponse(ftHighpass);
  EXPECT_EQ(f.Frequency2(), 300);
  f.SetResponse(ftBandpass);
  EXPECT_EQ(f.Frequency2(), 2000);
  f.SetResponse(ftBandstop);
  EXPECT_EQ(f.GetFrequency(7), 2000);
}

TEST(IIRComponent, ManualResetDecidesWhetherHistoriesSurvive) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  Feed(f, 0.7L, 3000);
  f.SetFrequency1(200);
  EXPECT_TRUE(HistoriesCleared(f));

  f.SetManualReset(true);
  Feed(f, 0.7L, 3000);
  f.SetFrequency1(100);
  EXPECT_FALSE(HistoriesCleared(f));
  // The new coefficients act on the old history.
  TdspIIRFilter g;
  g.SetManualReset(true);
  LoadWindowSettings(g);
  Feed(g, 0.7L, 3000);
  g.SetFrequency1(100);
  const Extended x0 = g.XHistory()[1], y0 = g.YHistory()[1];
  const Extended u = 0.7L * g.InputScale();
  EXPECT_NEAR(double(g.ProcessSample(0.7L)), double(u + x0 * g.XCoeffs()[0] + y0 * g.YCoeffs()[0]),
              1e-18);

  // A change of response or order clears them whatever ManualReset says.
  Feed(f, 0.7L, 3000);
  f.SetOrder(2);
  EXPECT_TRUE(HistoriesCleared(f));
  Feed(f, 0.7L, 3000);
  f.SetResponse(ftHighpass);
  EXPECT_LT(std::fabs(f.ProcessSample(0.7L) - 0.7L * f.InputScale()), 1e-18);
  Feed(f, 0.7L, 100);
  f.ResetHistory();
  EXPECT_EQ(f.XHistory()[0], 0);
}

TEST(IIRComponent, ZerosDecayWithoutDenormals) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  Feed(f, 0.7L, 3000);
  // Once below the guard's resolution the output rounds in steps of about
  // 7e-40 and never becomes denormal, not even as a float.
  Extended y = Feed(f, 0, 20000);
  EXPECT_LT(std::fabs(y), 1e-37L);
  for (int i = 0; i < 1000; ++i) {
    y = f.ProcessSample(0);
    EXPECT_TRUE(y == 0 || std::fpclassify(static_cast<float>(y)) == FP_NORMAL);
  }
}

}  // namespace

TEST(IIRComponent, SettlesOnAFixedPointInSilenceAndLeavesItOnInputOrRedesign) {
  TdspIIRFilter f;
  LoadWindowSettings(f);
  Extended level = -1;
  // Fresh histories count only once the run of zeros covers them.
  EXPECT_FALSE(f.AtRest(level));
  Feed(f, 0, f.TapCount() + 2);
  ASSERT_TRUE(f.AtRest(level));
  EXPECT_EQ(level, 0);
  // After a mark the decay settles where the guard's rounding holds it.
  Feed(f, 0.7L, 3000);
  EXPECT_FALSE(f.AtRest(level));
  int n = 0;
  while (!f.AtRest(level) && n < 48000) {
    f.ProcessSample(0);
    ++n;
  }
  ASSERT_LT(n, 48000);
  EXPECT_GT(level, 0);
  EXPECT_LT(level, 1e-37L);
  // What a skipped call would have returned, however long the silence.
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(f.ProcessSample(0), level);
  EXPECT_TRUE(f.AtRest(level));
  EXPECT_FALSE((f.ProcessSample(1e-30L), f.AtRest(level)));
  Feed(f, 0, 2000);
  ASSERT_TRUE(f.AtRest(level));
  // A new design starts the count again.
  f.SetFrequency1(300);
  EXPECT_FALSE(f.AtRest(level));
}
