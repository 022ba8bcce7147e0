#pragma once
// The Qt main window over a simulated serial port ("COM1" and "COM2" exist,
// nothing else does), the substitute audio driver and a virtual clock.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <chrono>
#include <memory>
#include <thread>

#include "SubstituteDriver.h"
#include "app/qt/fKeyerWindow.h"
#include "asio/DriverCatalogue.h"
#include "core/MainThread.h"
#include "serial/SimulatedPort.h"

namespace app::testing {

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Devices.AddPort("COM1");
    Devices.AddPort("COM2");
    Factory.Config.MinSize = 16;
    Factory.Config.PreferredSize = 48;
    Factory.Config.OutputLatency = 512;
  }

  // Builds the window; FormCreate runs inside.
  void Create(int Drivers = 1) {
    std::vector<asio::TCatalogueEntry> entries;
    for (int i = 0; i < Drivers; ++i)
      entries.push_back(Factory.Entry("Substitute " + std::to_string(i + 1),
                                      asio::test::TestClassId(static_cast<uint32_t>(i + 1))));
    Catalogue = std::make_unique<asio::DriverCatalogue::TScopedCatalogue>(entries);
    TKeyerPlatform platform;
    platform.Devices = &Devices;
    platform.Clock = &Clock;
    platform.DevicePaths = {"/dev/serial/by-id/usb-Test_Paddle-if00"};
    Window = std::make_unique<qt::TfrmKeyerWindow>(platform);
  }

  void TearDown() override {
    Clock.SetOnSleep(nullptr);
    Window.reset();
    Catalogue.reset();
    // Nothing may be left for the main thread.
    core::MainThread::CheckSynchronize();
  }

  // Pumps (real time) until Done, at most a few seconds.
  template <typename Pred>
  bool PumpUntil(Pred Done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      core::ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::string Latency() const { return Window->labLatency->text().toStdString(); }

  serial::TSimulatedPortDriver Devices;
  asio::test::TSubstituteFactory Factory;
  core::TVirtualClock Clock;
  std::unique_ptr<asio::DriverCatalogue::TScopedCatalogue> Catalogue;
  std::unique_ptr<qt::TfrmKeyerWindow> Window;
};

}  // namespace app::testing
