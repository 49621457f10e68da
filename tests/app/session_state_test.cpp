#include "app/session_state.h"

#include <gtest/gtest.h>

namespace cs {
namespace {

TEST(SessionRules, LaunchOnlyWhenWaitingWithProtonAndReadyWindow) {
  struct Row {
    SessionPhase phase;
    bool proton;
    bool window;
    bool launch;
  };
  const Row rows[] = {
      {SessionPhase::Waiting, true, true, true},   {SessionPhase::Waiting, true, false, false},
      {SessionPhase::Waiting, false, true, false}, {SessionPhase::Waiting, false, false, false},
      {SessionPhase::Launched, true, true, false}, {SessionPhase::Launched, false, false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(shouldLaunchCursello(row.phase, row.proton, row.window), row.launch)
        << "phase=" << static_cast<int>(row.phase) << " proton=" << row.proton << " window=" << row.window;
  }
}

TEST(SessionRules, MissedWindowsCountOnlyAfterTheCompanionEndedAndNotWhileTheDisplayIsUnknown) {
  SessionState launched;
  launched.phase = SessionPhase::Launched;
  launched.childGone = true;
  launched.missingWindowPolls = 3;
  EXPECT_EQ(countMissingWindowPolls(launched, false), 4);
  EXPECT_EQ(countMissingWindowPolls(launched, std::nullopt), 3) << "a late display clears no session";
  EXPECT_EQ(countMissingWindowPolls(launched, true), 0);
  launched.childGone = false;
  EXPECT_EQ(countMissingWindowPolls(launched, false), 0);
}

TEST(SessionRules, DifferentWindowOnlyAfterALaunch) {
  SessionState fresh;
  EXPECT_FALSE(isDifferentLaunchedWindow(fresh, WindowInfo{5, 100, "x", true}));
  EXPECT_FALSE(isDifferentLaunchedWindow(fresh, WindowInfo{0, -1, "", false}));

  SessionState launched;
  launched.phase = SessionPhase::Launched;
  launched.launchedWindowXid = 5;
  launched.launchedWindowPid = 100;
  EXPECT_FALSE(isDifferentLaunchedWindow(launched, WindowInfo{5, 100, "other title", false}));
  EXPECT_TRUE(isDifferentLaunchedWindow(launched, WindowInfo{6, 100, "", true}));
  EXPECT_TRUE(isDifferentLaunchedWindow(launched, WindowInfo{5, 101, "", true}));
}

TEST(SessionRules, WindowLogTextIsDecimalWithTheTitlesControlsEscaped) {
  // A newline in a title must not start a line of its own in the log.
  EXPECT_EQ(windowLogText(WindowInfo{4194311, 1234, "Game \"One\"\nTwo", true}),
            "xid=4194311 pid=1234 title=\"Game \"One\"\\x0aTwo\"");
  EXPECT_EQ(windowLogText(WindowInfo{18446744073709551615ULL, -1, "", false}),
            "xid=18446744073709551615 pid=-1 title=\"\"");
}

TEST(SessionRules, AWineWindowIsLoggedByItsWindowsHandleAndProcess) {
  EXPECT_EQ(windowLogText(WindowInfo{0x2006a, 4321, "Game\tOne", true, 32}),
            "hwnd=0x2006a winpid=32 title=\"Game\\x09One\"");
}

}  // namespace
}  // namespace cs
