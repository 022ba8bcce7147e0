#include <gtest/gtest.h>

#include "core/Component.h"

namespace {

class TProbe : public core::TComponent {
 public:
  using TComponent::TComponent;
  int LoadedCalls = 0;
  bool LoadingSeenInLoaded = true;

 protected:
  void Loaded() override {
    TComponent::Loaded();
    LoadingSeenInLoaded = IsLoading();
    ++LoadedCalls;
  }
};

TEST(Component, LoadingStateEndsInLoadedOnce) {
  TProbe owner;
  TProbe c(&owner);
  EXPECT_EQ(c.Owner(), &owner);
  EXPECT_FALSE(c.IsLoading());
  c.EndLoading();  // not loading: no notification
  EXPECT_EQ(c.LoadedCalls, 0);
  c.BeginLoading();
  EXPECT_TRUE(c.IsLoading());
  c.EndLoading();
  EXPECT_EQ(c.LoadedCalls, 1);
  EXPECT_FALSE(c.LoadingSeenInLoaded);
  c.EndLoading();
  EXPECT_EQ(c.LoadedCalls, 1);
}

}  // namespace
