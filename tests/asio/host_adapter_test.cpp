#include <gtest/gtest.h>

#include <cstring>

#include "SubstituteDriver.h"
#include "asio/QuilASIO.h"

namespace asio::test {
namespace {

TEST(HiLo, SplitsAndJoinsSigned64BitValues) {
  EXPECT_EQ(HiLoToInt64(1, 0), 4294967296);
  EXPECT_EQ(HiLoToInt64(1, 5), 4294967301);
  EXPECT_EQ(HiLoToInt64(0xFFFFFFFFu, 0xFFFFFFFFu), -1);
  uint32_t hi = 0, lo = 0;
  Int64ToHiLo(-1, hi, lo);
  EXPECT_EQ(hi, 0xFFFFFFFFu);
  EXPECT_EQ(lo, 0xFFFFFFFFu);
  Int64ToHiLo(4294967301, hi, lo);
  EXPECT_EQ(hi, 1u);
  EXPECT_EQ(lo, 5u);
}

class AdapterTest : public ::testing::Test {
 protected:
  AdapterTest() : Catalogue({Factory.Entry("Sub", TestClassId(1))}) {}
  TSubstituteFactory Factory;
  DriverCatalogue::TScopedCatalogue Catalogue;
};

TEST_F(AdapterTest, UnknownClassIdentifierYieldsNoDriver) {
  TInterfaceRef<IQuilASIO> driver;
  EXPECT_FALSE(CreateQuilASIO(TestClassId(99), driver));
  EXPECT_FALSE(driver);
  // A previously held driver is dropped too.
  ASSERT_TRUE(CreateQuilASIO(TestClassId(1), driver));
  EXPECT_FALSE(CreateQuilASIO(TestClassId(99), driver));
  EXPECT_FALSE(driver);
}

TEST_F(AdapterTest, ForwardsEveryOperationWithArgumentsAndResults) {
  Factory.Config.Capabilities = {kAsioCanTimeInfo};
  Factory.Config.StartResult = ASE_NotPresent;
  TInterfaceRef<IQuilASIO> driver;
  ASSERT_TRUE(CreateQuilASIO(TestClassId(1), driver));
  TSubstituteDriver& sub = *Factory.Last();

  int handle = 0;
  EXPECT_EQ(driver->Init(&handle), ASIOTrue);
  EXPECT_EQ(sub.InitHandle(), &handle);
  EXPECT_EQ(driver->GetDriverVersion(), 3);
  EXPECT_EQ(driver->Start(), ASE_NotPresent);  // results pass unchanged
  int32_t a = 0, b = 0, c = 0, d = 0;
  driver->GetChannels(&a, &b);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 2);
  driver->GetBufferSize(&a, &b, &c, &d);
  EXPECT_EQ((std::vector<int32_t>{a, b, c, d}), (std::vector<int32_t>{64, 1024, 256, -1}));
  double rate = 0;
  driver->GetSampleRate(&rate);
  EXPECT_EQ(rate, 48000.0);
  driver->SetSampleRate(96000.0);
  EXPECT_EQ(sub.LastSetSampleRate(), 96000.0);
  ASIOChannelInfo info{};
  info.channel = 1;
  info.isInput = ASIOFalse;
  EXPECT_EQ(driver->GetChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Out 2");

  // Future: only ASE_SUCCESS means present; ASE_OK does not.
  EXPECT_EQ(driver->Future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
  EXPECT_EQ(driver->Future(kAsioCanTimeCode, nullptr), ASE_OK);

  driver->Stop();
  driver->ControlPanel();
  driver->DisposeBuffers();
  const std::vector<TDriverOp> expected = {TDriverOp::Init,          TDriverOp::GetDriverVersion,
                                           TDriverOp::Start,         TDriverOp::GetChannels,
                                           TDriverOp::GetBufferSize, TDriverOp::GetSampleRate,
                                           TDriverOp::SetSampleRate, TDriverOp::GetChannelInfo,
                                           TDriverOp::Future,        TDriverOp::Future,
                                           TDriverOp::Stop,          TDriverOp::ControlPanel,
                                           TDriverOp::DisposeBuffers};
  EXPECT_EQ(sub.Log(), expected);
}

TEST_F(AdapterTest, ReleasingTheLastReferenceReleasesTheDriverObject) {
  TInterfaceRef<IQuilASIO> driver;
  ASSERT_TRUE(CreateQuilASIO(TestClassId(1), driver));
  TSubstituteDriver* sub = Factory.Last();
  EXPECT_EQ(sub->RefCount(), 2u);  // the factory's and the adapter's
  {
    TInterfaceRef<IQuilASIO> copy = driver;
    void* same = nullptr;
    EXPECT_EQ(copy->QueryInterface(IID_IQuilASIO, &same), S_OK);
    EXPECT_EQ(same, static_cast<void*>(driver.Get()));
    copy->Release();  // the reference QueryInterface added
    void* none = &same;
    EXPECT_EQ(copy->QueryInterface(TestClassId(7), &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
  }
  driver.Reset();
  EXPECT_EQ(sub->RefCount(), 1u);
}

}  // namespace
}  // namespace asio::test
