#include "dsp/dspcomplex.h"

#include <cmath>

namespace dsp {

TdspComplex Complex(Extended r1, Extended r2) {
  return {r1, r2};
}

TdspComplex CAdd(const TdspComplex& a, const TdspComplex& b) {
  return {a.Re + b.Re, a.Im + b.Im};
}

TdspComplex CSub(const TdspComplex& a, const TdspComplex& b) {
  return {a.Re - b.Re, a.Im - b.Im};
}

TdspComplex CMul(const TdspComplex& a, const TdspComplex& b) {
  return {a.Re * b.Re - a.Im * b.Im, a.Re * b.Im + a.Im * b.Re};
}

TdspComplex CDiv(const TdspComplex& a, const TdspComplex& b) {
  const Extended d = b.Re * b.Re + b.Im * b.Im;
  return {(a.Re * b.Re + a.Im * b.Im) / d, (a.Im * b.Re - a.Re * b.Im) / d};
}

TdspComplex CScale(const TdspComplex& a, Extended r) {
  return {a.Re * r, a.Im * r};
}

TdspComplex CNeg(const TdspComplex& a) {
  return {-a.Re, -a.Im};
}

TdspComplex CConj(const TdspComplex& a) {
  return {a.Re, -a.Im};
}

TdspComplex CSqr(const TdspComplex& a) {
  return CMul(a, a);
}

Extended CAbs(const TdspComplex& a) {
  const Extended p = std::fabs(a.Re);
  const Extended q = std::fabs(a.Im);
  const Extended big = p > q ? p : q;
  const Extended small = p > q ? q : p;
  if (small == 0) return big;
  const Extended ratio = small / big;
  return big * std::sqrt(1.0L + ratio * ratio);
}

TdspComplex CExpJ(Extended t) {
  return {std::cos(t), std::sin(t)};
}

TdspComplex CSqrt(const TdspComplex& a) {
  const Extended m = CAbs(a);
  TdspComplex r{SafeSqrt(0.5L * (m + a.Re)), SafeSqrt(0.5L * (m - a.Re))};
  if (a.Im < 0) r.Im = -r.Im;
  return r;
}

Extended SafeSqrt(Extended r) {
  return r >= 0 ? std::sqrt(r) : 0.0L;
}

}  // namespace dsp
