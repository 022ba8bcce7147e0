#include "asio/DriverCatalogue.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace asio {
namespace DriverCatalogue {
namespace {

struct TSource {
  int Rank;
  TCatalogueSource Answer;
};

struct TState {
  std::mutex Lock;
  std::vector<TSource> Sources;
  std::optional<std::vector<TCatalogueEntry>> Fixed;
  std::optional<std::vector<TCatalogueEntry>> Snapshot;
};

TState& State() {
  static TState state;
  return state;
}

}  // namespace

void RegisterSource(int Rank, TCatalogueSource Source) {
  TState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  auto at = std::upper_bound(s.Sources.begin(), s.Sources.end(), Rank,
                             [](int r, const TSource& src) { return r < src.Rank; });
  s.Sources.insert(at, TSource{Rank, std::move(Source)});
}

std::vector<TCatalogueEntry> Entries() {
  TState& s = State();
  std::vector<TSource> sources;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Fixed) {
      s.Snapshot = s.Fixed;
      return *s.Fixed;
    }
    sources = s.Sources;
  }
  // Sources may probe devices, which takes time: ask them unlocked.
  std::vector<TCatalogueEntry> all;
  for (const TSource& src : sources) {
    if (!src.Answer) continue;
    std::vector<TCatalogueEntry> part = src.Answer();
    for (auto& e : part)
      all.push_back(std::move(e));
  }
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Snapshot = all;
  return all;
}

IASIODriver* CreateDriverObject(const TGUID& ClassId) {
  TState& s = State();
  bool haveSnapshot;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    haveSnapshot = s.Snapshot.has_value();
  }
  if (!haveSnapshot) Entries();
  std::function<IASIODriver*()> create;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    for (const TCatalogueEntry& e : *s.Snapshot) {
      if (e.ClassId == ClassId) {
        create = e.Create;
        break;
      }
    }
  }
  return create ? create() : nullptr;
}

TScopedCatalogue::TScopedCatalogue(std::vector<TCatalogueEntry> Fixed) {
  TState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Fixed = std::move(Fixed);
  s.Snapshot.reset();
}

TScopedCatalogue::~TScopedCatalogue() {
  TState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Fixed.reset();
  s.Snapshot.reset();
}

}  // namespace DriverCatalogue
}  // namespace asio
