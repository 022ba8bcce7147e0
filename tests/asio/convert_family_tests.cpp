// Every family over awkward counts and misaligned buffers, and the rounding
// the SIMD families differ in.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "convert_support.h"

using namespace convert_test;

namespace {

constexpr int32_t kCounts[] = {0, 1, 3, 4, 15, 16, 17, 100, 4096};
constexpr Family kFamilies[] = {Family::Plain, Family::SSE, Family::ThreeDNow};

const char* Name(Family F) {
  return F == Family::Plain ? "plain" : F == Family::SSE ? "SSE" : "3DNow";
}

std::vector<float> Samples(int32_t Count, float Range = 1.0f) {
  std::mt19937 Rng(static_cast<unsigned>(Count) + 1);
  std::uniform_real_distribution<float> U(-Range, Range);
  std::vector<float> X(Count);
  for (float& V : X)
    V = U(Rng);
  if (Count > 0) X[0] = 1.0f;
  if (Count > 2) X[2] = -1.0f;
  return X;
}

// A sample of an integer image as a signed value.
int64_t SampleAt(ASIOSampleType T, const uint8_t* P, int32_t I) {
  const int Size = SampleTypeSize(T);
  uint8_t B[4] = {};
  std::memcpy(B, P + Size * I, Size);
  if (IsMSB(T)) std::reverse(B, B + Size);
  uint32_t U = B[0] | (B[1] << 8) | (B[2] << 16) | (uint32_t{B[3]} << 24);
  if (Size == 2) return static_cast<int16_t>(U);
  if (Size == 3) return static_cast<int32_t>(U << 8) >> 8;
  return static_cast<int32_t>(U);
}

bool NearFloat(float A, float B, float RelTol) {
  return std::fabs(A - B) <= RelTol * std::max(std::fabs(A), std::fabs(B)) + 1e-30f;
}

class Families : public ::testing::Test {
 protected:
  void SetUp() override {
    UsePlainRoutines();
    Plain = Converters;
  }
  TableGuard Guard;
  TConverterTable Plain{};
};

}  // namespace

TEST_F(Families, ConvertersTouchExactlyCountSamples) {
  for (Family F : kFamilies) {
    Select(F);
    const TConverterTable Table = Converters;
    for (ASIOSampleType T : kAllCodes) {
      const int Slot = SampleTypeSlot(T);
      const int Size = SampleTypeSize(T);
      const bool OwnWriter = Table.SampleWriters[Slot] != Plain.SampleWriters[Slot];
      const bool OwnReader = Table.SampleReaders[Slot] != Plain.SampleReaders[Slot];
      for (int32_t N : kCounts) {
        SCOPED_TRACE(::testing::Message() << Name(F) << " code " << T << " count " << N);
        const std::vector<float> X = Samples(N);
        std::vector<uint8_t> Want(static_cast<size_t>(N) * Size + 1);
        Plain.SampleWriters[Slot](X.data(), Want.data(), N);

        GuardedBytes Src(N * 4, 4), Dst(N * Size, N % 4);
        CopyBytes(Src.Data(), X.data(), N * 4);
        Table.SampleWriters[Slot](Src.Floats(), Dst.Data(), N);
        ASSERT_TRUE(Dst.GuardsIntact());
        ASSERT_TRUE(Src.GuardsIntact());
        ASSERT_TRUE(SameBytes(Src.Data(), X.data(), N * 4));
        for (int32_t I = 0; I < N; ++I) {
          if (IsFloat(T) || !OwnWriter) {
            ASSERT_EQ(std::memcmp(Dst.Data() + I * Size, Want.data() + I * Size, Size), 0) << I;
          } else {
            // Truncation of a slightly different product: at most 2 apart.
            ASSERT_LE(std::llabs(SampleAt(T, Dst.Data(), I) - SampleAt(T, Want.data(), I)), 2) << I;
          }
        }

        // Read the plain image back (readers may rewrite their source).
        std::vector<uint8_t> Image = Want;
        std::vector<float> WantBack(N + 1);
        Plain.SampleReaders[Slot](Image.data(), WantBack.data(), N);
        GuardedBytes In(N * Size, 3), Out(N * 4, 4);
        CopyBytes(In.Data(), Want.data(), N * Size);
        Table.SampleReaders[Slot](In.Data(), Out.Floats(), N);
        ASSERT_TRUE(In.GuardsIntact());
        ASSERT_TRUE(Out.GuardsIntact());
        for (int32_t I = 0; I < N; ++I) {
          const float Got = Out.Floats()[I];
          if (OwnReader) {
            ASSERT_TRUE(NearFloat(Got, WantBack[I], 3e-7f)) << I << " " << Got;
          } else {
            ASSERT_EQ(Bits(Got), Bits(WantBack[I])) << I;
          }
        }
      }
    }
  }
}

TEST_F(Families, BufferOperationsTouchExactlyCountSamples) {
  for (Family F : kFamilies) {
    Select(F);
    const TConverterTable Table = Converters;
    for (int32_t N : kCounts) {
      SCOPED_TRACE(::testing::Message() << Name(F) << " count " << N);
      const std::vector<float> X = Samples(N, 3.0f), Y = Samples(N + 5, 2.0f);
      const auto Run = [&](auto&& Op, auto&& Check) {
        GuardedBytes B(N * 4, 4);
        CopyBytes(B.Data(), X.data(), N * 4);
        Op(B.Floats());
        ASSERT_TRUE(B.GuardsIntact());
        for (int32_t I = 0; I < N; ++I)
          Check(I, B.Floats()[I]);
      };
      Run([&](float* B) { Table.HardClipBuffer(B, N); },
          [&](int32_t I, float V) {
            ASSERT_EQ(Bits(V), Bits(std::clamp(X[I], -1.0f, 1.0f))) << I;
          });
      Run([&](float* B) { Table.SoftClipBuffer(B, N); },
          [&](int32_t I, float V) {
            float Want = X[I];
            Plain.SoftClipBuffer(&Want, 1);
            ASSERT_TRUE(NearFloat(V, Want, 5e-7f)) << I;
          });
      Run([&](float* B) { Table.ScaleBuffer(B, N, 0.3f); },
          [&](int32_t I, float V) { ASSERT_EQ(V, X[I] * 0.3f) << I; });
      GuardedBytes S(N * 4, 8);
      CopyBytes(S.Data(), Y.data(), N * 4);
      Run([&](float* B) { Table.AddBuffer(S.Floats(), B, N); },
          [&](int32_t I, float V) { ASSERT_EQ(V, Y[I] + X[I]) << I; });
      ASSERT_TRUE(S.GuardsIntact());
    }
  }
}

TEST_F(Families, SimdInt32WritersTruncateAndSaturate) {
  const float Inf = std::numeric_limits<float>::infinity();
  const std::vector<float> X = {
      0.75f, 1.0f, -1.0f, -0.75f, 2.0f, -Inf, std::numeric_limits<float>::quiet_NaN(), 0.5f, -0.0f};
  const int32_t Max = std::numeric_limits<int32_t>::max(),
                Min = std::numeric_limits<int32_t>::min();
  const std::vector<int32_t> Want = {1610612736, Max, Min, -1610612736, Max, Min, 0, 1073741824, 0};
  // Twenty copies so both the blocks and the tail see every value; the
  // destination offsets cover the aligned, lead-in and unaligned store paths.
  std::vector<float> Many;
  for (int K = 0; K < 20; ++K)
    Many.insert(Many.end(), X.begin(), X.end());
  for (Family F : {Family::SSE, Family::ThreeDNow}) {
    Select(F);
    for (size_t Misalign : {0, 4, 8, 12, 1, 2}) {
      SCOPED_TRACE(::testing::Message() << Name(F) << " misalign " << Misalign);
      GuardedBytes D(Many.size() * 4, Misalign);
      SampleWriterFor(ASIOSTInt32LSB)(Many.data(), D.Data(), static_cast<int32_t>(Many.size()));
      ASSERT_TRUE(D.GuardsIntact());
      for (size_t I = 0; I < Many.size(); ++I) {
        ASSERT_EQ(SampleAt(ASIOSTInt32LSB, D.Data(), I), Want[I % X.size()]) << I;
      }
    }
  }
  UsePlainRoutines();
  std::vector<int32_t> P(3);
  SampleWriterFor(ASIOSTInt32LSB)(X.data(), P.data(), 3);
  EXPECT_EQ(P, (std::vector<int32_t>{1610612735, Max, -2147483647}));
}

TEST_F(Families, ThreeDNowContainersUseSinglePrecisionConstants) {
  Select(Family::ThreeDNow);
  const std::vector<float> X = {0.5f, 1.0f, -1.0f, 0.75f};
  std::vector<int32_t> Out(4);
  SampleWriterFor(ASIOSTInt32LSB16)(X.data(), Out.data(), 4);
  EXPECT_EQ(Out, (std::vector<int32_t>{16383, 32767, -32767, 24575}));
  SampleWriterFor(ASIOSTInt32LSB24)(X.data(), Out.data(), 4);
  EXPECT_EQ(Out, (std::vector<int32_t>{4194303, 8388607, -8388607, 6291455}));

  std::vector<int32_t> In = {40000, 2147483647, -2147483647 - 1, 131071};
  std::vector<float> Back(4);
  SampleReaderFor(ASIOSTInt32LSB16)(In.data(), Back.data(), 1);
  EXPECT_EQ(Back[0], 40000.0f * 3.0518509447574615e-05f);
  SampleReaderFor(ASIOSTInt32LSB)(In.data(), Back.data(), 3);
  EXPECT_EQ(Back[1], 1.0f);
  EXPECT_EQ(Back[2], -1.0f);
  SampleReaderFor(ASIOSTInt32LSB18)(In.data() + 3, Back.data(), 1);
  EXPECT_EQ(Back[0], 131071.0f * 7.629452738910913e-06f);
}

TEST_F(Families, SseSoftClipStaysFiniteForHugeSamples) {
  Select(Family::SSE);
  const float Inf = std::numeric_limits<float>::infinity();
  std::vector<float> B = {1e20f, -3e38f, Inf, -Inf, 1.0f, 2.0f, 0.0f, -1.0f, 1e20f};
  Converters.SoftClipBuffer(B.data(), static_cast<int32_t>(B.size()));
  const std::vector<float> Want = {2.0f, -2.0f, 2.0f, -2.0f, 0.8f, 1.25f, 0.0f, -0.8f, 2.0f};
  for (size_t I = 0; I < B.size(); ++I)
    EXPECT_TRUE(NearFloat(B[I], Want[I], 2e-7f)) << I;
}

// Every family's hard clip gives the plain result bit for bit, in its
// blocks of 16 and in the tail: NaNs of either sign and any payload become
// 1.0 with their own sign, like the infinities.
TEST_F(Families, HardClipAgreesWithPlainOnNaNAndInfinity) {
  const float Inf = std::numeric_limits<float>::infinity();
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  uint32_t PayloadBits = 0xFFC00123u;  // negative quiet NaN with a payload
  float NegPayload;
  std::memcpy(&NegPayload, &PayloadBits, 4);
  PayloadBits = 0x7F800001u;  // signalling NaN
  float Signalling;
  std::memcpy(&Signalling, &PayloadBits, 4);
  const std::vector<float> Odd = {NaN,  -NaN,  NegPayload, Signalling, Inf,   -Inf,
                                  1.5f, -3.0f, 1.0f,       -1.0f,      -0.0f, 0.25f};
  std::vector<float> X;
  for (int Round = 0; Round < 3; ++Round)  // 36 samples: two blocks and a tail
    X.insert(X.end(), Odd.begin(), Odd.end());
  std::vector<float> Want = X;
  Plain.HardClipBuffer(Want.data(), static_cast<int32_t>(Want.size()));
  for (size_t I = 0; I < Odd.size(); ++I)
    ASSERT_LE(std::fabs(Want[I]), 1.0f) << I;
  for (Family F : kFamilies) {
    Select(F);
    std::vector<float> B = X;
    Converters.HardClipBuffer(B.data(), static_cast<int32_t>(B.size()));
    for (size_t I = 0; I < B.size(); ++I)
      ASSERT_EQ(Bits(B[I]), Bits(Want[I])) << Name(F) << " sample " << I;
  }
}

// The plain routines run blocks of samples together and finish singly; both
// paths must agree on every input, out-of-range and non-finite ones too.
TEST_F(Families, PlainBlocksAgreeWithSingleSamples) {
  const float Inf = std::numeric_limits<float>::infinity();
  std::vector<float> X = {std::numeric_limits<float>::quiet_NaN(),
                          Inf,
                          -Inf,
                          2.0f,
                          -2.0f,
                          1e10f,
                          -1e10f,
                          1.0f,
                          -1.0f,
                          0.5f,
                          -0.5f,
                          -0.0f,
                          1.5f,
                          -1.5f,
                          1.0000001f,
                          std::ldexp(float((1 << 23) - 1), -24)};
  const std::vector<float> More = Samples(48, 1.1f);
  X.insert(X.end(), More.begin(), More.end());
  const int32_t N = static_cast<int32_t>(X.size());
  std::mt19937 Rng(3);
  for (ASIOSampleType T : kAllCodes) {
    SCOPED_TRACE(::testing::Message() << "code " << T);
    const int Size = SampleTypeSize(T);
    std::vector<uint8_t> Block(N * Size), Single(N * Size);
    SampleWriterFor(T)(X.data(), Block.data(), N);
    for (int32_t I = 0; I < N; ++I)
      SampleWriterFor(T)(&X[I], Single.data() + I * Size, 1);
    EXPECT_EQ(Block, Single);

    std::vector<uint8_t> Image(N * Size);
    for (uint8_t& B : Image)
      B = static_cast<uint8_t>(Rng());
    std::vector<uint8_t> BlockIn = Image, SingleIn = Image;
    std::vector<float> BlockOut(N), SingleOut(N);
    SampleReaderFor(T)(BlockIn.data(), BlockOut.data(), N);
    for (int32_t I = 0; I < N; ++I) {
      SampleReaderFor(T)(SingleIn.data() + I * Size, &SingleOut[I], 1);
    }
    EXPECT_EQ(BlockIn, SingleIn);
    for (int32_t I = 0; I < N; ++I)
      ASSERT_EQ(Bits(BlockOut[I]), Bits(SingleOut[I])) << I;
  }
}
