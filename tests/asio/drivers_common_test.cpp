// What every built-in driver shares: identities, catalogue order, the
// buffer contract and the control panel's reset path.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "asio/DriverCatalogue.h"
#include "asio/drivers/linux/LinuxDrivers.h"
#include "drivers_stand_in.h"

using namespace asio;
using namespace asio::drivers;
using rigtest::TStandInHost;

namespace {

// Removes the hook and the picks a test left behind.
struct TPanelGuard {
  ~TPanelGuard() {
    SetControlPanelHook({});
    ClearDriverSettings();
    while (core::MainThread::CheckSynchronize()) {
    }
  }
};

IASIODriver* NewSelfClocked() {
  IASIODriver* d = CreateSelfClockedDriver(TSelfClockedOptions{});
  EXPECT_EQ(d->init(nullptr), ASIOTrue);
  return d;
}

}  // namespace

TEST(DriverIdentity, ClassIdsAreStablePerNameAndDistinctAcrossNames) {
  EXPECT_EQ(NameBasedClassId("alsa", "hw:0,0"), NameBasedClassId("alsa", "hw:0,0"));
  std::set<std::string> seen;
  for (auto [kind, dev] : {std::pair{"alsa", "hw:0,0"},
                           {"alsa", "plughw:0,0"},
                           {"alsa", "default"},
                           {"jack", "default"},
                           {"alsaj", "ack:default"},
                           {"self-clocked", "discard"}}) {
    TGUID g = NameBasedClassId(kind, dev);
    seen.insert(std::string(reinterpret_cast<const char*>(&g), sizeof g));
  }
  EXPECT_EQ(seen.size(), 6u);  // "alsa"+"jack:..." must not collide with "alsaj"+"ack:..."
}

TEST(DriverIdentity, CatalogueListsSelfClockedEntriesLastAndRegistersOnce) {
  RegisterPlatformDrivers();
  RegisterPlatformDrivers();
  std::vector<TCatalogueEntry> all = DriverCatalogue::Entries();
  ASSERT_GE(all.size(), RIG_WITH_SNDFILE ? 2u : 1u);
  const std::size_t discard = all.size() - (RIG_WITH_SNDFILE ? 2 : 1);
  EXPECT_EQ(all[discard].Name, "Self-clocked (discard)");
  if (RIG_WITH_SNDFILE) {
    EXPECT_EQ(all.back().Name, "Self-clocked (WAV recorder)");
  }
  std::size_t jack = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].Name == "JACK") {
      ++jack;
      EXPECT_LT(i, discard);
      for (std::size_t j = i + 1; j < all.size(); ++j)
        EXPECT_NE(all[j].Name.rfind("ALSA", 0), 0u) << "ALSA entries come before JACK";
    }
  }
#if RIG_WITH_JACK
  EXPECT_EQ(jack, JackServerReachable() ? 1u : 0u);
#else
  EXPECT_EQ(jack, 0u);
#endif
  // The entry usable everywhere is creatable through its class identifier.
  IASIODriver* d = DriverCatalogue::CreateDriverObject(all[discard].ClassId);
  ASSERT_NE(d, nullptr);
  char name[32];
  d->getDriverName(name);
  EXPECT_STREQ(name, "Self-clocked (discard)");
  d->Release();
}

TEST(DriverBuffers, CreateBuffersChecksChannelsAndSizeAndFillsAlignedHalves) {
  IASIODriver* d = NewSelfClocked();
  ASIOBufferInfo bad[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 2, {}}};
  ASIOBufferInfo one[1] = {{ASIOFalse, 0, {}}};
  EXPECT_NE(d->createBuffers(one, 1, 256, nullptr), ASE_OK);
  // Channel out of range, the same channel twice, a size outside the range.
  ASIOCallbacks callbacks{[](int32_t, ASIOBool) {}, nullptr, nullptr, nullptr};
  EXPECT_EQ(d->createBuffers(bad, 2, 256, &callbacks), ASE_InvalidParameter);
  ASIOBufferInfo twice[2] = {{ASIOFalse, 1, {}}, {ASIOFalse, 1, {}}};
  EXPECT_EQ(d->createBuffers(twice, 2, 256, &callbacks), ASE_InvalidParameter);
  ASIOBufferInfo good[2] = {{ASIOFalse, 1, {}}, {ASIOFalse, 0, {}}};
  EXPECT_NE(d->createBuffers(good, 2, 8, &callbacks), ASE_OK);
  ASSERT_EQ(d->createBuffers(good, 2, 100, &callbacks), ASE_OK);
  for (auto& b : good) {
    for (void* half : b.buffers) {
      ASSERT_NE(half, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(half) % 16, 0u);
    }
  }
  // Halves must not overlap: fill each completely and read back.
  for (int c = 0; c < 2; ++c)
    for (int h = 0; h < 2; ++h)
      std::memset(good[c].buffers[h], c * 2 + h + 1, 100 * sizeof(float));
  for (int c = 0; c < 2; ++c)
    for (int h = 0; h < 2; ++h)
      EXPECT_EQ(static_cast<uint8_t*>(good[c].buffers[h])[399], c * 2 + h + 1);
  ASIOChannelInfo info{};
  info.channel = 1;
  info.isInput = ASIOFalse;
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTFloat32LSB);
  EXPECT_EQ(info.isActive, ASIOTrue);
  info.channel = 2;
  EXPECT_NE(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(d->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
  EXPECT_NE(d->future(kAsioCanTimeCode, nullptr), ASE_SUCCESS);
  d->Release();
}

TEST(ControlPanel, WithoutAHookNothingChanges) {
  TPanelGuard guard;
  IASIODriver* d = NewSelfClocked();
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 256), ASE_OK);
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  EXPECT_EQ(core::MainThread::Pending(), 0u);
  d->Release();
}

TEST(ControlPanel, APickReachesTheHostAsAResetAndTheNextObjectUsesIt) {
  TPanelGuard guard;
  TPanelChoices seen;
  SetControlPanelHook([&](const TPanelChoices& Choices, TPanelPick& Pick) {
    seen = Choices;
    Pick.BufferSize = 512;
    return true;
  });
  IASIODriver* d = NewSelfClocked();
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 256), ASE_OK);
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  EXPECT_EQ(seen.CurrentBufferSize, 256);
  EXPECT_TRUE(seen.Formats.empty());
  EXPECT_NE(std::find(seen.BufferSizes.begin(), seen.BufferSizes.end(), 512),
            seen.BufferSizes.end());
  // The reset is carried out on the main thread, never inside the panel.
  EXPECT_EQ(host.Resets.load(), 0);
  core::MainThread::CheckSynchronize();
  EXPECT_EQ(host.Resets.load(), 1);
  d->Release();

  IASIODriver* next = NewSelfClocked();
  int32_t mn, mx, pref, gran;
  next->getBufferSize(&mn, &mx, &pref, &gran);
  EXPECT_EQ(pref, 512);
  // Picking what is already in use asks for no reset.
  TStandInHost again;
  ASSERT_EQ(again.Setup(next, 512), ASE_OK);
  next->controlPanel();
  core::MainThread::CheckSynchronize();
  EXPECT_EQ(again.Resets.load(), 0);
  next->Release();
}

TEST(ControlPanel, AResetPostedForBuffersThatAreGoneIsNotDelivered) {
  TPanelGuard guard;
  SetControlPanelHook([](const TPanelChoices&, TPanelPick& Pick) {
    Pick.BufferSize = 1024;
    return true;
  });
  IASIODriver* d = NewSelfClocked();
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 256), ASE_OK);
  d->controlPanel();
  d->controlPanel();  // a second request while one waits adds nothing
  d->Release();       // the host unloaded the driver meanwhile
  core::MainThread::CheckSynchronize();
  EXPECT_EQ(host.Resets.load(), 0);
}

TEST(ControlPanel, ACancelledPanelChangesNothing) {
  TPanelGuard guard;
  SetControlPanelHook([](const TPanelChoices&, TPanelPick& Pick) {
    Pick.BufferSize = 1024;
    return false;
  });
  IASIODriver* d = NewSelfClocked();
  TStandInHost host;
  ASSERT_EQ(host.Setup(d, 256), ASE_OK);
  d->controlPanel();
  core::MainThread::CheckSynchronize();
  EXPECT_EQ(host.Resets.load(), 0);
  EXPECT_EQ(GetDriverSettings("Self-clocked (discard)").BufferSize, 0);
  d->Release();
}
