#include "dsp/dspIIRFilters.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numbers>
#include <string_view>
#include <utility>

#include "core/StatusChannel.h"

namespace dsp {

namespace {

constexpr Extended kPi = std::numbers::pi_v<Extended>;

// Added and removed again after every step, so that values far below it
// become exactly 0 instead of decaying through denormals. Held as a double
// on purpose: its rounding is part of the recurrence's results.
constexpr double DenormalGuard = 1e-20;

// The first operand wins ties and unordered comparisons.
Extended Max(Extended a, Extended b) {
  return a > b ? a : b;
}
Extended Min(Extended a, Extended b) {
  return a < b ? a : b;
}

bool IsBand(TdspIIRFilterResponse r) {
  return r == ftBandpass || r == ftBandstop;
}

// Stored corner frequencies stay inside (0, SampleRate / 2). The margin
// below half the rate is a share of the rate, so that it never vanishes in
// the rounding of a large rate and the prewarp tan(pi * alpha) stays well
// away from its pole; it mirrors the design's lower bound of 0.0001 cycles
// per sample. The lower clamp never lies above the upper one, however small
// the rate.
Extended ClampFrequency(Extended Value, Extended SampleRate) {
  const Extended top = SampleRate * (0.5L - 0.0001L);
  return Max(Min(Epsilon, top), Min(Value, top));
}

}  // namespace

const char* const kUnstableText =
    "Filter is unstable: the rounded coefficients put a pole on or outside the unit circle";

const std::array<TdspComplex, 20> BesselPoles = {{
    {-1.0L, 0.0L},                       // order 1
    {-1.10160133059L, 0.636009824757L},  // order 2
    {-1.32267579991L, 0.0L},             // order 3
    {-1.04740916101L, 0.999264436281L},  //
    {-1.37006783055L, 0.410249717494L},  // order 4
    {-0.99520876435L, 1.25710573945L},   //
    {-1.50231627145L, 0.0L},             // order 5
    {-1.38087732586L, 0.717909587627L},  //
    {-0.957676548563L, 1.47112432073L},  //
    {-1.57149040362L, 0.320896374221L},  // order 6
    {-1.3818580976L, 0.971471890712L},   //
    {-0.930656522947L, 1.66186326894L},  //
    {-1.68436817927L, 0.0L},             // order 7
    {-1.61203876622L, 0.589244506931L},  //
    {-1.3789032168L, 1.1915667778L},     //
    {-0.909867780623L, 1.83645135304L},  //
    {-1.7574084004L, 0.272867575103L},   // order 8
    {-1.63693941813L, 0.822795625139L},  //
    {-1.37384121764L, 1.38835657588L},   //
    {-0.892869718847L, 1.99832584364L},  //
}};

void ChoosePole(TdspPoleZeroSet& Set, const TdspComplex& z) {
  if (z.Re < 0 && Set.NumPoles <= MaxPZ) Set.Poles[Set.NumPoles++] = z;
}

TdspComplex Bilinear(const TdspComplex& s) {
  return CDiv(CAdd(Complex(2, 0), s), CSub(Complex(2, 0), s));
}

std::string ExpandPolynomial(const TdspComplexArray& Roots, int n, TdspComplexArray& c) {
  c[0] = Complex(1, 0);
  for (int j = 1; j <= n; ++j)
    c[j] = Complex(0, 0);
  for (int i = 0; i < n; ++i) {
    const TdspComplex w = CNeg(Roots[i]);
    for (int j = n; j >= 1; --j)
      c[j] = CAdd(CMul(w, c[j]), c[j - 1]);
    c[0] = CMul(w, c[0]);
  }
  std::string message;
  for (int k = 0; k <= n; ++k) {
    if (std::fabs(c[k].Im) > Epsilon) {
      char line[96];
      std::snprintf(line, sizeof line,
                    "Coeff of z^%d is not real; poles/zeros are not complex conjugates\r\n", k);
      message += line;
    }
  }
  return message;
}

bool DenominatorIsStable(const TdspExtendedArray& YCoeffs, int n,
                         std::span<const TdspComplex> Probes) {
  if (n < 0 || n > MaxPZ) return false;
  // Step-down (Schur-Cohn) recursion on 1 + sum a[j] z^-j, a[j] = -Y[n - j]:
  // every root lies inside the unit circle exactly when every reflection
  // coefficient has magnitude below 1. A NaN fails the comparison as well.
  Extended a[MaxPZ + 1];
  Extended next[MaxPZ + 1];
  for (int j = 1; j <= n; ++j)
    a[j] = -YCoeffs[n - j];
  for (int m = n; m >= 1; --m) {
    const Extended k = a[m];
    if (!(std::fabs(k) < 1)) return false;
    const Extended d = 1 - k * k;
    for (int j = 1; j < m; ++j)
      next[j] = (a[j] - k * a[m - j]) / d;
    for (int j = 1; j < m; ++j)
      a[j] = next[j];
  }

  // The recursion itself rounds, and so does every step of the recurrence,
  // which then acts as if its coefficients wobbled by about a rounding
  // unit. Where the denominator comes within that much of zero on the unit
  // circle (Rouche: no smaller change of the coefficients moves a pole
  // across) a verdict of "stable" means nothing in this precision, and such
  // designs were seen to diverge. The closest approach lies at the poles'
  // own angles, so those are probed besides an even grid of the half circle
  // (real coefficients make the other half its mirror image).
  Extended size = 1;
  for (int i = 0; i < n; ++i)
    size += std::fabs(YCoeffs[i]);
  const Extended margin = size * std::numeric_limits<Extended>::epsilon();
  const auto clear = [&](const TdspComplex& z) {
    TdspComplex s = Complex(1, 0);
    for (int i = n - 1; i >= 0; --i)
      s = CSub(CMul(s, z), Complex(YCoeffs[i], 0));
    return CAbs(s) > margin;
  };
  constexpr int kGrid = 256;
  for (int k = 0; k <= kGrid; ++k) {
    if (!clear(CExpJ(kPi * k / kGrid))) return false;
  }
  for (const TdspComplex& p : Probes) {
    const Extended r = CAbs(p);
    if (r > 0 && !clear(Complex(p.Re / r, p.Im / r))) return false;
  }
  return true;
}

TdspComplex EvaluatePolynomial(const TdspComplexArray& c, int n, const TdspComplex& z) {
  TdspComplex s = Complex(0, 0);
  for (int k = n; k >= 0; --k)
    s = CAdd(CMul(s, z), c[k]);
  return s;
}

TdspCustomIIRFilter::TdspCustomIIRFilter(core::TComponent* AOwner) : core::TComponent(AOwner) {
  // Every slot starts as PassSample; the first design replaces it.
  Design();
  Publish(true);
}

void TdspCustomIIRFilter::Loaded() {
  core::TComponent::Loaded();
  // The setters skipped the clamp while loading, since the sample rate may
  // arrive after the frequencies. Apply it now that every value is known: a
  // corner at or above half the rate would put the poles outside the unit
  // circle.
  FFrequency1 = ClampFrequency(FFrequency1, FSampleRate);
  FFrequency2 = ClampFrequency(FFrequency2, FSampleRate);
  DesignFilter();
}

// ---- settings side --------------------------------------------------------

Extended TdspCustomIIRFilter::GetFrequency(int Index) const {
  if (Index == 1 || !IsBand(FResponse)) return FFrequency1;
  return FFrequency2;
}

void TdspCustomIIRFilter::SetFrequency(int Index, Extended Value) {
  if (std::isnan(Value)) return;
  if (!IsLoading()) Value = ClampFrequency(Value, FSampleRate);
  Extended& field = Index == 1 ? FFrequency1 : FFrequency2;
  if (Value != field) {
    field = Value;
    DesignFilter();
  }
}

void TdspCustomIIRFilter::SetSampleRate(Extended Value) {
  // A NaN or infinite rate would turn every coefficient into NaN; below the
  // smallest normal number the clamps could not keep a frequency above 0.
  if (Value == FSampleRate || !(Value >= std::numeric_limits<Extended>::min()) ||
      !std::isfinite(Value))
    return;
  FSampleRate = Value;
  FFrequency1 = ClampFrequency(FFrequency1, Value);
  FFrequency2 = ClampFrequency(FFrequency2, Value);
  DesignFilter();
}

void TdspCustomIIRFilter::SetRipple(Extended Value) {
  if (std::isnan(Value)) return;
  Value = Max(0.1L, std::fabs(Value));
  if (Value != FRipple) {
    FRipple = Value;
    if (FKind == fkChebyshev) DesignFilter();
  }
}

void TdspCustomIIRFilter::SetKind(TdspIIRFilterKind Value) {
  if (Value != FKind && Value <= fkBessel) {
    FKind = Value;
    DesignFilter();
  }
}

void TdspCustomIIRFilter::SetResponse(TdspIIRFilterResponse Value) {
  if (Value != FResponse && Value <= ftBandstop) {
    FResponse = Value;
    // Design and history reset reach the audio side as one.
    if (!IsLoading()) Design();
    Publish(true);
  }
}

void TdspCustomIIRFilter::SetOrder(TdspIIRFilterOrder Value) {
  if (Value != FOrder && Value >= 1 && Value <= 8) {
    FOrder = Value;
    if (!IsLoading()) Design();
    Publish(true);
  }
}

void TdspCustomIIRFilter::DesignFilter() {
  if (IsLoading()) return;
  Design();
  Publish(!FManualReset);
}

void TdspCustomIIRFilter::ResetHistory() {
  Publish(true);
}

void TdspCustomIIRFilter::Design() {
  const Extended order = FOrder;
  const Extended minimum = 0.0001L * order;
  bool failed = false;

  Extended alpha1 = Max(minimum, FFrequency1 / FSampleRate);
  Extended alpha2 = Max(minimum, (IsBand(FResponse) ? FFrequency2 : FFrequency1) / FSampleRate);
  if (!IsBand(FResponse)) alpha2 = alpha1;

  FSPlane = TdspPoleZeroSet{};
  FZPlane = TdspPoleZeroSet{};

  // Prototype poles.
  if (FKind == fkBessel) {
    int p = (FOrder * FOrder + 2) / 4;  // Order^2 / 4, rounded
    if (FOrder % 2 == 1) ChoosePole(FSPlane, BesselPoles[p++]);
    for (int i = 0; i < FOrder / 2; ++i, ++p) {
      ChoosePole(FSPlane, BesselPoles[p]);
      ChoosePole(FSPlane, CConj(BesselPoles[p]));
    }
  } else {
    for (int i = 0; i < 2 * FOrder; ++i) {
      const Extended theta = FOrder % 2 == 1 ? (i * kPi) / order : ((i + 0.5L) * kPi) / order;
      ChoosePole(FSPlane, CExpJ(theta));
    }
    if (FKind == fkChebyshev) {
      Extended eps = std::sqrt(std::pow(10.0L, FRipple / 10) - 1);
      eps = Max(eps, Epsilon);
      const Extended y = std::asinh(1 / eps) / order;
      if (y > 0) {
        const Extended sh = std::sinh(y);
        const Extended ch = std::cosh(y);
        for (int i = 0; i < FSPlane.NumPoles; ++i) {
          FSPlane.Poles[i].Re *= sh;
          FSPlane.Poles[i].Im *= ch;
        }
      } else {
        char text[80];
        std::snprintf(text, sizeof text, "Chebyshev filter error y=%Lg; must be .gt. 0.0", y);
        FLastError = text;
        failed = true;
      }
    }
  }

  // Pre-warping.
  Extended w1 = 2 * std::tan(kPi * alpha1);
  Extended w2 = 2 * std::tan(kPi * alpha2);

  // Band transformation.
  const int n = FSPlane.NumPoles;
  switch (FResponse) {
    case ftLowpass:
      for (int i = 0; i < n; ++i)
        FSPlane.Poles[i] = CScale(FSPlane.Poles[i], w1);
      FSPlane.NumZeros = 0;
      break;
    case ftHighpass:
      for (int i = 0; i < n; ++i) {
        FSPlane.Poles[i] = CDiv(Complex(w1, 0), FSPlane.Poles[i]);
        FSPlane.Zeros[i] = Complex(0, 0);
      }
      FSPlane.NumZeros = n;
      break;
    case ftBandpass:
    case ftBandstop: {
      if (w2 < w1) std::swap(w1, w2);
      const Extended w0 = std::sqrt(w1 * w2);
      const Extended bw = Max(w2 - w1, minimum);
      const bool pass = FResponse == ftBandpass;
      for (int i = 0; i < n; ++i) {
        const TdspComplex p = FSPlane.Poles[i];
        // Low-pass to band-pass maps s to (s^2 + w0^2) / (bw s), low-pass to
        // band-stop maps s to bw s / (s^2 + w0^2); both leave a quadratic
        // per prototype pole with roots hba (1 +- t).
        const TdspComplex hba = pass ? CScale(p, bw * 0.5L) : CDiv(Complex(bw * 0.5L, 0), p);
        const TdspComplex t = CSqrt(CSub(Complex(1, 0), CSqr(CDiv(Complex(w0, 0), hba))));
        FSPlane.Poles[i] = CMul(hba, CAdd(Complex(1, 0), t));
        FSPlane.Poles[n + i] = CMul(hba, CSub(Complex(1, 0), t));
      }
      if (pass) {
        for (int i = 0; i < n; ++i)
          FSPlane.Zeros[i] = Complex(0, 0);
        FSPlane.NumZeros = n;
      } else {
        for (int i = 0; i < n; ++i) {
          FSPlane.Zeros[i] = Complex(0, w0);
          FSPlane.Zeros[n + i] = Complex(0, -w0);
        }
        FSPlane.NumZeros = 2 * n;
      }
      FSPlane.NumPoles = 2 * n;
      break;
    }
  }

  // z-plane, zeros padded at Nyquist up to the pole count.
  FZPlane.NumPoles = FSPlane.NumPoles;
  FZPlane.NumZeros = FSPlane.NumZeros;
  for (int i = 0; i < FZPlane.NumPoles; ++i)
    FZPlane.Poles[i] = Bilinear(FSPlane.Poles[i]);
  for (int i = 0; i < FZPlane.NumZeros; ++i)
    FZPlane.Zeros[i] = Bilinear(FSPlane.Zeros[i]);
  while (FZPlane.NumZeros < FZPlane.NumPoles)
    FZPlane.Zeros[FZPlane.NumZeros++] = Complex(-1, 0);

  FTapCount = FSPlane.NumPoles;
  const int taps = FTapCount;

  TdspComplexArray numerator{};
  TdspComplexArray denominator{};
  const auto expand = [&](const TdspComplexArray& roots, TdspComplexArray& c) {
    std::string message = ExpandPolynomial(roots, taps, c);
    if (!message.empty()) {
      FLastError = std::move(message);
      failed = true;
    }
  };
  expand(FZPlane.Zeros, numerator);
  expand(FZPlane.Poles, denominator);

  const auto response = [&](const TdspComplex& z) {
    return CDiv(EvaluatePolynomial(numerator, FZPlane.NumZeros, z),
                EvaluatePolynomial(denominator, FZPlane.NumPoles, z));
  };
  const TdspComplex dc = response(Complex(1, 0));
  const TdspComplex fc = response(CExpJ(kPi * (alpha1 + alpha2)));
  const TdspComplex hf = response(Complex(-1, 0));

  const Extended d = denominator[taps].Re;
  for (int i = 0; i < taps; ++i) {
    FXCoeffs[i] = numerator[i].Re / d;
    FYCoeffs[i] = -denominator[i].Re / d;
  }

  TdspComplex gain;
  switch (FResponse) {
    case ftLowpass:
      gain = dc;
      break;
    case ftHighpass:
      gain = hf;
      break;
    case ftBandpass:
      gain = fc;
      break;
    case ftBandstop:
      gain = CSqrt(CMul(dc, hf));
      break;
  }
  FInputScale = 1 / CAbs(gain);

  FFunction = sfFilterSample;
  if (alpha1 == alpha2) {
    if (FResponse == ftBandpass) FFunction = sfZeroSample;
    if (FResponse == ftBandstop) FFunction = sfPassSample;
  }

  // Poles close together come out of the one expanded polynomial with
  // rounded coefficients whose roots may lie on or outside the unit circle
  // although every designed pole lies inside. Such a recurrence diverges;
  // it is a failed design like the others. PassSample and ZeroSample never
  // run the recurrence.
  if (FFunction == sfFilterSample &&
      !DenominatorIsStable(FYCoeffs, taps,
                           std::span<const TdspComplex>(FZPlane.Poles.data(), taps))) {
    FLastError = kUnstableText;
    failed = true;
  }
  if (failed) ReportFailure();
}

void TdspCustomIIRFilter::ReportFailure() const {
  // The first line is enough for the operator; LastError keeps the rest.
  const std::string_view text(FLastError);
  const std::size_t end = text.find_first_of("\r\n");
  core::PostStatus(core::ssFilter, core::svError, 0,
                   end == std::string_view::npos ? text : text.substr(0, end));
}

void TdspCustomIIRFilter::Publish(bool ResetHistories) {
  const core::TThreadRole::TScope role(FSettingsRole);
  if (ResetHistories) ++FResetSeq;
  TDesign& d = FSlots[FBack];
  d.XCoeffs = FXCoeffs;
  d.YCoeffs = FYCoeffs;
  d.InputScale = FInputScale;
  d.TapCount = FTapCount;
  d.Function = FFunction;
  d.ResetSeq = FResetSeq;
  // Release the slot's contents; take back the one the audio side left.
  FBack = FMiddle.exchange(FBack | kFreshBit, std::memory_order_acq_rel) & 3;
}

// ---- audio side -----------------------------------------------------------

void TdspCustomIIRFilter::TakeNewDesign() {
  FFront = FMiddle.exchange(FFront, std::memory_order_acq_rel) & 3;
  // A longer design may reach entries an earlier one left behind.
  FZeroRun = 0;
  const TDesign& d = FSlots[FFront];
  if (d.ResetSeq != FAppliedResetSeq) {
    FAppliedResetSeq = d.ResetSeq;
    FXHistory.fill(0);
    FYHistory.fill(0);
  }
}

Extended TdspCustomIIRFilter::Filter(const TDesign& D, Extended Input) {
  // The history shift and the accumulation share one pass: entry i after
  // the shift is entry i + 1 before it, so the sums are formed in the same
  // order as shifting first would give. The shift moves the entries as raw
  // bytes, which is much cheaper than storing them back from the x87 stack.
  const int n = D.TapCount;
  const Extended scaled = ((Input + DenormalGuard) - DenormalGuard) * D.InputScale;
  Extended acc = scaled;
  for (int i = 0; i < n; ++i) {
    const Extended x = FXHistory[i + 1];
    const Extended y = FYHistory[i + 1];
    std::memcpy(&FXHistory[i], &FXHistory[i + 1], sizeof(Extended));
    std::memcpy(&FYHistory[i], &FYHistory[i + 1], sizeof(Extended));
    acc = ((x * D.XCoeffs[i] + acc) + y * D.YCoeffs[i]) + DenormalGuard - DenormalGuard;
  }
  const Extended previous = FYHistory[n];
  FXHistory[n] = scaled;
  FYHistory[n] = acc;
  // Same value and sign: the 80-bit patterns are equal.
  if (scaled == 0 && acc == previous && std::signbit(acc) == std::signbit(previous)) {
    if (FZeroRun <= n + 1) ++FZeroRun;
  } else {
    FZeroRun = 0;
  }
  return acc;
}

bool TdspCustomIIRFilter::AtRest(Extended& Output) {
  const core::TThreadRole::TScope role(FAudioRole);
  const TDesign& d = AcquireDesign();
  // The other functions keep no state but are rare enough not to be worth
  // a shortcut.
  if (d.Function != sfFilterSample || FZeroRun <= d.TapCount + 1) return false;
  Output = FYHistory[d.TapCount];
  return true;
}

Extended TdspCustomIIRFilter::ProcessSample(Extended Input) {
  const core::TThreadRole::TScope role(FAudioRole);
  const TDesign& d = AcquireDesign();
  switch (d.Function) {
    case sfFilterSample:
      return Filter(d, Input);
    case sfZeroSample:
      return ZeroSample(Input);
    case sfPassSample:
      break;
  }
  return PassSample(Input);
}

Extended TdspCustomIIRFilter::FilterSample(Extended Input) {
  const core::TThreadRole::TScope role(FAudioRole);
  return Filter(AcquireDesign(), Input);
}

const TdspExtendedArray& TdspCustomIIRFilter::XHistory() {
  const core::TThreadRole::TScope role(FAudioRole);
  AcquireDesign();
  return FXHistory;
}

const TdspExtendedArray& TdspCustomIIRFilter::YHistory() {
  const core::TThreadRole::TScope role(FAudioRole);
  AcquireDesign();
  return FYHistory;
}

}  // namespace dsp
