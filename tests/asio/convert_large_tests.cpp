// Counts whose byte offsets pass 2^31: the routines must address every
// sample with a size type. The buffers are gigabytes of address space that
// all map one small block of memory, between inaccessible guard regions, so
// a stray offset faults instead of silently writing elsewhere.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>

#include "convert_support.h"

using namespace convert_test;

namespace {

// Bytes of one period; a multiple of the page size and of every sample size.
constexpr size_t kPeriod = size_t{3} << 20;
// Wider than any wrapped 32-bit offset can reach.
constexpr size_t kGuard = size_t{1} << 32;

class AliasedBuffer {
 public:
  explicit AliasedBuffer(size_t Bytes) {
    Length = (Bytes + kPeriod - 1) / kPeriod * kPeriod;
    Reserve = mmap(nullptr, Length + 2 * kGuard, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Reserve == MAP_FAILED) return;
    Fd = memfd_create("convert-alias", 0);
    if (Fd < 0 || ftruncate(Fd, kPeriod) != 0) return;
    Base = static_cast<uint8_t*>(Reserve) + kGuard;
    for (size_t Off = 0; Off < Length; Off += kPeriod) {
      if (mmap(Base + Off, kPeriod, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED | MAP_POPULATE,
               Fd, 0) == MAP_FAILED) {
        Base = nullptr;
        return;
      }
    }
  }
  ~AliasedBuffer() {
    if (Reserve != MAP_FAILED) munmap(Reserve, Length + 2 * kGuard);
    if (Fd >= 0) close(Fd);
  }
  AliasedBuffer(const AliasedBuffer&) = delete;
  AliasedBuffer& operator=(const AliasedBuffer&) = delete;

  uint8_t* Data() const { return Base; }
  // The one period every part of the buffer shows.
  uint8_t* Period() const { return Base; }

 private:
  void* Reserve = MAP_FAILED;
  int Fd = -1;
  uint8_t* Base = nullptr;
  size_t Length = 0;
};

// The smallest count whose last byte offset exceeds 2^31 - 1, plus a few.
int32_t PastOverflow(int Size) {
  return static_cast<int32_t>((size_t{1} << 31) / static_cast<size_t>(Size) + 5);
}

// Sample I of a periodic region of Size-byte samples.
size_t Slot(size_t I, int Size) {
  return I % (kPeriod / static_cast<size_t>(Size)) * static_cast<size_t>(Size);
}

void FillPeriod(uint8_t* P, unsigned Seed, bool AsFloats) {
  std::mt19937 Rng(Seed);
  if (AsFloats) {
    std::uniform_real_distribution<float> U(-1.0f, 1.0f);
    for (size_t I = 0; I < kPeriod; I += 4) {
      const float V = U(Rng);
      std::memcpy(P + I, &V, 4);
    }
  } else {
    for (size_t I = 0; I < kPeriod; ++I)
      P[I] = static_cast<uint8_t>(Rng());
  }
}

// The samples near the end were written last into their slots, so each must
// hold its own source sample converted by the single-sample path.
constexpr size_t kChecked = 4096;

// Each case walks gigabytes of address space page by page, which takes tens
// of seconds on a busy machine: the test runs when RIG_LARGE_TESTS is set.
TEST(ConvertLarge, OffsetsBeyondTwoGigabytesStayInsideTheBuffers) {
  if (!std::getenv("RIG_LARGE_TESTS")) GTEST_SKIP() << "set RIG_LARGE_TESTS=1 to run";
  TableGuard Guard;
  struct Case {
    Family F;
    ASIOSampleType Code;
  };
  // One code of each sample size per direction, and every routine whose
  // SIMD family addresses driver bytes itself.
  // The 8-byte formats overflow first (2^28 samples), their big-endian
  // twins through the byte-order pass as well; the 32-bit writers of the
  // SIMD families address driver bytes themselves (2^29 samples).
  const Case Cases[] = {
      {Family::Plain, ASIOSTFloat64LSB},
      {Family::Plain, ASIOSTFloat64MSB},
      {Family::SSE, ASIOSTInt32LSB},
      {Family::ThreeDNow, ASIOSTInt32LSB24},
  };

  for (const Case& C : Cases) {
    Select(C.F);
    const int Size = SampleTypeSize(C.Code);
    const int32_t N = PastOverflow(Size);
    const size_t Last = static_cast<size_t>(N) - 1;
    SCOPED_TRACE(::testing::Message() << "family " << int(C.F) << " code " << C.Code);
    {
      // Writer: floats in, driver samples out.
      AliasedBuffer Source(size_t(N) * 4), Dest(size_t(N) * Size);
      ASSERT_TRUE(Source.Data() && Dest.Data());
      FillPeriod(Source.Period(), 1, true);
      SampleWriterFor(C.Code)(reinterpret_cast<const float*>(Source.Data()), Dest.Data(), N);
      if (!IsMSB(C.Code)) {  // a big-endian writer reverses its aliases in place again
        for (size_t I = Last + 1 - kChecked; I <= Last; ++I) {
          uint8_t Want[8];
          float X;
          std::memcpy(&X, Source.Period() + Slot(I, 4), 4);
          SampleWriterFor(C.Code)(&X, Want, 1);
          ASSERT_TRUE(SameBytes(Dest.Period() + Slot(I, Size), Want, Size)) << I;
        }
      }
    }
    {
      // Reader: driver samples in, floats out.
      AliasedBuffer Source(size_t(N) * Size), Dest(size_t(N) * 4);
      ASSERT_TRUE(Source.Data() && Dest.Data());
      FillPeriod(Source.Period(), 2, false);
      SampleReaderFor(C.Code)(Source.Data(), reinterpret_cast<float*>(Dest.Data()), N);
      if (!IsMSB(C.Code)) {
        for (size_t I = Last + 1 - kChecked; I <= Last; ++I) {
          uint8_t In[8];
          std::memcpy(In, Source.Period() + Slot(I, Size), Size);
          float Want;
          SampleReaderFor(C.Code)(In, &Want, 1);
          float Got;
          std::memcpy(&Got, Dest.Period() + Slot(I, 4), 4);
          ASSERT_EQ(Bits(Got), Bits(Want)) << I;
        }
      }
    }
  }
}

}  // namespace
