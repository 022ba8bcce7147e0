#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dsp/DDSPBase.h"
#include "dsp/dspcomplex.h"

namespace {

using core::Extended;
using namespace dsp;

void ExpectComplexEq(const TdspComplex& a, Extended re, Extended im) {
  EXPECT_EQ(a.Re, re);
  EXPECT_EQ(a.Im, im);
}

TEST(Complex, SquareRootOfNegativeRealLiesOnPositiveImaginaryAxis) {
  ExpectComplexEq(CSqrt(Complex(-4, 0)), 0, 2);
  // A negative zero imaginary part does not count as negative.
  const TdspComplex negZero = Complex(-4, -0.0L);
  ASSERT_TRUE(std::signbit(negZero.Im));
  ExpectComplexEq(CSqrt(negZero), 0, 2);
}

TEST(Complex, SquareRootFollowsSignOfImaginaryPart) {
  ExpectComplexEq(CSqrt(Complex(3, 4)), 2, 1);
  ExpectComplexEq(CSqrt(Complex(3, -4)), 2, -1);
  ExpectComplexEq(CSqrt(Complex(0, 0)), 0, 0);
  // The root squared gives the operand back for a point off the axes.
  const TdspComplex a = Complex(-1.5L, 0.25L);
  const TdspComplex back = CSqr(CSqrt(a));
  EXPECT_NEAR(static_cast<double>(back.Re), -1.5, 1e-18);
  EXPECT_NEAR(static_cast<double>(back.Im), 0.25, 1e-18);
}

TEST(Complex, DivisionAndMagnitude) {
  ExpectComplexEq(CDiv(Complex(1, 0), Complex(0, 1)), 0, -1);
  const TdspComplex q = CDiv(Complex(7, -3), Complex(2, 5));
  const TdspComplex p = CMul(q, Complex(2, 5));
  EXPECT_NEAR(static_cast<double>(p.Re), 7, 1e-17);
  EXPECT_NEAR(static_cast<double>(p.Im), -3, 1e-17);

  EXPECT_EQ(CAbs(Complex(3, 4)), 5);
  EXPECT_EQ(CAbs(Complex(0, -7)), 7);
  // Squares of these parts overflow the extended range; the hypotenuse does not.
  const Extended huge = std::numeric_limits<Extended>::max() / 4;
  EXPECT_EQ(CAbs(Complex(huge * 3 / 5, huge * 4 / 5)) / huge, 1);
}

TEST(Complex, SafeSqrtAndUnitPhasor) {
  EXPECT_EQ(SafeSqrt(-1e-30L), 0);
  EXPECT_EQ(SafeSqrt(2.25L), 1.5L);
  ExpectComplexEq(CExpJ(0), 1, 0);
}

TEST(SampleArrays, ResizeFillsWithZeros) {
  TSingleArray a;
  a.resize(256);
  ASSERT_EQ(a.size(), 256u);
  for (float v : a)
    EXPECT_EQ(v, 0.0f);
}

}  // namespace
