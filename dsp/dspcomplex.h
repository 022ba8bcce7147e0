#pragma once
// Complex arithmetic of the filter design, all in 80-bit extended precision.
#include "core/Types.h"

namespace dsp {

using core::Extended;

struct TdspComplex {
  Extended Re = 0;
  Extended Im = 0;
};

TdspComplex Complex(Extended r1, Extended r2);
TdspComplex CAdd(const TdspComplex& a, const TdspComplex& b);
TdspComplex CSub(const TdspComplex& a, const TdspComplex& b);
TdspComplex CMul(const TdspComplex& a, const TdspComplex& b);
// The textbook quotient: no scaling and no test for a zero divisor.
TdspComplex CDiv(const TdspComplex& a, const TdspComplex& b);
TdspComplex CScale(const TdspComplex& a, Extended r);
TdspComplex CNeg(const TdspComplex& a);
TdspComplex CConj(const TdspComplex& a);
TdspComplex CSqr(const TdspComplex& a);
// Magnitude as a hypotenuse, without intermediate overflow.
Extended CAbs(const TdspComplex& a);
TdspComplex CExpJ(Extended t);
// Principal root; a zero imaginary part of either sign counts as positive.
TdspComplex CSqrt(const TdspComplex& a);
// Square root that answers 0 for the small negative arguments rounding leaves.
Extended SafeSqrt(Extended r);

}  // namespace dsp
