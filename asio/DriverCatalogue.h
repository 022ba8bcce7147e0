#pragma once
// The built-in drivers that stand in for installed, registered ones on a
// platform without a driver registry. Each entry has a class identifier
// that never changes between runs; creating a driver object for a class
// identifier looks it up here.
#include <functional>
#include <string>
#include <vector>

#include "asio/ASIODriver.h"

namespace asio {

struct TCatalogueEntry {
  TGUID ClassId{};
  std::string Name;         // shown in the driver list
  std::string LibraryPath;  // what serves it; informational only
  // A new driver object holding one reference, or nullptr.
  std::function<IASIODriver*()> Create;
};

// A source answers its usable entries, in a stable order, each time the
// list is built (a device that does not open is left out).
using TCatalogueSource = std::function<std::vector<TCatalogueEntry>()>;

namespace DriverCatalogue {

// Sources are asked in ascending Rank (then registration order).
void RegisterSource(int Rank, TCatalogueSource Source);
// Every source's entries, concatenated; the result is also kept as the
// snapshot that CreateDriverObject searches.
std::vector<TCatalogueEntry> Entries();
// The driver object for ClassId from the last snapshot (built first if
// none was taken yet), or nullptr.
IASIODriver* CreateDriverObject(const TGUID& ClassId);

// Replaces every registered source with a fixed list while it lives;
// for tests.
class TScopedCatalogue {
 public:
  explicit TScopedCatalogue(std::vector<TCatalogueEntry> Fixed);
  ~TScopedCatalogue();
  TScopedCatalogue(const TScopedCatalogue&) = delete;
  TScopedCatalogue& operator=(const TScopedCatalogue&) = delete;
};

}  // namespace DriverCatalogue
}  // namespace asio
