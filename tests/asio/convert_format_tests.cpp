// Byte images, round trips and edge values of the plain family.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "convert_support.h"

using namespace convert_test;

namespace {

std::vector<uint8_t> Write(ASIOSampleType T, const std::vector<float>& X) {
  std::vector<uint8_t> Out(X.size() * SampleTypeSize(T));
  SampleWriterFor(T)(X.data(), Out.data(), static_cast<int32_t>(X.size()));
  return Out;
}

std::vector<float> Read(ASIOSampleType T, std::vector<uint8_t> Bytes) {
  std::vector<float> Out(Bytes.size() / SampleTypeSize(T));
  SampleReaderFor(T)(Bytes.data(), Out.data(), static_cast<int32_t>(Out.size()));
  return Out;
}

// Little-endian image of V in Size bytes, reversed for a big-endian code.
std::vector<uint8_t> Image(ASIOSampleType T, int64_t V) {
  std::vector<uint8_t> B(SampleTypeSize(T));
  for (size_t I = 0; I < B.size(); ++I)
    B[I] = static_cast<uint8_t>(V >> (8 * I));
  if (IsMSB(T)) std::reverse(B.begin(), B.end());
  return B;
}

std::vector<uint8_t> FloatImage(ASIOSampleType T, float X) {
  std::vector<uint8_t> B(SampleTypeSize(T));
  if (LsbTwin(T) == ASIOSTFloat32LSB) {
    std::memcpy(B.data(), &X, 4);
  } else {
    const double D = X;
    std::memcpy(B.data(), &D, 8);
  }
  if (IsMSB(T)) std::reverse(B.begin(), B.end());
  return B;
}

class PlainFamily : public ::testing::Test {
 protected:
  void SetUp() override { UsePlainRoutines(); }
  TableGuard Guard;
};

}  // namespace

TEST(ConvertLookup, ExactlyTheEighteenCodesHaveRoutines) {
  std::vector<bool> SlotUsed(kSupportedSampleTypes, false);
  for (ASIOSampleType T = -40; T < 80; ++T) {
    const bool Supported =
        std::find(std::begin(kAllCodes), std::end(kAllCodes), T) != std::end(kAllCodes);
    const int Slot = SampleTypeSlot(T);
    SCOPED_TRACE(T);
    if (!Supported) {
      EXPECT_EQ(Slot, -1);
      EXPECT_EQ(SampleTypeSize(T), 0);
      EXPECT_EQ(SampleReaderFor(T), nullptr);
      EXPECT_EQ(SampleWriterFor(T), nullptr);
      continue;
    }
    ASSERT_GE(Slot, 0);
    ASSERT_LT(Slot, kSupportedSampleTypes);
    EXPECT_FALSE(SlotUsed[Slot]);
    SlotUsed[Slot] = true;
    EXPECT_NE(SampleReaderFor(T), nullptr);
    EXPECT_NE(SampleWriterFor(T), nullptr);
  }
  EXPECT_EQ(SampleTypeSlot(std::numeric_limits<int32_t>::min()), -1);
  EXPECT_EQ(SampleTypeSlot(std::numeric_limits<int32_t>::max()), -1);
  EXPECT_EQ(SampleTypeSize(ASIOSTInt24MSB), 3);
  EXPECT_EQ(SampleTypeSize(ASIOSTFloat64LSB), 8);
  EXPECT_EQ(SampleTypeSize(ASIOSTInt16MSB), 2);
  EXPECT_EQ(SampleTypeSize(ASIOSTInt32LSB20), 4);
}

TEST_F(PlainFamily, WritersProduceTheExpectedImagesInBothByteOrders) {
  struct Case {
    float X;
    int64_t V16, V18, V20, V24, V32;
  };
  // round(x * F) to even: 0.5 * F is a tie that goes to the even 2^(b-2).
  const Case Cases[] = {
      {1.0f, 32767, 131071, 524287, 8388607, 2147483647},
      {-1.0f, -32767, -131071, -524287, -8388607, -2147483647},
      {0.5f, 16384, 65536, 262144, 4194304, 1073741824},
      {-0.5f, -16384, -65536, -262144, -4194304, -1073741824},
      {0.75f, 24575, 98303, 393215, 6291455, 1610612735},
      {-0.25f, -8192, -32768, -131072, -2097152, -536870912},
      {0.0f, 0, 0, 0, 0, 0},
  };
  for (const Case& C : Cases) {
    for (ASIOSampleType T : kAllCodes) {
      SCOPED_TRACE(::testing::Message() << "code " << T << " x " << C.X);
      const double F = FullScale(T);
      const int64_t V = F == 32767.0     ? C.V16
                        : F == 131071.0  ? C.V18
                        : F == 524287.0  ? C.V20
                        : F == 8388607.0 ? C.V24
                                         : C.V32;
      EXPECT_EQ(Write(T, {C.X}), IsFloat(T) ? FloatImage(T, C.X) : Image(T, V));
    }
  }
  // Odd values, against the exact product rounded by the x87 unit.
  for (float X : {0.1f, -0.3f, 0.123456789f, -0.999999f, 1e-6f, 0.33333334f}) {
    for (ASIOSampleType T : kAllCodes) {
      if (IsFloat(T)) continue;
      const int64_t V = std::llrint(static_cast<long double>(X) * FullScale(T));
      EXPECT_EQ(Write(T, {X}), Image(T, V)) << "code " << T << " x " << X;
    }
  }
  using B = std::vector<uint8_t>;
  EXPECT_EQ(Write(ASIOSTInt16LSB, {1.0f}), (B{0xFF, 0x7F}));
  EXPECT_EQ(Write(ASIOSTInt16MSB, {1.0f}), (B{0x7F, 0xFF}));
  EXPECT_EQ(Write(ASIOSTInt24LSB, {-1.0f}), (B{0x01, 0x00, 0x80}));
  EXPECT_EQ(Write(ASIOSTFloat32MSB, {1.0f}), (B{0x3F, 0x80, 0x00, 0x00}));
  // The packed 24-bit writer keeps only the low three bytes.
  EXPECT_EQ(Write(ASIOSTInt24LSB, {1.5f}), (B{0xFE, 0xFF, 0xBF}));
  EXPECT_LT(Read(ASIOSTInt24LSB, {0xFE, 0xFF, 0xBF})[0], 0.0f);
  EXPECT_EQ(Write(ASIOSTInt24LSB, {-1.5f}), (B{0x02, 0x00, 0x40}));
}

TEST_F(PlainFamily, ReadersScaleByTheFullScaleReciprocal) {
  EXPECT_EQ(Read(ASIOSTInt16LSB, {0xFF, 0x7F})[0], 1.0f);
  EXPECT_EQ(Read(ASIOSTInt16LSB, {0x00, 0x80})[0], -1.000030517578125f);
  EXPECT_EQ(Read(ASIOSTInt16MSB, {0x80, 0x00})[0], -1.000030517578125f);
  EXPECT_EQ(Read(ASIOSTInt24LSB, {0x01, 0x00, 0x80})[0], -1.0f);
  EXPECT_EQ(Read(ASIOSTInt24LSB, {0xFF, 0xFF, 0xFF})[0], static_cast<float>(-1.0 / 8388607.0));
  EXPECT_EQ(Read(ASIOSTInt24MSB, {0x7F, 0xFF, 0xFF})[0], 1.0f);
  EXPECT_EQ(Read(ASIOSTInt32LSB, Image(ASIOSTInt32LSB, 2147483647))[0], 1.0f);
  EXPECT_EQ(Read(ASIOSTInt32MSB, Image(ASIOSTInt32MSB, -1))[0],
            static_cast<float>(-4.656612875245797e-10));
  // Containers are not masked to their nominal width.
  EXPECT_EQ(Read(ASIOSTInt32LSB16, Image(ASIOSTInt32LSB16, 40000))[0],
            static_cast<float>(40000 * 3.0518509447574615e-05));
  EXPECT_GT(Read(ASIOSTInt32LSB16, Image(ASIOSTInt32LSB16, 40000))[0], 1.2f);
  EXPECT_EQ(Read(ASIOSTInt32LSB18, Image(ASIOSTInt32LSB18, -131071))[0], -1.0f);
  EXPECT_EQ(Read(ASIOSTInt32LSB20, Image(ASIOSTInt32LSB20, 1))[0],
            static_cast<float>(1.907352270798246e-06));
  EXPECT_EQ(Read(ASIOSTInt32MSB24, Image(ASIOSTInt32MSB24, 8388607))[0], 1.0f);
  // Doubles round to the nearest single; beyond its range they overflow.
  EXPECT_EQ(Read(ASIOSTFloat64LSB, FloatImage(ASIOSTFloat64LSB, 0.1f))[0], 0.1f);
  std::vector<uint8_t> Big(8);
  const double Huge = 1e300;
  std::memcpy(Big.data(), &Huge, 8);
  EXPECT_EQ(Read(ASIOSTFloat64LSB, Big)[0], std::numeric_limits<float>::infinity());
}

TEST_F(PlainFamily, EveryCodeRoundTripsWithinOneStep) {
  std::mt19937 Rng(7);
  std::uniform_real_distribution<float> U(-1.0f, 1.0f);
  std::vector<float> X = {1.0f, -1.0f, 0.5f, -0.5f, 0.0f, -0.0f, 1e-9f};
  while (X.size() < 2000)
    X.push_back(U(Rng));
  for (ASIOSampleType T : kAllCodes) {
    const std::vector<float> Y = Read(T, Write(T, X));
    const double Step = IsFloat(T) ? 0.0 : 1.0 / FullScale(T);
    for (size_t I = 0; I < X.size(); ++I) {
      ASSERT_LE(std::fabs(static_cast<double>(Y[I]) - X[I]), Step) << "code " << T << " x " << X[I];
    }
  }
}

TEST_F(PlainFamily, BigEndianReadersLeaveTheBufferLittleEndian) {
  const std::vector<float> X = {0.25f, -0.7f, 1.0f, 0.001f, -1.0f};
  for (ASIOSampleType T : kAllCodes) {
    if (!IsMSB(T)) continue;
    std::vector<uint8_t> Buffer = Write(T, X);
    SampleReaderFor(T)(Buffer.data(), std::vector<float>(X.size()).data(), 5);
    EXPECT_EQ(Buffer, Write(LsbTwin(T), X)) << "code " << T;
  }
}

TEST_F(PlainFamily, Float32CopiesEveryByteBothWays) {
  std::vector<uint8_t> Bytes(1024);
  for (size_t I = 0; I < Bytes.size(); ++I)
    Bytes[I] = static_cast<uint8_t>(I * 37 + 11);
  std::vector<float> Floats(256);
  SampleReaderFor(ASIOSTFloat32LSB)(Bytes.data(), Floats.data(), 256);
  EXPECT_EQ(std::memcmp(Floats.data(), Bytes.data(), 1024), 0);
  std::vector<uint8_t> Back(1024);
  SampleWriterFor(ASIOSTFloat32LSB)(Floats.data(), Back.data(), 256);
  EXPECT_EQ(Back, Bytes);
}

// The 32-bit product needs up to 55 bits; a plain double product would
// misround samples whose exact fraction lies just beside one half.
TEST_F(PlainFamily, Int32WriterRoundsTheExactProduct) {
  std::vector<float> X;
  for (int M = -3000; M <= 3000; ++M) {
    X.push_back(std::ldexp(static_cast<float>((1 << 23) + M), -24));
    X.push_back(std::ldexp(static_cast<float>((1 << 24) - 3000 + (M + 3000) / 2), -24));
    X.push_back(-std::ldexp(static_cast<float>((1 << 23) + M), -25));
  }
  std::mt19937 Rng(11);
  std::uniform_real_distribution<float> U(-1.0f, 1.0f);
  for (int I = 0; I < 20000; ++I)
    X.push_back(U(Rng));
  std::vector<int32_t> Out(X.size());
  SampleWriterFor(ASIOSTInt32LSB)(X.data(), Out.data(), static_cast<int32_t>(X.size()));
  int Mismatches = 0;
  for (size_t I = 0; I < X.size(); ++I) {
    const long long Want = std::llrint(static_cast<long double>(X[I]) * 2147483647.0L);
    if (Out[I] != Want && ++Mismatches < 5) ADD_FAILURE() << "x " << X[I] << " got " << Out[I];
  }
  EXPECT_EQ(Mismatches, 0);
}

TEST_F(PlainFamily, WritersSaturateOutOfRangeAndSilenceNaN) {
  const float Inf = std::numeric_limits<float>::infinity();
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> X = {2.0f, -2.0f, Inf, -Inf, NaN, 1e10f};
  const auto Ints = [&](ASIOSampleType T) {
    std::vector<int64_t> V;
    const std::vector<uint8_t> B = Write(T, X);
    for (size_t I = 0; I < X.size(); ++I) {
      int64_t S = 0;
      std::memcpy(&S, B.data() + I * SampleTypeSize(T), SampleTypeSize(T));
      V.push_back(SampleTypeSize(T) == 2 ? int16_t(S) : int32_t(S));
    }
    return V;
  };
  const int64_t Max = 2147483647, Min = -2147483648LL;
  EXPECT_EQ(Ints(ASIOSTInt16LSB), (std::vector<int64_t>{32767, -32768, 32767, -32768, 0, 32767}));
  EXPECT_EQ(Ints(ASIOSTInt32LSB), (std::vector<int64_t>{Max, Min, Max, Min, 0, Max}));
  // Containers keep values beyond their nominal width.
  EXPECT_EQ(Ints(ASIOSTInt32LSB16), (std::vector<int64_t>{65534, -65534, Max, Min, 0, Max}));
  EXPECT_EQ(Ints(ASIOSTInt32LSB24), (std::vector<int64_t>{16777214, -16777214, Max, Min, 0, Max}));
}

TEST_F(PlainFamily, HardClipLimitsByBitPattern) {
  const float Inf = std::numeric_limits<float>::infinity();
  std::vector<float> B = {
      1.5f, -3.0f, 1.0f, -0.0f, Inf, -Inf, 0.999f, -1.0f, -std::numeric_limits<float>::quiet_NaN()};
  Converters.HardClipBuffer(B.data(), static_cast<int32_t>(B.size()));
  const std::vector<float> Want = {1.0f, -1.0f, 1.0f, -0.0f, 1.0f, -1.0f, 0.999f, -1.0f, -1.0f};
  for (size_t I = 0; I < B.size(); ++I)
    EXPECT_EQ(Bits(B[I]), Bits(Want[I])) << I;
}

TEST_F(PlainFamily, SoftClipFollowsTheRationalCurve) {
  const float Inf = std::numeric_limits<float>::infinity();
  std::vector<float> B = {0.0f, 1.0f, -1.0f, 2.0f, 1.5f, 1e30f, Inf, -Inf};
  Converters.SoftClipBuffer(B.data(), static_cast<int32_t>(B.size()));
  EXPECT_EQ(B[0], 0.0f);
  EXPECT_EQ(B[1], 0.8f);
  EXPECT_EQ(B[2], -0.8f);
  EXPECT_EQ(B[3], 1.25f);
  EXPECT_GT(B[4], 1.0f);  // beyond about 1.372 the curve is above 1.0
  EXPECT_EQ(B[5], 2.0f);
  // Infinities go to the curve's limit instead of inf/inf = NaN.
  EXPECT_EQ(B[6], 2.0f);
  EXPECT_EQ(B[7], -2.0f);
}
