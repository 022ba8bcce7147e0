// Which family each slot holds after the Use... calls and after detection.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "convert_support.h"

using namespace convert_test;

namespace {

// Taken during dynamic initialisation, before any test can change the table.
const TConverterTable kAtStart = Converters;

constexpr int kSlots = 2 * kSupportedSampleTypes + 4;

std::vector<uintptr_t> Slots(const TConverterTable& T) {
  std::vector<uintptr_t> S;
  for (auto R : T.SampleReaders)
    S.push_back(reinterpret_cast<uintptr_t>(R));
  for (auto W : T.SampleWriters)
    S.push_back(reinterpret_cast<uintptr_t>(W));
  S.push_back(reinterpret_cast<uintptr_t>(T.HardClipBuffer));
  S.push_back(reinterpret_cast<uintptr_t>(T.SoftClipBuffer));
  S.push_back(reinterpret_cast<uintptr_t>(T.AddBuffer));
  S.push_back(reinterpret_cast<uintptr_t>(T.ScaleBuffer));
  return S;
}

int ReaderSlot(ASIOSampleType T) {
  return SampleTypeSlot(T);
}
int WriterSlot(ASIOSampleType T) {
  return kSupportedSampleTypes + SampleTypeSlot(T);
}
constexpr int kHardClip = 2 * kSupportedSampleTypes, kSoftClip = kHardClip + 1,
              kAdd = kHardClip + 2, kScale = kHardClip + 3;

const std::set<int> kSseSlots = {WriterSlot(ASIOSTInt32LSB), kHardClip, kSoftClip, kAdd, kScale};
std::set<int> ThreeDNowSlots() {
  std::set<int> S = {kAdd, kScale};
  for (ASIOSampleType T :
       {ASIOSTInt32LSB, ASIOSTInt32LSB16, ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24}) {
    S.insert(ReaderSlot(T));
    S.insert(WriterSlot(T));
  }
  return S;
}

// One letter per slot: P plain, S SSE, D 3DNow!.
class ConverterTable : public ::testing::Test {
 protected:
  void SetUp() override {
    Select(Family::Plain);
    P = Slots(Converters);
    Select(Family::SSE);
    S = Slots(Converters);
    Select(Family::ThreeDNow);
    D = Slots(Converters);
  }
  std::string Signature() const {
    const std::vector<uintptr_t> Now = Slots(Converters);
    std::string Out;
    for (int I = 0; I < kSlots; ++I) {
      Out += Now[I] == P[I] ? 'P' : Now[I] == S[I] ? 'S' : Now[I] == D[I] ? 'D' : '?';
    }
    return Out;
  }
  static std::string Expected(const std::set<int>& SSE, const std::set<int>& ThreeDNow) {
    std::string Out(kSlots, 'P');
    for (int I : SSE)
      Out[I] = 'S';
    for (int I : ThreeDNow)
      Out[I] = 'D';
    return Out;
  }
  TableGuard Guard;
  std::vector<uintptr_t> P, S, D;
};

// The fake processor the detection tests present.
struct FakeCpu {
  bool Faults = false;
  bool ExtendedFaults = false;
  uint32_t Leaf1EDX = 0;
  uint32_t MaxExtended = 0x80000000u;
  uint32_t Ext1EDX = 0;
};
FakeCpu gCpu;
std::vector<uint32_t> gAsked;

bool FakeQuery(uint32_t Leaf, TCpuIdRegisters& R) {
  gAsked.push_back(Leaf);
  if (gCpu.Faults || (Leaf >= 0x80000000u && gCpu.ExtendedFaults)) return false;
  R = {};
  if (Leaf == 1) R.EDX = gCpu.Leaf1EDX;
  if (Leaf == 0x80000000u) R.EAX = gCpu.MaxExtended;
  if (Leaf == 0x80000001u) R.EDX = gCpu.Ext1EDX;
  return true;
}

constexpr uint32_t kSseBit = 1u << 25, k3DNowBit = 1u << 31;

uint8_t Detect(const FakeCpu& Cpu) {
  gCpu = Cpu;
  gAsked.clear();
  SetCpuIdQuery(&FakeQuery);
  InitializeConverters();
  return Converters.ProcessorKind;
}

}  // namespace

TEST_F(ConverterTable, TableHoldsThePlainFamilyFromStaticInitialisation) {
  const std::vector<uintptr_t> Start = Slots(kAtStart);
  EXPECT_EQ(Start, P);
  for (uintptr_t Slot : Start)
    EXPECT_NE(Slot, 0u);
  EXPECT_EQ(kAtStart.ProcessorKind, pkPlain);
}

TEST_F(ConverterTable, EachUseCallFillsExactlyItsSlots) {
  Select(Family::SSE);
  EXPECT_EQ(Signature(), Expected(kSseSlots, {}));
  Select(Family::ThreeDNow);
  EXPECT_EQ(Signature(), Expected({}, ThreeDNowSlots()));
  // Each call leaves the other slots as they were.
  UseSSERoutines();
  std::set<int> Rest = ThreeDNowSlots();
  for (int I : kSseSlots)
    Rest.erase(I);
  EXPECT_EQ(Signature(), Expected(kSseSlots, Rest));
  Use3DNowRoutines();
  EXPECT_EQ(Signature(), Expected({kHardClip, kSoftClip}, ThreeDNowSlots()));
  // The SIMD families really are distinct routines where both replace one.
  EXPECT_NE(S[kAdd], D[kAdd]);
  EXPECT_NE(S[WriterSlot(ASIOSTInt32LSB)], D[WriterSlot(ASIOSTInt32LSB)]);
  Converters.ProcessorKind = pk3DNow;
  UsePlainRoutines();
  EXPECT_EQ(Signature(), std::string(kSlots, 'P'));
  EXPECT_EQ(Converters.ProcessorKind, pk3DNow);
}

TEST_F(ConverterTable, DetectionSelectsByReportedExtensions) {
  EXPECT_EQ(Detect({}), pkPlain);
  EXPECT_EQ(Signature(), std::string(kSlots, 'P'));

  EXPECT_EQ(Detect({.Leaf1EDX = kSseBit}), pkSSE);
  EXPECT_EQ(Signature(), Expected(kSseSlots, {}));

  EXPECT_EQ(Detect({.MaxExtended = 0x80000001u, .Ext1EDX = k3DNowBit}), pk3DNow);
  EXPECT_EQ(Signature(), Expected({}, ThreeDNowSlots()));

  // Both: 3DNow! on top of SSE, leaving the SSE clips in place.
  EXPECT_EQ(Detect({.Leaf1EDX = kSseBit, .MaxExtended = 0x80000008u, .Ext1EDX = k3DNowBit}),
            pk3DNow);
  EXPECT_EQ(Signature(), Expected({kHardClip, kSoftClip}, ThreeDNowSlots()));
  // Re-running detection starts from the plain table again.
  EXPECT_EQ(Detect({}), pkPlain);
  EXPECT_EQ(Signature(), std::string(kSlots, 'P'));
}

TEST_F(ConverterTable, DetectionSurvivesFaultsAndShortExtendedRange) {
  Select(Family::SSE);
  EXPECT_EQ(Detect({.Faults = true, .Leaf1EDX = kSseBit}), pkPlain);
  EXPECT_EQ(Signature(), std::string(kSlots, 'P'));

  EXPECT_EQ(Detect({.ExtendedFaults = true, .Leaf1EDX = kSseBit}), pkSSE);
  EXPECT_EQ(Signature(), Expected(kSseSlots, {}));

  // Leaf 0x80000001 only exists when the highest extended leaf exceeds
  // 0x80000000; it is not asked otherwise.
  EXPECT_EQ(Detect({.MaxExtended = 0x80000000u, .Ext1EDX = k3DNowBit}), pkPlain);
  EXPECT_EQ(gAsked, (std::vector<uint32_t>{1, 0x80000000u}));
  EXPECT_EQ(Detect({.Leaf1EDX = ~kSseBit, .MaxExtended = 0x80000001u, .Ext1EDX = ~k3DNowBit}),
            pkPlain);
}

#if defined(__x86_64__)
TEST_F(ConverterTable, EveryX86_64ProcessorReportsSse) {
  SetCpuIdQuery(nullptr);
  InitializeConverters();
  EXPECT_GE(Converters.ProcessorKind, pkSSE);
  EXPECT_EQ(Signature()[kHardClip], 'S');
}
#endif
