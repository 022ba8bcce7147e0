#pragma once
// Shared helpers of the converter tests.
#include <cstdint>
#include <cstring>
#include <vector>

#include "asio/DASIOConvert.h"
#include "asio/DASIOConvertCpuId.h"

namespace convert_test {

using namespace asio;

constexpr ASIOSampleType kAllCodes[kSupportedSampleTypes] = {
    ASIOSTInt16MSB,   ASIOSTInt24MSB,   ASIOSTInt32MSB,   ASIOSTFloat32MSB, ASIOSTFloat64MSB,
    ASIOSTInt32MSB16, ASIOSTInt32MSB18, ASIOSTInt32MSB20, ASIOSTInt32MSB24, ASIOSTInt16LSB,
    ASIOSTInt24LSB,   ASIOSTInt32LSB,   ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16,
    ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24};

inline bool IsMSB(ASIOSampleType T) {
  return T < ASIOSTInt16LSB;
}
inline ASIOSampleType LsbTwin(ASIOSampleType T) {
  return IsMSB(T) ? T + 16 : T;
}
inline bool IsFloat(ASIOSampleType T) {
  const ASIOSampleType L = LsbTwin(T);
  return L == ASIOSTFloat32LSB || L == ASIOSTFloat64LSB;
}
// Full-scale value F of an integer code.
inline double FullScale(ASIOSampleType T) {
  switch (LsbTwin(T)) {
    case ASIOSTInt16LSB:
    case ASIOSTInt32LSB16:
      return 32767.0;
    case ASIOSTInt24LSB:
    case ASIOSTInt32LSB24:
      return 8388607.0;
    case ASIOSTInt32LSB18:
      return 131071.0;
    case ASIOSTInt32LSB20:
      return 524287.0;
    default:
      return 2147483647.0;
  }
}

enum class Family { Plain, SSE, ThreeDNow };
inline void Select(Family F) {
  UsePlainRoutines();
  if (F == Family::SSE) UseSSERoutines();
  if (F == Family::ThreeDNow) Use3DNowRoutines();
}

// Restores the table and the identification query when a test ends.
class TableGuard {
 public:
  TableGuard() : Saved(Converters) {}
  ~TableGuard() {
    Converters = Saved;
    SetCpuIdQuery(nullptr);
  }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

 private:
  TConverterTable Saved;
};

// A byte region at an odd offset with guard bytes on both sides.
class GuardedBytes {
 public:
  static constexpr uint8_t kGuard = 0xA5;
  static constexpr size_t kPad = 32;
  GuardedBytes(size_t Size, size_t Misalign = 3)
      : Offset(kPad + Misalign), Store(Size + 2 * kPad + 16, kGuard), Length(Size) {}
  uint8_t* Data() { return Store.data() + Offset; }
  // The same region as floats; needs a Misalign that is a multiple of 4.
  float* Floats() { return reinterpret_cast<float*>(Data()); }
  size_t Size() const { return Length; }
  // True while nothing outside [Data, Data + Size) has changed.
  bool GuardsIntact() const {
    for (size_t I = 0; I < Store.size(); ++I) {
      if ((I < Offset || I >= Offset + Length) && Store[I] != kGuard) return false;
    }
    return true;
  }

 private:
  size_t Offset;
  std::vector<uint8_t> Store;
  size_t Length;
};

// memcpy and memcmp that accept the null data of an empty vector.
inline void CopyBytes(void* D, const void* S, int64_t N) {
  if (N > 0) std::memcpy(D, S, static_cast<size_t>(N));
}
inline bool SameBytes(const void* A, const void* B, int64_t N) {
  return N <= 0 || std::memcmp(A, B, static_cast<size_t>(N)) == 0;
}

inline uint32_t Bits(float X) {
  uint32_t B;
  std::memcpy(&B, &X, 4);
  return B;
}

}  // namespace convert_test
