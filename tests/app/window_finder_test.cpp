// The poll's window finders on hand-built snapshots and window lists.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/proton_monitor.h"
#include "tests/support/test_support.h"

namespace cs {
namespace {

class WindowFinder : public ::testing::Test {
 protected:
  void SetUp() override {
    // The finders use no X connection; keep the monitor from opening one.
    if (const char* display = std::getenv("DISPLAY")) savedDisplay = display;
    unsetenv("DISPLAY");
    monitor = std::make_unique<ProtonMonitor>();
  }
  void TearDown() override {
    monitor.reset();
    if (!savedDisplay.empty()) setenv("DISPLAY", savedDisplay.c_str(), 1);
  }

  std::string savedDisplay;
  std::unique_ptr<ProtonMonitor> monitor;
  // 100 is the Proton process; 101 its child, 102 its grandchild; 200 is unrelated.
  ProcessSnapshot snapshot = snapshotOf(
      {{100, "game", 1, "", false}, {101, "game", 100, "", false}, {102, "game", 101, "", false},
       {200, "other", 1, "", false}});
};

TEST_F(WindowFinder, FirstListedWindowOfTheGameOrADescendantWins) {
  const std::vector<WindowInfo> windows = {
      {1, 200, "Other program", true},
      {2, 102, "Game", true},
      {3, 100, "Game launcher", true},
  };
  const auto found = monitor->findReadyGameWindow(snapshot, windows, {100});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->xid, 2u);
}

TEST_F(WindowFinder, SkipsCompanionTitlesCaseSensitively) {
  const std::vector<WindowInfo> windows = {
      {1, 100, "Cursello settings", true},
      {2, 100, "the cursello fan page", true},
  };
  const auto found = monitor->findReadyGameWindow(snapshot, windows, {100});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->xid, 2u);
}

TEST_F(WindowFinder, VisibilityIsRequiredOnlyWhenAsked) {
  const std::vector<WindowInfo> windows = {
      {1, 101, "Game (iconified)", false},
      {2, 101, "Game", true},
  };
  EXPECT_EQ(monitor->findGameWindow(snapshot, windows, {100}, false)->xid, 1u);
  EXPECT_EQ(monitor->findGameWindow(snapshot, windows, {100}, true)->xid, 2u);
}

TEST_F(WindowFinder, NothingMatchesAnEmptyPidSetOrWindowsWithoutPid) {
  const std::vector<WindowInfo> windows = {{1, 100, "Game", true}, {2, 0, "Game", true}, {3, -1, "Game", true}};
  EXPECT_FALSE(monitor->findGameWindow(snapshot, windows, {}, false));
  EXPECT_FALSE(monitor->findGameWindow(snapshot, {{2, 0, "Game", true}, {3, -1, "Game", true}}, {0, -1}, false));
}

}  // namespace
}  // namespace cs
