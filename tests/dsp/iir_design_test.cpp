#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/dspIIRFilters.h"

namespace {

using core::Extended;
using namespace dsp;
using Cx = std::complex<Extended>;

constexpr Extended kPi = std::numbers::pi_v<Extended>;

// Tolerance of a value quoted to 10 significant digits.
void ExpectDigits(Extended actual, Extended expected, const std::string& what) {
  const Extended tol =
      expected == 0 ? 1e-15L
                    : 0.51L * std::pow(10.0L, std::floor(std::log10(std::fabs(expected))) - 9);
  EXPECT_NEAR(static_cast<double>(actual), static_cast<double>(expected), static_cast<double>(tol))
      << what;
}

struct TSettings {
  TdspIIRFilterKind Kind = fkButterworth;
  TdspIIRFilterResponse Response = ftLowpass;
  int Order = 1;
  Extended F1 = 150, F2 = 150, Rate = 48000, Ripple = 0.1L;
};

void Apply(TdspIIRFilter& f, const TSettings& s) {
  f.SetSampleRate(s.Rate);
  f.SetKind(s.Kind);
  f.SetResponse(s.Response);
  f.SetOrder(s.Order);
  f.SetRipple(s.Ripple);
  f.SetFrequency1(s.F1);
  f.SetFrequency2(s.F2);
}

// Transfer function of the recurrence the coefficients feed, at z:
// InputScale (z^N + sum X[i] z^i) / (z^N - sum Y[i] z^i).
Cx Response(const TdspIIRFilter& f, Cx z) {
  const int n = f.TapCount();
  Cx num = std::pow(z, n), den = num;
  for (int i = 0; i < n; ++i) {
    num += f.XCoeffs()[i] * std::pow(z, i);
    den -= f.YCoeffs()[i] * std::pow(z, i);
  }
  return f.InputScale() * num / den;
}

// How much the denominator's rounding is magnified at z: the sum of the
// coefficient magnitudes over the value. A single direct form of high order
// with all poles crowded near z = 1 or -1 cannot be represented even in
// extended precision; designs past 1e11 are left out of the shape
// checks.
Extended Conditioning(const TdspIIRFilter& f, Cx z) {
  const int n = f.TapCount();
  Cx den = std::pow(z, n);
  Extended sum = 1;
  for (int i = 0; i < n; ++i) {
    den -= f.YCoeffs()[i] * std::pow(z, i);
    sum += std::fabs(f.YCoeffs()[i]);
  }
  return sum / std::abs(den);
}

Extended GainDb(const TdspIIRFilter& f, Extended alpha) {
  return 20 * std::log10(std::abs(Response(f, std::polar<Extended>(1, 2 * kPi * alpha))));
}

struct TExpected {
  const char* Name;
  TSettings S;
  std::vector<Extended> X, Y;
  Extended Scale;
};

TEST(IIRDesign, CoefficientsOfReferenceDesigns) {
  const std::vector<TExpected> cases = {
      {"butterworth lp1 150/48000", {}, {1}, {0.9805553189L}, 0.009722340545L},
      {"butterworth lp1 300/44100",
       {fkButterworth, ftLowpass, 1, 300, 300, 44100},
       {1},
       {0.9581453618L},
       0.02092731912L},
      {"butterworth lp2",
       {fkButterworth, ftLowpass, 2},
       {1, 2},
       {-0.9726139693L, 1.972233729L},
       9.506002945e-5L},
      {"butterworth hp1", {fkButterworth, ftHighpass}, {-1}, {0.9805553189L}, 0.9902776595L},
      {"chebyshev lp2 1dB",
       {fkChebyshev, ftLowpass, 2, 1000, 1000, 48000, 1},
       {1, 2},
       {-0.8663503869L, 1.848754446L},
       0.004398985326L},
      {"bessel lp3",
       {fkBessel, ftLowpass, 3, 1000, 1000},
       {1, 3, 3},
       {0.6391131433L, -2.213602446L, 2.569477057L},
       0.0006265306563L},
      {"butterworth bp1",
       {fkButterworth, ftBandpass, 1, 1000, 2000},
       {-1, 0},
       {-0.876976463L, 1.844860875L},
       0.06233925454L},
      {"butterworth bp1 edges exchanged",
       {fkButterworth, ftBandpass, 1, 2000, 1000},
       {-1, 0},
       {-0.876976463L, 1.844860875L},
       0.06233925454L},
  };
  for (const auto& c : cases) {
    TdspIIRFilter f;
    Apply(f, c.S);
    ASSERT_EQ(f.TapCount(), static_cast<int>(c.X.size())) << c.Name;
    for (size_t i = 0; i < c.X.size(); ++i) {
      ExpectDigits(f.XCoeffs()[i], c.X[i], std::string(c.Name) + " X" + std::to_string(i));
      ExpectDigits(f.YCoeffs()[i], c.Y[i], std::string(c.Name) + " Y" + std::to_string(i));
    }
    ExpectDigits(f.InputScale(), c.Scale, c.Name);
    EXPECT_EQ(f.InstalledFunction(), sfFilterSample) << c.Name;
    EXPECT_EQ(f.LastError(), "") << c.Name;
  }
}

TEST(IIRDesign, PrototypePoles) {
  TdspIIRFilter f;
  Apply(f, {});
  ExpectDigits(1 / f.InputScale(), 102.8558911L, "dc gain");
  // Of the candidates at 0 and pi only the left one survives.
  ASSERT_EQ(f.SPlane().NumPoles, 1);
  EXPECT_LT(f.SPlane().Poles[0].Re, 0);
  EXPECT_NEAR(static_cast<double>(f.SPlane().Poles[0].Im), 0, 1e-18);

  // The Bessel order-3 low-pass scales the stored poles by the warped corner.
  Apply(f, {fkBessel, ftLowpass, 3, 1000, 1000});
  const Extended w1 = 2 * std::tan(kPi * 1000 / 48000);
  const TdspComplex expect[3] = {BesselPoles[2], BesselPoles[3], CConj(BesselPoles[3])};
  ASSERT_EQ(f.SPlane().NumPoles, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(static_cast<double>(f.SPlane().Poles[i].Re), double(expect[i].Re * w1), 1e-15);
    EXPECT_NEAR(static_cast<double>(f.SPlane().Poles[i].Im), double(expect[i].Im * w1), 1e-15);
  }
}

TEST(IIRDesign, EqualBandEdgesInstallZeroOrPass) {
  TdspIIRFilter f;
  Apply(f, {fkButterworth, ftBandpass, 1, 1000, 1000});
  EXPECT_EQ(f.InstalledFunction(), sfZeroSample);
  EXPECT_EQ(f.ProcessSample(0.7L), 0);
  Apply(f, {fkButterworth, ftBandstop, 1, 1000, 1000});
  EXPECT_EQ(f.InstalledFunction(), sfPassSample);
  EXPECT_EQ(f.ProcessSample(0.7L), 0.7L);
  // Both edges below 0.0001 * Order * SampleRate (9.6 Hz) clamp to one alpha.
  Apply(f, {fkButterworth, ftBandstop, 2, 1, 7});
  EXPECT_EQ(f.InstalledFunction(), sfPassSample);
  f.SetResponse(ftBandpass);
  EXPECT_EQ(f.InstalledFunction(), sfZeroSample);
  f.SetFrequency2(2000);
  EXPECT_EQ(f.InstalledFunction(), sfFilterSample);
}

TEST(IIRDesign, RippleMattersOnlyToChebyshev) {
  for (auto kind : {fkButterworth, fkBessel, fkChebyshev}) {
    TdspIIRFilter a, b;
    Apply(a, {kind, ftLowpass, 4, 1000, 1000, 48000, 0.5L});
    Apply(b, {kind, ftLowpass, 4, 1000, 1000, 48000, 3});
    const bool same = a.YCoeffs() == b.YCoeffs() && a.InputScale() == b.InputScale();
    EXPECT_EQ(same, kind != fkChebyshev) << int(kind);
  }
}

TEST(IIRDesign, ErrorsAreRecordedAndKept) {
  // An infinite ripple drives y to 0: the poles stay unscaled (a Butterworth
  // design) and the message stays after later good designs.
  TdspIIRFilter cheb, butter;
  Apply(cheb, {fkChebyshev, ftLowpass, 2, 1000, 1000});
  Apply(butter, {fkButterworth, ftLowpass, 2, 1000, 1000});
  cheb.SetRipple(std::numeric_limits<Extended>::infinity());
  EXPECT_EQ(cheb.LastError(), "Chebyshev filter error y=0; must be .gt. 0.0");
  EXPECT_EQ(cheb.YCoeffs(), butter.YCoeffs());
  cheb.SetRipple(1);
  EXPECT_EQ(cheb.LastError(), "Chebyshev filter error y=0; must be .gt. 0.0");

  // Roots that are not conjugate pairs leave complex coefficients.
  TdspComplexArray roots{}, c{};
  roots[0] = Complex(0, 1);
  roots[1] = Complex(2, 0);
  EXPECT_EQ(ExpandPolynomial(roots, 2, c),
            "Coeff of z^0 is not real; poles/zeros are not complex conjugates\r\n"
            "Coeff of z^1 is not real; poles/zeros are not complex conjugates\r\n");
  EXPECT_EQ(c[2].Re, 1);
  EXPECT_EQ(c[1].Re, -2);
  EXPECT_EQ(c[1].Im, -1);
  EXPECT_EQ(c[0].Im, 2);
  roots[1] = Complex(0, -1);
  EXPECT_EQ(ExpandPolynomial(roots, 2, c), "");
}

// Properties over the whole design space.
TEST(IIRDesign, EveryDesignIsStableNormalizedAndShaped) {
  const Extended rate = 48000;
  const Extended corners[] = {30, 150, 1000, 5000, 12000, 20000, 23500};
  const std::pair<Extended, Extended> bands[] = {{100, 300},    {1000, 2000}, {2000, 1000},
                                                 {5000, 12000}, {300, 15000}, {18000, 23500}};
  int designs = 0, illConditioned = 0;
  for (auto kind : {fkButterworth, fkChebyshev, fkBessel}) {
    for (auto resp : {ftLowpass, ftHighpass, ftBandpass, ftBandstop}) {
      const bool band = resp == ftBandpass || resp == ftBandstop;
      std::vector<std::pair<Extended, Extended>> edges;
      if (band)
        edges.assign(std::begin(bands), std::end(bands));
      else
        for (Extended c : corners)
          edges.push_back({c, c});
      for (Extended ripple : {0.1L, 1.0L, 3.0L}) {
        if (kind != fkChebyshev && ripple != 0.1L) continue;
        for (int order = 1; order <= 8; ++order) {
          for (auto [f1, f2] : edges) {
            TdspIIRFilter f;
            Apply(f, {kind, resp, order, f1, f2, rate, ripple});
            ++designs;
            const std::string what =
                "kind " + std::to_string(kind) + " resp " + std::to_string(resp) + " order " +
                std::to_string(order) + " f " + std::to_string(double(f1)) + "/" +
                std::to_string(double(f2)) + " ripple " + std::to_string(double(ripple));
            const Extended a1 = std::min(f1, f2) / rate, a2 = std::max(f1, f2) / rate;
            ASSERT_EQ(f.TapCount(), band ? 2 * order : order) << what;
            ASSERT_EQ(f.ZPlane().NumPoles, f.TapCount()) << what;
            for (int i = 0; i < f.ZPlane().NumPoles; ++i)
              ASSERT_LT(std::abs(Cx(f.ZPlane().Poles[i].Re, f.ZPlane().Poles[i].Im)), 1) << what;

            Extended cond = 0;
            for (Cx z : {Cx(1), Cx(-1), std::polar<Extended>(1, kPi * (a1 + a2))})
              cond = std::max(cond, Conditioning(f, z));
            if (cond > 1e11) {
              ++illConditioned;
              continue;
            }
            Cx ref;
            switch (resp) {
              case ftLowpass:
                ref = Response(f, 1);
                break;
              case ftHighpass:
                ref = Response(f, -1);
                break;
              case ftBandpass:
                ref = Response(f, std::polar<Extended>(1, kPi * (a1 + a2)));
                break;
              case ftBandstop:
                ref = std::sqrt(Response(f, 1) * Response(f, -1));
                break;
            }
            EXPECT_NEAR(double(std::abs(ref)), 1, 1e-9) << what;

            if (kind == fkButterworth && !band) {
              EXPECT_NEAR(double(GainDb(f, a1)), -3.0103, 1e-4) << what;
            }
            if (kind == fkChebyshev) {
              // Sample the pass band(s); their gains span at most the ripple.
              Extended lo = 1e9, hi = -1e9;
              auto sample = [&](Extended from, Extended to) {
                for (int k = 0; k <= 200; ++k) {
                  const Extended g = GainDb(f, from + (to - from) * k / 200);
                  lo = std::min(lo, g);
                  hi = std::max(hi, g);
                }
              };
              if (resp == ftLowpass) sample(0, a1);
              if (resp == ftHighpass) sample(a1, 0.5L);
              if (resp == ftBandpass) sample(a1, a2);
              if (resp == ftBandstop) {
                sample(0, a1);
                sample(a2, 0.5L);
              }
              EXPECT_LE(double(hi - lo), double(ripple) + 1e-6) << what;
              EXPECT_LE(double(std::max(hi, -lo)), double(ripple) + 1e-6) << what;
            }
            if (resp == ftBandstop) {
              EXPECT_NEAR(double(std::abs(Response(f, 1))), 1, 1e-9) << what;
              EXPECT_NEAR(double(std::abs(Response(f, -1))), 1, 1e-9) << what;
              if (order >= 2) {
                const Extended w0 = std::sqrt(4 * std::tan(kPi * a1) * std::tan(kPi * a2));
                const Extended notch = std::atan(w0 / 2) / kPi;
                EXPECT_LT(double(GainDb(f, notch)), -40) << what;
              }
            }
            if (resp == ftLowpass && f1 >= 150) {
              Extended y = 0;
              for (int k = 0; k < 40000; ++k)
                y = f.ProcessSample(0.5L);
              EXPECT_NEAR(double(y), 0.5, 1e-7) << what;
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(designs, (7 + 7 * 3 + 7) * 8 * 2 + (6 + 6 * 3 + 6) * 8 * 2);
  // High orders at extreme corners or narrow bands fall out.
  EXPECT_LT(illConditioned, designs / 3);
  std::printf("%d of %d designs too ill-conditioned for shape checks\n", illConditioned, designs);
}

// The band-stop poles come from the low-pass to band-stop mapping. Recover
// each prototype pole p from a pair: the pair's mean is bw / (2 p).
std::vector<Cx> ScaledBandstopPoles(const TdspIIRFilter& f, Extended bw, Extended w0) {
  const int n = f.SPlane().NumPoles / 2;
  std::vector<Cx> poles;
  for (int i = 0; i < n; ++i) {
    const Cx a(f.SPlane().Poles[i].Re, f.SPlane().Poles[i].Im);
    const Cx b(f.SPlane().Poles[n + i].Re, f.SPlane().Poles[n + i].Im);
    const Cx p = bw / (a + b);
    // The band-pass statements applied to it instead.
    const Cx hba = p * (bw / 2);
    const Cx t = std::sqrt(Cx(1) - (w0 / hba) * (w0 / hba));
    poles.push_back(hba * (Cx(1) + t));
    poles.push_back(hba * (Cx(1) - t));
  }
  return poles;
}

TEST(IIRDesign, BandstopUsesTheBandstopPoleMapping) {
  const Extended a1 = 1000.0L / 48000, a2 = 2000.0L / 48000;
  const Extended w1 = 2 * std::tan(kPi * a1), w2 = 2 * std::tan(kPi * a2);
  const Extended w0 = std::sqrt(w1 * w2), bw = w2 - w1;

  TdspIIRFilter cheb;
  Apply(cheb, {fkChebyshev, ftBandstop, 4, 1000, 2000, 48000, 1});
  EXPECT_NEAR(double(GainDb(cheb, a1)), 0, 1e-6);
  EXPECT_NEAR(double(GainDb(cheb, a2)), 0, 1e-6);

  // The same zeros with the band-pass mapping of the poles peak at the edges.
  const std::vector<Cx> poles = ScaledBandstopPoles(cheb, bw, w0);
  auto h = [&](Cx z) {
    Cx r = 1;
    for (int i = 0; i < cheb.ZPlane().NumZeros; ++i)
      r *= z - Cx(cheb.ZPlane().Zeros[i].Re, cheb.ZPlane().Zeros[i].Im);
    for (Cx s : poles)
      r /= z - (Cx(2) + s) / (Cx(2) - s);
    return r;
  };
  const Extended g = std::sqrt(std::abs(h(1)) * std::abs(h(-1)));
  for (Extended a : {a1, a2})
    EXPECT_GT(double(20 * std::log10(std::abs(h(std::polar<Extended>(1, 2 * kPi * a))) / g)), 10);

  // For Butterworth prototypes both mappings give one set of poles.
  TdspIIRFilter butter;
  Apply(butter, {fkButterworth, ftBandstop, 4, 1000, 2000});
  for (Cx s : ScaledBandstopPoles(butter, bw, w0)) {
    Extended nearest = 1;
    for (int i = 0; i < butter.SPlane().NumPoles; ++i)
      nearest = std::min(
          nearest, std::abs(s - Cx(butter.SPlane().Poles[i].Re, butter.SPlane().Poles[i].Im)));
    EXPECT_LT(double(nearest), 1e-15);
  }
}

}  // namespace
