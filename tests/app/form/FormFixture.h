#pragma once
// The toolkit-free form over a fake view, a simulated serial port ("COM1"
// and "COM2" exist, nothing else does; faults can be injected), the substitute audio driver and a
// virtual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "FakeKeyerView.h"
#include "FaultyPort.h"
#include "SubstituteDriver.h"
#include "app/form/fKeyer.h"
#include "asio/DriverCatalogue.h"
#include "core/MainThread.h"
#include "core/MessagePump.h"
#include "core/StatusChannel.h"
#include "serial/SimulatedPort.h"

namespace app::testing {

// The main-thread pump with a script run at the start of every pump, where
// a front end would handle the window's input (a key press, say).
class TScriptedPump final : public core::IMessagePump {
 public:
  std::function<void()> OnPump;
  void ProcessMessages() override {
    if (OnPump) OnPump();
    core::ProcessMessages();
  }
  void IdleWait(uint32_t Milliseconds) override { core::MainThread::WaitForCalls(Milliseconds); }
};

class FormFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    core::StatusChannel().Drain();
    Devices.AddPort("COM1");
    Devices.AddPort("COM2");
    Factory.Config.MinSize = 16;
    Factory.Config.PreferredSize = 48;
    Factory.Config.OutputLatency = 512;
  }

  // Builds the form; FormCreate runs inside.
  void Create(int Drivers = 1, serial::IPortDriver* PortDriver = nullptr,
              std::vector<std::string> DevicePaths = {"/dev/serial/by-id/usb-Test_Paddle-if00"}) {
    std::vector<asio::TCatalogueEntry> entries;
    for (int i = 0; i < Drivers; ++i)
      entries.push_back(Factory.Entry("Substitute " + std::to_string(i + 1),
                                      asio::test::TestClassId(static_cast<uint32_t>(i + 1))));
    Catalogue = std::make_unique<asio::DriverCatalogue::TScopedCatalogue>(entries);
    TKeyerPlatform platform;
    platform.Devices = PortDriver ? PortDriver : &Devices;
    platform.Clock = &Clock;
    platform.DevicePaths = std::move(DevicePaths);
    platform.RecordDirectory = RecordDirectory;
    Form = std::make_unique<TfrmKeyer>(View, Pump, platform);
    View.OnCloseWindow = [this] { Form->FormClose(); };
  }

  void TearDown() override {
    Clock.SetOnSleep(nullptr);
    Form.reset();
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
      Form->CheckStatus();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // Chooses item Index of the port list, as the operator does.
  void ChoosePort(int Index) {
    View.ComboBox1Index = Index;
    Form->ComboBox1Change();
  }

  serial::TFaultyPortDriver Devices;
  asio::test::TSubstituteFactory Factory;
  core::TVirtualClock Clock;
  TScriptedPump Pump;
  TFakeKeyerView View;
  std::unique_ptr<asio::DriverCatalogue::TScopedCatalogue> Catalogue;
  std::unique_ptr<TfrmKeyer> Form;
  std::string RecordDirectory;
};

}  // namespace app::testing
