// The routine table, the plain family and processor detection.
#include "asio/DASIOConvert.h"

#include <cstring>
#include <limits>

#include "asio/DASIOConvertCpuId.h"
#include "asio/DASIOConvertFamilies.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#define RIG_CONVERT_SSE2 1
#endif

namespace asio {

using convert_detail::LoadAs;
using convert_detail::SampleCount;
using convert_detail::StoreAs;

namespace {

using Byte = unsigned char;

// 1/32767 rounded to single precision (bit pattern 0x38000100); both 16-bit
// readers multiply by it. The other reciprocals are 1/F rounded to double.
constexpr float kS16 = 3.0518509447574615e-05f;
constexpr double kR18 = 1.0 / 131071.0;
constexpr double kR20 = 1.0 / 524287.0;
constexpr double kR24 = 1.0 / 8388607.0;
constexpr double kR32 = 1.0 / 2147483647.0;

// x + 1.5 * 2^52 - 1.5 * 2^52 rounds to an integer, ties to even, in the
// default rounding mode, for |x| < 2^51; it vectorises where a library call
// to nearbyint would not.
constexpr double kRoundMagic = 6755399441055744.0;

// Products of a float and F < 2^24 are exact in double, so rounding the
// double product is rounding the exact one. Out-of-range values saturate at
// [Lo, Hi] and NaN gives 0 rather than an arbitrary integer.
inline int32_t RoundSaturate(double P, double Lo, double Hi) {
  P = (P == P) ? P : 0.0;
  P = P < Lo ? Lo : P;
  P = P > Hi ? Hi : P;
  return static_cast<int32_t>((P + kRoundMagic) - kRoundMagic);
}

// round(x * 2147483647) with ties to even on the exact product, which needs
// up to 55 significant bits. x * 2^31 and -x are exact, so their sum and its
// rounding error (Fast2Sum) carry the product exactly; the error only
// matters when the rounded sum lands on a half-integer.
inline int32_t RoundInt32(float X) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  if (!(X == X)) return 0;
  if (X >= 2.0f) return kMax;
  if (X <= -2.0f) return kMin;
  const double A = static_cast<double>(X) * 2147483648.0;
  const double B = -static_cast<double>(X);
  const double S = A + B;
  const double Err = B - (S - A);
  if (S >= 2147483647.0) return kMax;
  if (S <= -2147483648.0) return kMin;
  double N = (S + kRoundMagic) - kRoundMagic;
  const double D = S - N;
  if ((D == 0.5 || D == -0.5) && Err != 0.0) N = S + (Err > 0.0 ? 0.5 : -0.5);
  return static_cast<int32_t>(N);
}

constexpr double kInt16Lo = -32768.0, kInt16Hi = 32767.0;
constexpr double kInt32Lo = -2147483648.0, kInt32Hi = 2147483647.0;

#if RIG_CONVERT_SSE2
// The plain family's arithmetic four samples at a time; the scalar loops
// finish the tail (and do all the work where the target has no SSE2). Both
// round in the thread's rounding mode, to nearest by default.

inline __m128i Bswap16x8(__m128i V) {
  return _mm_or_si128(_mm_slli_epi16(V, 8), _mm_srli_epi16(V, 8));
}
inline __m128i Bswap32x4(__m128i V) {
  V = Bswap16x8(V);
  V = _mm_shufflelo_epi16(V, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_shufflehi_epi16(V, _MM_SHUFFLE(2, 3, 0, 1));
}
inline __m128i Bswap64x2(__m128i V) {
  return _mm_shuffle_epi32(Bswap32x4(V), _MM_SHUFFLE(2, 3, 0, 1));
}
inline __m128i LoadI(const Byte* P) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
}
inline void StoreI(Byte* P, __m128i V) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(P), V);
}

// Four 32-bit integers times K in double precision, rounded to single.
inline __m128 ScaleInt4(__m128i V, __m128d K) {
  const __m128d Lo = _mm_mul_pd(_mm_cvtepi32_pd(V), K);
  const __m128d Hi = _mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(V, V)), K);
  return _mm_movelh_ps(_mm_cvtpd_ps(Lo), _mm_cvtpd_ps(Hi));
}

// Adding 1.5 * 2^52 rounds like RoundSaturate and leaves the integer, in
// two's complement, in the low 32 bits of each double; this gathers those
// from two pairs (cheaper than the conversion instructions).
inline __m128d AddMagic(__m128d V) {
  return _mm_add_pd(V, _mm_set1_pd(kRoundMagic));
}
inline __m128i LowWords(__m128d A, __m128d B) {
  return _mm_castps_si128(
      _mm_shuffle_ps(_mm_castpd_ps(A), _mm_castpd_ps(B), _MM_SHUFFLE(2, 0, 2, 0)));
}

// round(x * F) of four floats with F < 2^24 (exact products), NaN to 0 and
// saturation at [Lo, Hi].
inline __m128i RoundScale4(__m128 X, __m128d F, __m128d Lo, __m128d Hi) {
  X = _mm_and_ps(X, _mm_cmpord_ps(X, X));
  __m128d A = _mm_mul_pd(_mm_cvtps_pd(X), F);
  __m128d B = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(X, X)), F);
  A = _mm_min_pd(_mm_max_pd(A, Lo), Hi);
  B = _mm_min_pd(_mm_max_pd(B, Lo), Hi);
  return LowWords(AddMagic(A), AddMagic(B));
}

// RoundInt32 on two floats held as doubles; the result is still offset by
// the rounding constant (see LowWords).
inline __m128d RoundInt32x2(__m128d X) {
  const __m128d Half = _mm_set1_pd(0.5);
  const __m128d SignBit = _mm_set1_pd(-0.0);
  const __m128d A = _mm_mul_pd(X, _mm_set1_pd(2147483648.0));
  const __m128d B = _mm_xor_pd(X, SignBit);
  __m128d S = _mm_add_pd(A, B);
  const __m128d Err = _mm_sub_pd(B, _mm_sub_pd(S, A));
  S = _mm_min_pd(_mm_max_pd(S, _mm_set1_pd(kInt32Lo)), _mm_set1_pd(kInt32Hi));
  const __m128d Magic = _mm_set1_pd(kRoundMagic);
  const __m128d Nd = _mm_sub_pd(_mm_add_pd(S, Magic), Magic);
  const __m128d D = _mm_andnot_pd(SignBit, _mm_sub_pd(S, Nd));
  const __m128d Tie = _mm_and_pd(_mm_cmpeq_pd(D, Half), _mm_cmpneq_pd(Err, _mm_setzero_pd()));
  const __m128d Fixed = _mm_add_pd(S, _mm_or_pd(Half, _mm_and_pd(Err, SignBit)));
  return AddMagic(_mm_or_pd(_mm_and_pd(Tie, Fixed), _mm_andnot_pd(Tie, Nd)));
}
inline __m128i RoundInt32x4(__m128 X) {
  // NaN to 0 and |x| to at most 2 (already saturating) keep S finite.
  X = _mm_and_ps(X, _mm_cmpord_ps(X, X));
  X = _mm_min_ps(_mm_max_ps(X, _mm_set1_ps(-2.0f)), _mm_set1_ps(2.0f));
  return LowWords(RoundInt32x2(_mm_cvtps_pd(X)), RoundInt32x2(_mm_cvtps_pd(_mm_movehl_ps(X, X))));
}
#endif

// --- byte order, in place over Count samples -------------------------------

void Swap16(void* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 8; I += 8)
    StoreI(P + 2 * I, Bswap16x8(LoadI(P + 2 * I)));
#endif
  for (; I < N; ++I) {
    StoreAs<uint16_t>(P + 2 * I, __builtin_bswap16(LoadAs<uint16_t>(P + 2 * I)));
  }
}
void Swap24(void* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  for (std::size_t I = 0; I < N; ++I) {
    const Byte T = P[3 * I];
    P[3 * I] = P[3 * I + 2];
    P[3 * I + 2] = T;
  }
}
void Swap32(void* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 4; I += 4)
    StoreI(P + 4 * I, Bswap32x4(LoadI(P + 4 * I)));
#endif
  for (; I < N; ++I) {
    StoreAs<uint32_t>(P + 4 * I, __builtin_bswap32(LoadAs<uint32_t>(P + 4 * I)));
  }
}
void Swap64(void* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 2; I += 2)
    StoreI(P + 8 * I, Bswap64x2(LoadI(P + 8 * I)));
#endif
  for (; I < N; ++I) {
    StoreAs<uint64_t>(P + 8 * I, __builtin_bswap64(LoadAs<uint64_t>(P + 8 * I)));
  }
}

// --- plain readers ---------------------------------------------------------

template <typename T, double K>
void ReadInt(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  const Byte* S = static_cast<const Byte*>(Source);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  if constexpr (sizeof(T) == 2) {
    // A 16-bit value times the single-precision S16 is exact in double, so
    // the single-precision product (rounded once) is the same number.
    const __m128 K4 = _mm_set1_ps(static_cast<float>(K));
    for (; N - I >= 8; I += 8) {
      const __m128i V = LoadI(S + 2 * I);
      const __m128i Lo = _mm_srai_epi32(_mm_unpacklo_epi16(V, V), 16);
      const __m128i Hi = _mm_srai_epi32(_mm_unpackhi_epi16(V, V), 16);
      _mm_storeu_ps(Destination + I, _mm_mul_ps(_mm_cvtepi32_ps(Lo), K4));
      _mm_storeu_ps(Destination + I + 4, _mm_mul_ps(_mm_cvtepi32_ps(Hi), K4));
    }
  } else {
    const __m128d K2 = _mm_set1_pd(K);
    for (; N - I >= 4; I += 4)
      _mm_storeu_ps(Destination + I, ScaleInt4(LoadI(S + 4 * I), K2));
  }
#endif
  for (; I < N; ++I) {
    Destination[I] = static_cast<float>(static_cast<double>(LoadAs<T>(S + sizeof(T) * I)) * K);
  }
}

void ReadInt24(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  const Byte* S = static_cast<const Byte*>(Source);
  for (std::size_t I = 0; I < N; ++I) {
    const uint32_t U = S[3 * I] | (S[3 * I + 1] << 8) | (uint32_t{S[3 * I + 2]} << 16);
    const int32_t V = static_cast<int32_t>(U << 8) >> 8;
    Destination[I] = static_cast<float>(V * kR24);
  }
}

void ReadFloat32(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  if (Count > 0) std::memcpy(Destination, Source, static_cast<size_t>(Count) * 4);
}

void ReadFloat64(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  const Byte* S = static_cast<const Byte*>(Source);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 4; I += 4) {
    const __m128 Lo = _mm_cvtpd_ps(_mm_loadu_pd(reinterpret_cast<const double*>(S + 8 * I)));
    const __m128 Hi = _mm_cvtpd_ps(_mm_loadu_pd(reinterpret_cast<const double*>(S + 8 * I + 16)));
    _mm_storeu_ps(Destination + I, _mm_movelh_ps(Lo, Hi));
  }
#endif
  for (; I < N; ++I) {
    Destination[I] = static_cast<float>(LoadAs<double>(S + 8 * I));
  }
}

// A big-endian reader turns Source little-endian in place, then reads that.
template <TDriverToFloat Lsb, void (*Swap)(void*, int32_t)>
void ReadMSB(void* Source, float* Destination, int32_t Count) {
  Swap(Source, Count);
  Lsb(Source, Destination, Count);
}

// --- plain writers ---------------------------------------------------------

template <typename T, double F, double Lo, double Hi>
void WriteInt(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* D = static_cast<Byte*>(Destination);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  const __m128d F2 = _mm_set1_pd(F), Lo2 = _mm_set1_pd(Lo), Hi2 = _mm_set1_pd(Hi);
  if constexpr (sizeof(T) == 2) {
    for (; N - I >= 8; I += 8) {
      const __m128i A = RoundScale4(_mm_loadu_ps(Source + I), F2, Lo2, Hi2);
      const __m128i B = RoundScale4(_mm_loadu_ps(Source + I + 4), F2, Lo2, Hi2);
      StoreI(D + 2 * I, _mm_packs_epi32(A, B));
    }
  } else {
    for (; N - I >= 4; I += 4) {
      StoreI(D + 4 * I, RoundScale4(_mm_loadu_ps(Source + I), F2, Lo2, Hi2));
    }
  }
#endif
  for (; I < N; ++I) {
    const int32_t R = RoundSaturate(static_cast<double>(Source[I]) * F, Lo, Hi);
    StoreAs<T>(D + sizeof(T) * I, static_cast<T>(R));
  }
}

// Only the low three bytes of the rounded value are kept, so a sample
// beyond +-2^23 wraps to the other sign.
void WriteInt24(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* D = static_cast<Byte*>(Destination);
  for (std::size_t I = 0; I < N; ++I) {
    const uint32_t R = static_cast<uint32_t>(
        RoundSaturate(static_cast<double>(Source[I]) * 8388607.0, kInt32Lo, kInt32Hi));
    D[3 * I] = static_cast<Byte>(R);
    D[3 * I + 1] = static_cast<Byte>(R >> 8);
    D[3 * I + 2] = static_cast<Byte>(R >> 16);
  }
}

void WriteInt32(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* D = static_cast<Byte*>(Destination);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 4; I += 4)
    StoreI(D + 4 * I, RoundInt32x4(_mm_loadu_ps(Source + I)));
#endif
  for (; I < N; ++I)
    StoreAs<int32_t>(D + 4 * I, RoundInt32(Source[I]));
}

void WriteFloat32(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  if (Count > 0) std::memcpy(Destination, Source, static_cast<size_t>(Count) * 4);
}

void WriteFloat64(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* D = static_cast<Byte*>(Destination);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 4; I += 4) {
    const __m128 X = _mm_loadu_ps(Source + I);
    _mm_storeu_pd(reinterpret_cast<double*>(D + 8 * I), _mm_cvtps_pd(X));
    _mm_storeu_pd(reinterpret_cast<double*>(D + 8 * I + 16), _mm_cvtps_pd(_mm_movehl_ps(X, X)));
  }
#endif
  for (; I < N; ++I)
    StoreAs<double>(D + 8 * I, Source[I]);
}

template <TFloatToDriver Lsb, void (*Swap)(void*, int32_t)>
void WriteMSB(const float* Source, void* Destination, int32_t Count) {
  Lsb(Source, Destination, Count);
  Swap(Destination, Count);
}

// --- plain buffer operations -----------------------------------------------

void HardClip(float* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  for (std::size_t I = 0; I < N; ++I)
    Buffer[I] = convert_detail::HardClipSample(Buffer[I]);
}

void SoftClip(float* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  for (std::size_t I = 0; I < N; ++I)
    Buffer[I] = convert_detail::SoftClipSample(Buffer[I]);
}

void Add(const float* __restrict Source, float* __restrict Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  for (std::size_t I = 0; I < N; ++I)
    Destination[I] = Source[I] + Destination[I];
}

void Scale(float* Buffer, int32_t Count, float Factor) {
  const std::size_t N = SampleCount(Count);
  for (std::size_t I = 0; I < N; ++I)
    Buffer[I] = Buffer[I] * Factor;
}

constexpr double kS16d = kS16;

// Slot order follows the codes in ascending order.
constexpr ASIOSampleType kCodes[kSupportedSampleTypes] = {
    ASIOSTInt16MSB,   ASIOSTInt24MSB,   ASIOSTInt32MSB,   ASIOSTFloat32MSB, ASIOSTFloat64MSB,
    ASIOSTInt32MSB16, ASIOSTInt32MSB18, ASIOSTInt32MSB20, ASIOSTInt32MSB24, ASIOSTInt16LSB,
    ASIOSTInt24LSB,   ASIOSTInt32LSB,   ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16,
    ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24};
constexpr int kSizes[kSupportedSampleTypes] = {2, 3, 4, 4, 8, 4, 4, 4, 4,
                                               2, 3, 4, 4, 8, 4, 4, 4, 4};

constexpr int SlotOf(ASIOSampleType Type) {
  for (int I = 0; I < kSupportedSampleTypes; ++I) {
    if (kCodes[I] == Type) return I;
  }
  return -1;
}

constexpr TConverterTable MakePlainTable() {
  TConverterTable T{};
  auto Reader = [&T](ASIOSampleType Code, TDriverToFloat R) { T.SampleReaders[SlotOf(Code)] = R; };
  auto Writer = [&T](ASIOSampleType Code, TFloatToDriver W) { T.SampleWriters[SlotOf(Code)] = W; };

  Reader(ASIOSTInt16LSB, &ReadInt<int16_t, kS16d>);
  Reader(ASIOSTInt24LSB, &ReadInt24);
  Reader(ASIOSTInt32LSB, &ReadInt<int32_t, kR32>);
  Reader(ASIOSTFloat32LSB, &ReadFloat32);
  Reader(ASIOSTFloat64LSB, &ReadFloat64);
  Reader(ASIOSTInt32LSB16, &ReadInt<int32_t, kS16d>);
  Reader(ASIOSTInt32LSB18, &ReadInt<int32_t, kR18>);
  Reader(ASIOSTInt32LSB20, &ReadInt<int32_t, kR20>);
  Reader(ASIOSTInt32LSB24, &ReadInt<int32_t, kR24>);
  Reader(ASIOSTInt16MSB, &ReadMSB<&ReadInt<int16_t, kS16d>, &Swap16>);
  Reader(ASIOSTInt24MSB, &ReadMSB<&ReadInt24, &Swap24>);
  Reader(ASIOSTInt32MSB, &ReadMSB<&ReadInt<int32_t, kR32>, &Swap32>);
  Reader(ASIOSTFloat32MSB, &ReadMSB<&ReadFloat32, &Swap32>);
  Reader(ASIOSTFloat64MSB, &ReadMSB<&ReadFloat64, &Swap64>);
  Reader(ASIOSTInt32MSB16, &ReadMSB<&ReadInt<int32_t, kS16d>, &Swap32>);
  Reader(ASIOSTInt32MSB18, &ReadMSB<&ReadInt<int32_t, kR18>, &Swap32>);
  Reader(ASIOSTInt32MSB20, &ReadMSB<&ReadInt<int32_t, kR20>, &Swap32>);
  Reader(ASIOSTInt32MSB24, &ReadMSB<&ReadInt<int32_t, kR24>, &Swap32>);

  constexpr TFloatToDriver WInt16 = &WriteInt<int16_t, 32767.0, kInt16Lo, kInt16Hi>;
  constexpr TFloatToDriver W16c = &WriteInt<int32_t, 32767.0, kInt32Lo, kInt32Hi>;
  constexpr TFloatToDriver W18c = &WriteInt<int32_t, 131071.0, kInt32Lo, kInt32Hi>;
  constexpr TFloatToDriver W20c = &WriteInt<int32_t, 524287.0, kInt32Lo, kInt32Hi>;
  constexpr TFloatToDriver W24c = &WriteInt<int32_t, 8388607.0, kInt32Lo, kInt32Hi>;
  Writer(ASIOSTInt16LSB, WInt16);
  Writer(ASIOSTInt24LSB, &WriteInt24);
  Writer(ASIOSTInt32LSB, &WriteInt32);
  Writer(ASIOSTFloat32LSB, &WriteFloat32);
  Writer(ASIOSTFloat64LSB, &WriteFloat64);
  Writer(ASIOSTInt32LSB16, W16c);
  Writer(ASIOSTInt32LSB18, W18c);
  Writer(ASIOSTInt32LSB20, W20c);
  Writer(ASIOSTInt32LSB24, W24c);
  Writer(ASIOSTInt16MSB, &WriteMSB<WInt16, &Swap16>);
  Writer(ASIOSTInt24MSB, &WriteMSB<&WriteInt24, &Swap24>);
  Writer(ASIOSTInt32MSB, &WriteMSB<&WriteInt32, &Swap32>);
  Writer(ASIOSTFloat32MSB, &WriteMSB<&WriteFloat32, &Swap32>);
  Writer(ASIOSTFloat64MSB, &WriteMSB<&WriteFloat64, &Swap64>);
  Writer(ASIOSTInt32MSB16, &WriteMSB<W16c, &Swap32>);
  Writer(ASIOSTInt32MSB18, &WriteMSB<W18c, &Swap32>);
  Writer(ASIOSTInt32MSB20, &WriteMSB<W20c, &Swap32>);
  Writer(ASIOSTInt32MSB24, &WriteMSB<W24c, &Swap32>);

  T.HardClipBuffer = &HardClip;
  T.SoftClipBuffer = &SoftClip;
  T.AddBuffer = &Add;
  T.ScaleBuffer = &Scale;
  T.ProcessorKind = pkPlain;
  return T;
}

constexpr TConverterTable kPlainTable = MakePlainTable();

TCpuIdQuery gCpuIdQuery = &ProcessorCpuId;

}  // namespace

// Constant-initialised, so the plain family is in place before any dynamic
// initialiser of another unit can convert.
constinit TConverterTable Converters = kPlainTable;

int SampleTypeSlot(ASIOSampleType Type) {
  return SlotOf(Type);
}

int SampleTypeSize(ASIOSampleType Type) {
  const int Slot = SlotOf(Type);
  return Slot < 0 ? 0 : kSizes[Slot];
}

TDriverToFloat SampleReaderFor(ASIOSampleType Type) {
  const int Slot = SlotOf(Type);
  return Slot < 0 ? nullptr : Converters.SampleReaders[Slot];
}

TFloatToDriver SampleWriterFor(ASIOSampleType Type) {
  const int Slot = SlotOf(Type);
  return Slot < 0 ? nullptr : Converters.SampleWriters[Slot];
}

void UsePlainRoutines() {
  const uint8_t Kind = Converters.ProcessorKind;
  Converters = kPlainTable;
  Converters.ProcessorKind = Kind;
}

void UseSSERoutines() {
  namespace sse = convert_detail::sse;
  Converters.SampleWriters[SlotOf(ASIOSTInt32LSB)] = &sse::WriteInt32LSB;
  Converters.HardClipBuffer = &sse::HardClip;
  Converters.SoftClipBuffer = &sse::SoftClip;
  Converters.AddBuffer = &sse::Add;
  Converters.ScaleBuffer = &sse::Scale;
}

void Use3DNowRoutines() {
  namespace amd = convert_detail::amd3dnow;
  TDriverToFloat* R = Converters.SampleReaders;
  TFloatToDriver* W = Converters.SampleWriters;
  R[SlotOf(ASIOSTInt32LSB)] = &amd::ReadInt32LSB;
  R[SlotOf(ASIOSTInt32LSB16)] = &amd::ReadInt32LSB16;
  R[SlotOf(ASIOSTInt32LSB18)] = &amd::ReadInt32LSB18;
  R[SlotOf(ASIOSTInt32LSB20)] = &amd::ReadInt32LSB20;
  R[SlotOf(ASIOSTInt32LSB24)] = &amd::ReadInt32LSB24;
  W[SlotOf(ASIOSTInt32LSB)] = &amd::WriteInt32LSB;
  W[SlotOf(ASIOSTInt32LSB16)] = &amd::WriteInt32LSB16;
  W[SlotOf(ASIOSTInt32LSB18)] = &amd::WriteInt32LSB18;
  W[SlotOf(ASIOSTInt32LSB20)] = &amd::WriteInt32LSB20;
  W[SlotOf(ASIOSTInt32LSB24)] = &amd::WriteInt32LSB24;
  Converters.AddBuffer = &amd::Add;
  Converters.ScaleBuffer = &amd::Scale;
}

bool ProcessorCpuId(uint32_t Leaf, TCpuIdRegisters& Regs) {
#if defined(__i386__) || defined(__x86_64__)
  unsigned A = 0, B = 0, C = 0, D = 0;
  __cpuid(Leaf, A, B, C, D);
  Regs = {A, B, C, D};
  return true;
#else
  (void)Leaf;
  Regs = {};
  return false;
#endif
}

void SetCpuIdQuery(TCpuIdQuery Query) {
  gCpuIdQuery = Query ? Query : &ProcessorCpuId;
}

void InitializeConverters() {
  UsePlainRoutines();
  uint8_t Kind = pkPlain;
  TCpuIdRegisters Regs;
  // A faulting query simply leaves the feature undetected.
  if (gCpuIdQuery(1, Regs) && (Regs.EDX & (1u << 25))) Kind = pkSSE;
  if (Kind == pkSSE) UseSSERoutines();
  if (gCpuIdQuery(0x80000000u, Regs) && Regs.EAX > 0x80000000u && gCpuIdQuery(0x80000001u, Regs) &&
      (Regs.EDX & (1u << 31))) {
    Kind = pk3DNow;
  }
  if (Kind == pk3DNow) Use3DNowRoutines();
  Converters.ProcessorKind = Kind;
}

}  // namespace asio
