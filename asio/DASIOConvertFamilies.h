#pragma once
// Internal to the converter unit: the SIMD families' routines and the scalar
// helpers they share with the plain family. Callers use the table instead.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace asio::convert_detail {

// The routines' counts are 32-bit, but offsets in bytes pass 2^31 from 2^28
// samples of an 8-byte format: every index and offset is a size type.
inline std::size_t SampleCount(int32_t Count) {
  return Count > 0 ? static_cast<std::size_t>(Count) : 0;
}

// Driver buffers carry no alignment promise, so every access to them goes
// through memcpy (which compiles to a plain load or store).
template <typename T>
inline T LoadAs(const unsigned char* P) {
  T V;
  std::memcpy(&V, P, sizeof V);
  return V;
}
template <typename T>
inline void StoreAs(unsigned char* P, T V) {
  std::memcpy(P, &V, sizeof V);
}

// Truncation toward zero with saturation at the ends of the 32-bit range,
// the conversion both SIMD families use. NaN gives 0 (silence).
inline int32_t TruncSaturate(float P) {
  if (!(P == P)) return 0;
  if (P >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (P <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(P);
}

// Plain hard clip of one sample, by bit pattern: magnitudes above 1.0
// (infinities and NaNs included) become 1.0 with the sample's sign.
inline float HardClipSample(float X) {
  uint32_t Bits;
  std::memcpy(&Bits, &X, sizeof Bits);
  if (static_cast<int32_t>(Bits & 0x7FFFFFFFu) > 0x3F800000) {
    Bits = (Bits & 0x80000000u) | 0x3F800000u;
    std::memcpy(&X, &Bits, sizeof X);
  }
  return X;
}

// Plain soft clip of one sample, in double precision.
inline float SoftClipSample(float X) {
  double V = X;
  double A = V < 0 ? -V : V;
  // Only an infinity gets here: every finite float squares within double
  // range and already yields +-2.0. Without the limit inf/inf would be NaN.
  if (A > 1e30) {
    A = 1e30;
    V = X < 0 ? -A : A;
  }
  return static_cast<float>(2.0 * V * (A + 3.0) / (A * (A + 3.0) + 6.0));
}

namespace sse {
void WriteInt32LSB(const float* Source, void* Destination, int32_t Count);
void HardClip(float* Buffer, int32_t Count);
void SoftClip(float* Buffer, int32_t Count);
void Add(const float* Source, float* Destination, int32_t Count);
void Scale(float* Buffer, int32_t Count, float Factor);
}  // namespace sse

namespace amd3dnow {
void ReadInt32LSB(void* Source, float* Destination, int32_t Count);
void ReadInt32LSB16(void* Source, float* Destination, int32_t Count);
void ReadInt32LSB18(void* Source, float* Destination, int32_t Count);
void ReadInt32LSB20(void* Source, float* Destination, int32_t Count);
void ReadInt32LSB24(void* Source, float* Destination, int32_t Count);
void WriteInt32LSB(const float* Source, void* Destination, int32_t Count);
void WriteInt32LSB16(const float* Source, void* Destination, int32_t Count);
void WriteInt32LSB18(const float* Source, void* Destination, int32_t Count);
void WriteInt32LSB20(const float* Source, void* Destination, int32_t Count);
void WriteInt32LSB24(const float* Source, void* Destination, int32_t Count);
void Add(const float* Source, float* Destination, int32_t Count);
void Scale(float* Buffer, int32_t Count, float Factor);
}  // namespace amd3dnow

}  // namespace asio::convert_detail
