#pragma once
#include "core/Types.h"

namespace core {

// Base of the non-visual components. It reproduces the two-phase start of a
// stored component: while loading, setters only store their values; the
// end-of-loading notification (Loaded) then lets the component act once on
// the complete set.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner = nullptr) : FOwner(AOwner) {}
  ~TComponent() override = default;

  TComponent* Owner() const { return FOwner; }
  bool IsLoading() const { return FLoading; }

  // The framework's side: enter the loading state, set the stored
  // properties, then EndLoading, which runs Loaded.
  void BeginLoading() { FLoading = true; }
  void EndLoading() {
    if (FLoading) Loaded();
  }

 protected:
  // End-of-loading notification. Overrides call the base first: it leaves
  // the loading state.
  virtual void Loaded() { FLoading = false; }

 private:
  TComponent* FOwner;
  bool FLoading = false;
};

}  // namespace core
