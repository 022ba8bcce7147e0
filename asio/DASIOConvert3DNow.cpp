// The 3DNow! family, as portable code with that extension's arithmetic:
// single-precision products, truncation with saturation, steps of 8 samples
// (prefetching the next step's source) and then single samples. The table
// only takes these routines on a processor that reports the extension.
#include <cstddef>
#include <cstdint>

#include "asio/DASIOConvertFamilies.h"

namespace asio::convert_detail::amd3dnow {

namespace {

using Byte = unsigned char;
constexpr std::size_t kStep = 8;

// Reciprocals in single precision: 2^-31 for the 32-bit format, 1/F rounded
// to single for the containers.
constexpr float kK32 = 4.656612873077393e-10f;
constexpr float kK16 = 3.0518509447574615e-05f;
constexpr float kK18 = 7.629452738910913e-06f;
constexpr float kK20 = 1.907352270791307e-06f;
constexpr float kK24 = 1.1920930376163597e-07f;

inline void Prefetch(const void* P) {
  __builtin_prefetch(P, 0, 0);
}

template <float K>
void Read(void* Source, float* Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  const Byte* S = static_cast<const Byte*>(Source);
  const auto One = [&](std::size_t I) {
    Destination[I] = static_cast<float>(LoadAs<int32_t>(S + 4 * I)) * K;
  };
  std::size_t I = 0;
  for (; N - I >= kStep; I += kStep) {
    if (N - I >= 2 * kStep) Prefetch(S + 4 * (I + kStep));
    for (std::size_t J = 0; J < kStep; ++J)
      One(I + J);
  }
  for (; I < N; ++I)
    One(I);
}

template <float F>
void Write(const float* Source, void* Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  Byte* D = static_cast<Byte*>(Destination);
  const auto One = [&](std::size_t I) {
    StoreAs<int32_t>(D + 4 * I, TruncSaturate(Source[I] * F));
  };
  std::size_t I = 0;
  for (; N - I >= kStep; I += kStep) {
    if (N - I >= 2 * kStep) Prefetch(Source + I + kStep);
    for (std::size_t J = 0; J < kStep; ++J)
      One(I + J);
  }
  for (; I < N; ++I)
    One(I);
}

}  // namespace

void ReadInt32LSB(void* S, float* D, int32_t N) {
  Read<kK32>(S, D, N);
}
void ReadInt32LSB16(void* S, float* D, int32_t N) {
  Read<kK16>(S, D, N);
}
void ReadInt32LSB18(void* S, float* D, int32_t N) {
  Read<kK18>(S, D, N);
}
void ReadInt32LSB20(void* S, float* D, int32_t N) {
  Read<kK20>(S, D, N);
}
void ReadInt32LSB24(void* S, float* D, int32_t N) {
  Read<kK24>(S, D, N);
}

void WriteInt32LSB(const float* S, void* D, int32_t N) {
  Write<2147483648.0f>(S, D, N);
}
void WriteInt32LSB16(const float* S, void* D, int32_t N) {
  Write<32767.0f>(S, D, N);
}
void WriteInt32LSB18(const float* S, void* D, int32_t N) {
  Write<131071.0f>(S, D, N);
}
void WriteInt32LSB20(const float* S, void* D, int32_t N) {
  Write<524287.0f>(S, D, N);
}
void WriteInt32LSB24(const float* S, void* D, int32_t N) {
  Write<8388607.0f>(S, D, N);
}

void Add(const float* Source, float* Destination, int32_t Count) {
  const std::size_t N = SampleCount(Count);
  std::size_t I = 0;
  for (; N - I >= kStep; I += kStep) {
    if (N - I >= 2 * kStep) Prefetch(Source + I + kStep);
    for (std::size_t J = 0; J < kStep; ++J)
      Destination[I + J] = Source[I + J] + Destination[I + J];
  }
  for (; I < N; ++I)
    Destination[I] = Source[I] + Destination[I];
}

void Scale(float* Buffer, int32_t Count, float Factor) {
  const std::size_t N = SampleCount(Count);
  std::size_t I = 0;
  for (; N - I >= kStep; I += kStep) {
    if (N - I >= 2 * kStep) Prefetch(Buffer + I + kStep);
    for (std::size_t J = 0; J < kStep; ++J)
      Buffer[I + J] = Buffer[I + J] * Factor;
  }
  for (; I < N; ++I)
    Buffer[I] = Buffer[I] * Factor;
}

}  // namespace asio::convert_detail::amd3dnow
