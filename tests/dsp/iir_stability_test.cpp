#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "core/StatusChannel.h"
#include "dsp/dspIIRFilters.h"

namespace {

using core::Extended;
using namespace dsp;

struct TDesignSettings {
  TdspIIRFilterKind Kind = fkButterworth;
  TdspIIRFilterResponse Response = ftLowpass;
  int Order = 1;
  Extended F1 = 150, F2 = 150, Rate = 48000, Ripple = 1;
};

std::string Describe(const TDesignSettings& s) {
  char text[160];
  std::snprintf(text, sizeof text,
                "kind %d response %d order %d f %.21Lg / %.21Lg rate %Lg ripple %Lg", s.Kind,
                s.Response, s.Order, s.F1, s.F2, s.Rate, s.Ripple);
  return text;
}

// One design from the complete settings, as a stored form loads it (no
// intermediate designs that could leave their own LastError).
void Load(TdspIIRFilter& f, const TDesignSettings& s) {
  f.BeginLoading();
  f.SetSampleRate(s.Rate);
  f.SetKind(s.Kind);
  f.SetResponse(s.Response);
  f.SetOrder(s.Order);
  f.SetRipple(s.Ripple);
  f.SetFrequency1(s.F1);
  f.SetFrequency2(s.F2);
  f.EndLoading();
}

// Largest output magnitude for a 0.7 step of Count samples; +inf once an
// output is not finite.
Extended StepPeak(TdspIIRFilter& f, int Count) {
  Extended peak = 0;
  for (int i = 0; i < Count; ++i) {
    const Extended y = f.ProcessSample(0.7L);
    if (!std::isfinite(y)) return std::numeric_limits<Extended>::infinity();
    peak = std::max(peak, std::fabs(y));
  }
  return peak;
}

TdspExtendedArray Denominator(std::initializer_list<Extended> y) {
  TdspExtendedArray a{};
  int i = 0;
  for (Extended v : y)
    a[i++] = v;
  return a;
}

// The denominator z^n - sum Y[i] z^i of (z - r)^n, expanded in extended.
TdspExtendedArray RepeatedRoot(Extended r, int n) {
  TdspExtendedArray c{};  // c[k]: coefficient of z^k, c[n] = 1
  c[0] = 1;
  for (int m = 1; m <= n; ++m) {
    for (int k = m; k >= 1; --k)
      c[k] = c[k - 1] - r * c[k];
    c[0] = -r * c[0];
  }
  TdspExtendedArray y{};
  for (int i = 0; i < n; ++i)
    y[i] = -c[i];
  return y;
}

TEST(IIRStability, VerdictOnKnownDenominators) {
  // (z - 0.5)(z + 0.9) = z^2 + 0.4 z - 0.45.
  EXPECT_TRUE(DenominatorIsStable(Denominator({0.45L, -0.4L}), 2));
  // (z - 0.5)(z - 1.01): one root outside.
  EXPECT_FALSE(DenominatorIsStable(Denominator({-0.505L, 1.51L}), 2));
  // Roots on the circle: z - 1, z + 1, z^2 + 1.
  EXPECT_FALSE(DenominatorIsStable(Denominator({1}), 1));
  EXPECT_FALSE(DenominatorIsStable(Denominator({-1}), 1));
  EXPECT_FALSE(DenominatorIsStable(Denominator({-1, 0}), 2));
  EXPECT_TRUE(DenominatorIsStable(Denominator({-0.81L, 0}), 2));
  EXPECT_FALSE(DenominatorIsStable(Denominator({std::numeric_limits<Extended>::quiet_NaN()}), 1));
  EXPECT_TRUE(DenominatorIsStable(Denominator({}), 0));

  // Eight roots at 0.99 are well inside for extended precision; eight at
  // 0.995 lie inside too, but within rounding of the circle (0.005^8 is
  // below one rounding unit of the coefficients' sum), so a direct form of
  // them cannot be trusted.
  EXPECT_TRUE(DenominatorIsStable(RepeatedRoot(0.99L, 8), 8));
  EXPECT_FALSE(DenominatorIsStable(RepeatedRoot(0.995L, 8), 8));
  // A thin spot between the grid points is found through a probe.
  const TdspExtendedArray narrow = RepeatedRoot(0.995L, 8);
  const TdspComplex probe[] = {Complex(0.995L, 0)};
  EXPECT_FALSE(DenominatorIsStable(narrow, 8, probe));
}

TEST(IIRStability, DivergentDesignsFailAndSaySo) {
  // Designs whose every pole lies inside the circle but whose one expanded
  // polynomial does not: each diverged from a 0.7 step before.
  const TDesignSettings divergent[] = {
      {fkButterworth, ftBandpass, 6, 650, 750},
      {fkButterworth, ftBandpass, 8, 650, 750},
      {fkButterworth, ftBandstop, 4, 45, 55},
      {fkButterworth, ftLowpass, 8, 30, 30},
  };
  core::TStatusChannel& channel = core::StatusChannel();
  core::TStatusRecord record;
  for (const TDesignSettings& s : divergent) {
    channel.Drain();
    TdspIIRFilter f;
    Load(f, s);
    EXPECT_EQ(f.LastError(), kUnstableText) << Describe(s);
    // The verdict is right: the installed recurrence does run away.
    EXPECT_GT(StepPeak(f, 16384), 1e6) << Describe(s);
    ASSERT_TRUE(channel.Read(record)) << Describe(s);
    EXPECT_EQ(record.Source, core::ssFilter);
    EXPECT_EQ(record.Severity, core::svError);
    EXPECT_EQ(record.TextView(), kUnstableText);
    EXPECT_FALSE(channel.Read(record));

    // A later good design neither clears the error nor reports anything.
    f.SetOrder(1);
    EXPECT_EQ(f.LastError(), kUnstableText);
    EXPECT_FALSE(channel.Read(record)) << record.TextView();
  }

  // The realness message goes out as its first line only.
  channel.Drain();
  TdspIIRFilter cheb;
  cheb.SetKind(fkChebyshev);
  cheb.SetRipple(std::numeric_limits<Extended>::infinity());
  ASSERT_TRUE(channel.Read(record));
  EXPECT_EQ(record.TextView(), "Chebyshev filter error y=0; must be .gt. 0.0");

  // Equal band edges below the clamp install ZeroSample or PassSample, which
  // never run the (here unstable) recurrence: not a failure.
  channel.Drain();
  for (auto response : {ftBandpass, ftBandstop}) {
    TdspIIRFilter f;
    Load(f, {fkButterworth, response, 8, 1, 7});
    EXPECT_EQ(f.LastError(), "") << response;
    EXPECT_NE(f.InstalledFunction(), sfFilterSample);
  }
  EXPECT_FALSE(channel.Read(record));
}

// Random designs over the whole space; every one that reports no error must
// stay bounded for a bounded input over 100 000 samples.
TEST(IIRStability, DesignsWithoutErrorStayBounded) {
  constexpr int kDesigns = 160;
  constexpr int kSamples = 100000;
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> unit(0, 1);
  const Extended rates[] = {8000, 11025, 22050, 44100, 48000, 96000, 192000, 1e6L};
  // Log-uniform from 0.01 Hz up to beyond half the rate (the clamp's side).
  const auto corner = [&](Extended rate) {
    return std::exp(std::log(0.01L) + unit(rng) * (std::log(rate * 0.6L) - std::log(0.01L)));
  };
  int accepted = 0, failed = 0;
  for (int d = 0; d < kDesigns; ++d) {
    TDesignSettings s;
    s.Rate = rates[rng() % std::size(rates)];
    s.Kind = static_cast<TdspIIRFilterKind>(rng() % 3);
    s.Response = static_cast<TdspIIRFilterResponse>(rng() % 4);
    s.Order = 1 + static_cast<int>(rng() % 8);
    s.F1 = corner(s.Rate);
    // Band edges: often a narrow band, where poles crowd together.
    s.F2 = rng() % 2 ? corner(s.Rate) : s.F1 * (1 + 0.3L * unit(rng));
    s.Ripple = 0.1L + 5.9L * unit(rng);

    TdspIIRFilter f;
    Load(f, s);
    if (!f.LastError().empty()) {
      ++failed;
      continue;
    }
    ++accepted;
    // A step, then a random square wave of the same bound.
    Extended peak = 0;
    for (int i = 0; i < kSamples; ++i) {
      const Extended x = i < kSamples / 2 ? 0.7L : (rng() & 1 ? 1.0L : -1.0L);
      const Extended y = f.ProcessSample(x);
      if (!(std::fabs(y) <= 1e3L)) {
        peak = y;
        break;
      }
      peak = std::max(peak, std::fabs(y));
    }
    ASSERT_LE(std::fabs(peak), 1e3L) << Describe(s) << ", output " << double(peak);
  }
  // The space holds both kinds, so neither side of the test is empty.
  EXPECT_GT(accepted, kDesigns / 2);
  EXPECT_GT(failed, 0);
}

}  // namespace
