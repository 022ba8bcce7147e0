// The routine table, the plain family and processor detection.
#include "asio/DASIOConvert.h"

#include <cstring>
#include <limits>

#include "asio/DASIOConvertCpuId.h"
#include "asio/DASIOConvertFamilies.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace asio {

using convert_detail::LoadAs;
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

// --- byte order, in place over Count samples -------------------------------

void Swap16(void* Buffer, int32_t Count) {
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  for (int32_t I = 0; I < Count; ++I) {
    StoreAs<uint16_t>(P + 2 * I, __builtin_bswap16(LoadAs<uint16_t>(P + 2 * I)));
  }
}
void Swap24(void* Buffer, int32_t Count) {
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  for (int32_t I = 0; I < Count; ++I) {
    const Byte T = P[3 * I];
    P[3 * I] = P[3 * I + 2];
    P[3 * I + 2] = T;
  }
}
void Swap32(void* Buffer, int32_t Count) {
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  for (int32_t I = 0; I < Count; ++I) {
    StoreAs<uint32_t>(P + 4 * I, __builtin_bswap32(LoadAs<uint32_t>(P + 4 * I)));
  }
}
void Swap64(void* Buffer, int32_t Count) {
  Byte* __restrict P = static_cast<Byte*>(Buffer);
  for (int32_t I = 0; I < Count; ++I) {
    StoreAs<uint64_t>(P + 8 * I, __builtin_bswap64(LoadAs<uint64_t>(P + 8 * I)));
  }
}

// --- plain readers ---------------------------------------------------------

template <typename T, double K>
void ReadInt(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  const Byte* S = static_cast<const Byte*>(Source);
  for (int32_t I = 0; I < Count; ++I) {
    Destination[I] = static_cast<float>(static_cast<double>(LoadAs<T>(S + sizeof(T) * I)) * K);
  }
}

void ReadInt24(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  const Byte* S = static_cast<const Byte*>(Source);
  for (int32_t I = 0; I < Count; ++I) {
    const uint32_t U = S[3 * I] | (S[3 * I + 1] << 8) | (uint32_t{S[3 * I + 2]} << 16);
    const int32_t V = static_cast<int32_t>(U << 8) >> 8;
    Destination[I] = static_cast<float>(V * kR24);
  }
}

void ReadFloat32(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  if (Count > 0) std::memcpy(Destination, Source, static_cast<size_t>(Count) * 4);
}

void ReadFloat64(void* __restrict Source, float* __restrict Destination, int32_t Count) {
  const Byte* S = static_cast<const Byte*>(Source);
  for (int32_t I = 0; I < Count; ++I) {
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
  Byte* D = static_cast<Byte*>(Destination);
  for (int32_t I = 0; I < Count; ++I) {
    const int32_t R = RoundSaturate(static_cast<double>(Source[I]) * F, Lo, Hi);
    StoreAs<T>(D + sizeof(T) * I, static_cast<T>(R));
  }
}

// Only the low three bytes of the rounded value are kept, so a sample
// beyond +-2^23 wraps to the other sign.
void WriteInt24(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  Byte* D = static_cast<Byte*>(Destination);
  for (int32_t I = 0; I < Count; ++I) {
    const uint32_t R = static_cast<uint32_t>(
        RoundSaturate(static_cast<double>(Source[I]) * 8388607.0, kInt32Lo, kInt32Hi));
    D[3 * I] = static_cast<Byte>(R);
    D[3 * I + 1] = static_cast<Byte>(R >> 8);
    D[3 * I + 2] = static_cast<Byte>(R >> 16);
  }
}

void WriteInt32(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  Byte* D = static_cast<Byte*>(Destination);
  for (int32_t I = 0; I < Count; ++I)
    StoreAs<int32_t>(D + 4 * I, RoundInt32(Source[I]));
}

void WriteFloat32(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  if (Count > 0) std::memcpy(Destination, Source, static_cast<size_t>(Count) * 4);
}

void WriteFloat64(const float* __restrict Source, void* __restrict Destination, int32_t Count) {
  Byte* D = static_cast<Byte*>(Destination);
  for (int32_t I = 0; I < Count; ++I)
    StoreAs<double>(D + 8 * I, Source[I]);
}

template <TFloatToDriver Lsb, void (*Swap)(void*, int32_t)>
void WriteMSB(const float* Source, void* Destination, int32_t Count) {
  Lsb(Source, Destination, Count);
  Swap(Destination, Count);
}

// --- plain buffer operations -----------------------------------------------

void HardClip(float* Buffer, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I)
    Buffer[I] = convert_detail::HardClipSample(Buffer[I]);
}

void SoftClip(float* Buffer, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I)
    Buffer[I] = convert_detail::SoftClipSample(Buffer[I]);
}

void Add(const float* __restrict Source, float* __restrict Destination, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I)
    Destination[I] = Source[I] + Destination[I];
}

void Scale(float* Buffer, int32_t Count, float Factor) {
  for (int32_t I = 0; I < Count; ++I)
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
