// The SSE family: four single-precision lanes, unaligned loads and stores.
// Where the target has no SSE2 the same arithmetic runs one sample at a time
// (the tail loops below are that fallback).
#include <cstddef>
#include <cstdint>

#include "asio/DASIOConvertFamilies.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define RIG_CONVERT_SSE2 1
#endif

namespace asio::convert_detail::sse {

namespace {

using Byte = unsigned char;

// The single-precision constant closest to 2147483647 is 2^31.
constexpr float kScale32 = 2147483648.0f;

inline void StoreSample(Byte* D, float X) {
  StoreAs<int32_t>(D, TruncSaturate(X * kScale32));
}

#if RIG_CONVERT_SSE2
// trunc(p) with saturation: the conversion answers 0x80000000 for anything
// out of range, which is right below -2^31; at or above 2^31 the compare
// mask flips it to 0x7FFFFFFF. NaN lanes are cleared to 0 as in the scalar
// conversion.
inline __m128i TruncSaturate4(__m128 P) {
  const __m128 Limit = _mm_set1_ps(kScale32);
  __m128i R = _mm_cvttps_epi32(P);
  R = _mm_xor_si128(R, _mm_castps_si128(_mm_cmpge_ps(P, Limit)));
  return _mm_and_si128(R, _mm_castps_si128(_mm_cmpord_ps(P, P)));
}

inline __m128i Convert4(const float* S) {
  return TruncSaturate4(_mm_mul_ps(_mm_loadu_ps(S), _mm_set1_ps(kScale32)));
}
#endif

}  // namespace

void WriteInt32LSB(const float* Source, void* Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* D = static_cast<Byte*>(Destination);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  const auto Addr = [D](std::size_t K) { return reinterpret_cast<uintptr_t>(D + 4 * K); };
  if ((Addr(0) & 3) == 0) {
    // Cache-bypassing stores need 16-byte alignment: lead in one sample at
    // a time (same arithmetic) until the destination is aligned.
    while (I < N && (Addr(I) & 15) != 0) {
      StoreSample(D + 4 * I, Source[I]);
      ++I;
    }
    for (; N - I >= 16; I += 16) {
      if (N - I >= 32) _mm_prefetch(reinterpret_cast<const char*>(Source + I + 16), _MM_HINT_NTA);
      __m128i* Out = reinterpret_cast<__m128i*>(D + 4 * I);
      _mm_stream_si128(Out, Convert4(Source + I));
      _mm_stream_si128(Out + 1, Convert4(Source + I + 4));
      _mm_stream_si128(Out + 2, Convert4(Source + I + 8));
      _mm_stream_si128(Out + 3, Convert4(Source + I + 12));
    }
    // The driver reads the buffer once the host reports it ready; make the
    // weakly ordered stores visible before that.
    _mm_sfence();
  } else {
    for (; N - I >= 16; I += 16) {
      if (N - I >= 32) _mm_prefetch(reinterpret_cast<const char*>(Source + I + 16), _MM_HINT_NTA);
      for (int K = 0; K < 16; K += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(D + 4 * (I + K)), Convert4(Source + I + K));
      }
    }
  }
#endif
  for (; I < N; ++I)
    StoreSample(D + 4 * I, Source[I]);
}

void HardClip(float* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  const __m128 Hi = _mm_set1_ps(1.0f);
  const __m128 Lo = _mm_set1_ps(-1.0f);
  const __m128 SignMask = _mm_set1_ps(-0.0f);
  for (; N - I >= 16; I += 16) {
    for (int K = 0; K < 16; K += 4) {
      const __m128 X = _mm_loadu_ps(Buffer + I + K);
      const __m128 Clipped = _mm_max_ps(_mm_min_ps(X, Hi), Lo);
      // minps answers its second operand for NaN, which would make every
      // NaN +1.0; the plain rule gives 1.0 with the NaN's own sign.
      const __m128 NaN = _mm_cmpunord_ps(X, X);
      const __m128 Signed = _mm_or_ps(_mm_and_ps(X, SignMask), Hi);
      _mm_storeu_ps(Buffer + I + K,
                    _mm_or_ps(_mm_andnot_ps(NaN, Clipped), _mm_and_ps(NaN, Signed)));
    }
  }
#endif
  for (; I < N; ++I)
    Buffer[I] = HardClipSample(Buffer[I]);
}

void SoftClip(float* Buffer, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  const __m128 SignMask = _mm_set1_ps(-0.0f);
  // Beyond 2^20 the single-precision result is already +-2.0; limiting |x|
  // there keeps |x| * (|x| + 3) from overflowing into inf/inf.
  const __m128 Cap = _mm_set1_ps(1048576.0f);
  const __m128 Three = _mm_set1_ps(3.0f);
  const __m128 Six = _mm_set1_ps(6.0f);
  const __m128 Two = _mm_set1_ps(2.0f);
  for (; N - I >= 4; I += 4) {
    const __m128 X = _mm_loadu_ps(Buffer + I);
    const __m128 Sign = _mm_and_ps(X, SignMask);
    // Cap second so a NaN lane stays NaN.
    const __m128 A = _mm_min_ps(Cap, _mm_andnot_ps(SignMask, X));
    const __m128 A3 = _mm_add_ps(A, Three);
    const __m128 Num = _mm_mul_ps(_mm_mul_ps(Two, _mm_or_ps(A, Sign)), A3);
    const __m128 Den = _mm_add_ps(_mm_mul_ps(A, A3), Six);
    _mm_storeu_ps(Buffer + I, _mm_div_ps(Num, Den));
  }
#endif
  for (; I < N; ++I)
    Buffer[I] = SoftClipSample(Buffer[I]);
}

void Add(const float* Source, float* Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  for (; N - I >= 16; I += 16) {
    for (int K = 0; K < 16; K += 4) {
      const __m128 S = _mm_loadu_ps(Source + I + K);
      _mm_storeu_ps(Destination + I + K, _mm_add_ps(S, _mm_loadu_ps(Destination + I + K)));
    }
  }
#endif
  for (; I < N; ++I)
    Destination[I] = Source[I] + Destination[I];
}

void Scale(float* Buffer, int32_t Count, float Factor) {
  const std::size_t N = SampleCount(Count);
  std::size_t I = 0;
#if RIG_CONVERT_SSE2
  const __m128 F = _mm_set1_ps(Factor);
  for (; N - I >= 16; I += 16) {
    for (int K = 0; K < 16; K += 4) {
      _mm_storeu_ps(Buffer + I + K, _mm_mul_ps(_mm_loadu_ps(Buffer + I + K), F));
    }
  }
  for (; N - I >= 4; I += 4) {
    _mm_storeu_ps(Buffer + I, _mm_mul_ps(_mm_loadu_ps(Buffer + I), F));
  }
#endif
  for (; I < N; ++I)
    Buffer[I] = Buffer[I] * Factor;
}

}  // namespace asio::convert_detail::sse
