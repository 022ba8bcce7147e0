#pragma once
// IIR filter design (Butterworth, Chebyshev, Bessel prototypes; low-pass,
// high-pass, band-pass, band-stop; orders 1..8) by the bilinear transform,
// and the component that runs the design as one direct-form recurrence per
// sample.
#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "core/Component.h"
#include "core/ThreadRole.h"
#include "core/Types.h"
#include "dsp/dspcomplex.h"

namespace dsp {

using core::Extended;

enum TdspIIRFilterKind : std::uint8_t { fkButterworth = 0, fkChebyshev = 1, fkBessel = 2 };
enum TdspIIRFilterResponse : std::uint8_t {
  ftLowpass = 0,
  ftHighpass = 1,
  ftBandpass = 2,
  ftBandstop = 3
};
// Prototype order, 1..8.
using TdspIIRFilterOrder = int;

// Which per-sample function ProcessSample runs.
enum TdspSampleFunction : std::uint8_t { sfPassSample = 0, sfFilterSample = 1, sfZeroSample = 2 };

inline constexpr int MaxPZ = 32;
// Realness tolerance of polynomial coefficients, lower bound of the Chebyshev
// epsilon and of every corner frequency a setter stores.
inline constexpr Extended Epsilon = 1e-10L;

using TdspComplexArray = std::array<TdspComplex, MaxPZ + 1>;
using TdspExtendedArray = std::array<Extended, MaxPZ + 1>;

struct TdspPoleZeroSet {
  TdspComplexArray Poles{};
  TdspComplexArray Zeros{};
  std::int32_t NumPoles = 0;
  std::int32_t NumZeros = 0;
};

// Left-half-plane Bessel poles of orders 1..8 (3 dB at 1 rad/s); per order
// the real pole first (odd orders), then one member of each conjugate pair.
extern const std::array<TdspComplex, 20> BesselPoles;

// LastError of a design whose recurrence would diverge.
extern const char* const kUnstableText;

// Design steps, free so that each can be checked on its own.
// Appends z to the set's poles when it lies in the left half-plane.
void ChoosePole(TdspPoleZeroSet& Set, const TdspComplex& z);
TdspComplex Bilinear(const TdspComplex& s);
// c[0..n] = coefficients of the product of (z - roots[i]), i < n. Returns one
// "not real" line per coefficient whose imaginary part exceeds Epsilon.
std::string ExpandPolynomial(const TdspComplexArray& Roots, int n, TdspComplexArray& c);
TdspComplex EvaluatePolynomial(const TdspComplexArray& c, int n, const TdspComplex& z);
// Whether every root of z^n - sum Y[i] z^i (i < n), the recurrence's own
// denominator, lies strictly inside the unit circle with a margin that the
// recurrence's rounding cannot cross, judged in the coefficients' own
// precision. Probes are points near the roots (the designed poles), where
// the margin is thinnest.
bool DenominatorIsStable(const TdspExtendedArray& YCoeffs, int n,
                         std::span<const TdspComplex> Probes = {});

// Holds every field and all behaviour. The setters and getters of the stored
// properties are published by TdspIIRFilter.
//
// Threads: the settings, the design and every accessor belong to one thread
// (the user interface). ProcessSample and the three sample functions belong to
// one other thread at a time (the audio thread). Each design is built on the
// settings side and handed over through a lock-free triple buffer, so the
// audio side never waits or allocates and every call sees one complete
// design; a history reset travels with the design that asks for it.
class TdspCustomIIRFilter : public core::TComponent {
 public:
  explicit TdspCustomIIRFilter(core::TComponent* AOwner = nullptr);

  // Audio side: runs the function installed by the newest design.
  Extended ProcessSample(Extended Input);
  Extended FilterSample(Extended Input);
  Extended PassSample(Extended Input) { return Input; }
  Extended ZeroSample(Extended) { return 0; }
  // Audio side: true when the installed recurrence has settled on a fixed
  // point under zero input: ProcessSample(0) would return Output again and
  // leave every history entry as it is, so a caller feeding silence may skip
  // that call. It takes a design handed over first, as ProcessSample would,
  // and a new design has not settled. (The denormal guard's rounding holds a decay a few dozen of
  // its steps above zero, about 1.8e-38 for the keyer's filter, rather
  // than letting it reach zero.)
  bool AtRest(Extended& Output);

  // Audio-side histories (scaled inputs and outputs, entry TapCount newest).
  // Read them only on the filtering thread or while no thread filters.
  const TdspExtendedArray& XHistory();
  const TdspExtendedArray& YHistory();

  void DesignFilter();
  void ResetHistory();

  // Design state as of the newest design.
  const std::string& LastError() const { return FLastError; }
  const TdspExtendedArray& XCoeffs() const { return FXCoeffs; }
  const TdspExtendedArray& YCoeffs() const { return FYCoeffs; }
  std::int32_t TapCount() const { return FTapCount; }
  Extended InputScale() const { return FInputScale; }
  const TdspPoleZeroSet& SPlane() const { return FSPlane; }
  const TdspPoleZeroSet& ZPlane() const { return FZPlane; }
  TdspSampleFunction InstalledFunction() const { return FFunction; }

  Extended GetFrequency(int Index) const;
  void SetFrequency(int Index, Extended Value);

 protected:
  void Loaded() override;

  TdspIIRFilterKind Kind() const { return FKind; }
  void SetKind(TdspIIRFilterKind Value);
  TdspIIRFilterResponse Response() const { return FResponse; }
  void SetResponse(TdspIIRFilterResponse Value);
  TdspIIRFilterOrder Order() const { return FOrder; }
  void SetOrder(TdspIIRFilterOrder Value);
  Extended Frequency1() const { return GetFrequency(1); }
  void SetFrequency1(Extended Value) { SetFrequency(1, Value); }
  Extended Frequency2() const { return GetFrequency(2); }
  void SetFrequency2(Extended Value) { SetFrequency(2, Value); }
  Extended SampleRate() const { return FSampleRate; }
  void SetSampleRate(Extended Value);
  Extended Ripple() const { return FRipple; }
  void SetRipple(Extended Value);
  bool ManualReset() const { return FManualReset; }
  void SetManualReset(bool Value) { FManualReset = Value; }

 private:
  // Everything the audio side reads for one design.
  struct TDesign {
    TdspExtendedArray XCoeffs{};
    TdspExtendedArray YCoeffs{};
    Extended InputScale = 1;
    std::int32_t TapCount = 1;
    TdspSampleFunction Function = sfPassSample;
    // Histories are cleared when a design with a new sequence number arrives.
    std::uint32_t ResetSeq = 0;
  };

  void Design();
  // Puts the design error just recorded in LastError on the status channel.
  void ReportFailure() const;
  // Hands the current design, and a history reset if asked, to the audio side.
  void Publish(bool ResetHistories);
  const TDesign& AcquireDesign() {
    if (FMiddle.load(std::memory_order_relaxed) & kFreshBit) TakeNewDesign();
    return FSlots[FFront];
  }
  [[gnu::noinline]] void TakeNewDesign();
  // Defined, and used, in the implementation file only.
  [[gnu::always_inline]] inline Extended Filter(const TDesign& D, Extended Input);

  TdspIIRFilterKind FKind = fkButterworth;
  TdspIIRFilterResponse FResponse = ftLowpass;
  TdspIIRFilterOrder FOrder = 1;
  Extended FFrequency1 = 300;
  Extended FFrequency2 = 3000;
  Extended FSampleRate = 44100;
  Extended FRipple = 0.1L;
  Extended FInputScale = 1;
  std::string FLastError;
  bool FManualReset = false;
  TdspPoleZeroSet FSPlane;
  TdspPoleZeroSet FZPlane;
  TdspExtendedArray FXCoeffs{};
  TdspExtendedArray FYCoeffs{};
  std::int32_t FTapCount = 1;
  TdspSampleFunction FFunction = sfPassSample;
  std::uint32_t FResetSeq = 0;

  // Triple buffer: the settings side owns FSlots[FBack], the audio side
  // FSlots[FFront]; FMiddle holds the third index plus kFreshBit while it
  // carries a design the audio side has not taken yet.
  static constexpr std::uint8_t kFreshBit = 4;
  std::array<TDesign, 3> FSlots{};
  std::uint8_t FBack = 2;
  std::atomic<std::uint8_t> FMiddle{1};
  std::uint8_t FFront = 0;
  // Debug builds stop the program when two threads act as one side at once.
  core::TThreadRole FSettingsRole{"filter design hand-off, settings side"};
  core::TThreadRole FAudioRole{"filter design hand-off, audio side"};
  // Audio-side state.
  std::uint32_t FAppliedResetSeq = 0;
  // Samples in a row with a zero scaled input and the same output as the
  // one before. Past TapCount the histories hold zeros and that output
  // only; one more, and that state is known to map onto itself.
  std::int32_t FZeroRun = 0;
  TdspExtendedArray FXHistory{};
  TdspExtendedArray FYHistory{};
};

class TdspIIRFilter : public TdspCustomIIRFilter {
 public:
  using TdspCustomIIRFilter::TdspCustomIIRFilter;

  using TdspCustomIIRFilter::Frequency1;
  using TdspCustomIIRFilter::Frequency2;
  using TdspCustomIIRFilter::Kind;
  using TdspCustomIIRFilter::ManualReset;
  using TdspCustomIIRFilter::Order;
  using TdspCustomIIRFilter::Response;
  using TdspCustomIIRFilter::Ripple;
  using TdspCustomIIRFilter::SampleRate;
  using TdspCustomIIRFilter::SetFrequency1;
  using TdspCustomIIRFilter::SetFrequency2;
  using TdspCustomIIRFilter::SetKind;
  using TdspCustomIIRFilter::SetManualReset;
  using TdspCustomIIRFilter::SetOrder;
  using TdspCustomIIRFilter::SetResponse;
  using TdspCustomIIRFilter::SetRipple;
  using TdspCustomIIRFilter::SetSampleRate;
};

}  // namespace dsp
