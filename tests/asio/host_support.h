#pragma once
// A host beside a catalogue of substitute drivers.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SubstituteDriver.h"
#include "asio/DASIOConvert.h"
#include "asio/DASIOHost.h"
#include "asio/DriverCatalogue.h"
#include "core/MainThread.h"
#include "core/StatusChannel.h"

namespace asio::test {

class HostFixture : public ::testing::Test {
 protected:
  // Catalogue entries "Drv0".."Drv<n-1>", each from its own factory.
  void Install(int Drivers) {
    std::vector<TCatalogueEntry> entries;
    for (int i = 0; i < Drivers; ++i) {
      Factories.push_back(std::make_unique<TSubstituteFactory>());
      entries.push_back(Factories.back()->Entry("Drv" + std::to_string(i), TestClassId(i)));
    }
    Catalogue.emplace(std::move(entries));
  }
  TASIOHost& MakeHost() {
    Host = std::make_unique<TASIOHost>();
    return *Host;
  }
  void SetUp() override {
    UsePlainRoutines();
    core::StatusChannel().Drain();
    while (core::MainThread::CheckSynchronize()) {
    }
  }
  void TearDown() override {
    Host.reset();
    while (core::MainThread::CheckSynchronize()) {
    }
  }
  // The host's status records posted since the last call.
  static std::vector<core::TStatusRecord> TakeHostStatus() {
    std::vector<core::TStatusRecord> records;
    core::TStatusRecord r;
    while (core::StatusChannel().Read(r))
      if (r.Source == core::ssHost) records.push_back(r);
    return records;
  }
  TSubstituteFactory& F(int I = 0) { return *Factories.at(I); }
  TSubstituteDriver& D(int I = 0) { return *Factories.at(I)->Last(); }

  // Declared in this order so the host goes first, then the catalogue,
  // then the factories its entries refer to.
  std::vector<std::unique_ptr<TSubstituteFactory>> Factories;
  std::optional<DriverCatalogue::TScopedCatalogue> Catalogue;
  std::unique_ptr<TASIOHost> Host;
};

}  // namespace asio::test
