#include "launch/wine_window_watch.h"

#include <gtest/gtest.h>

#include <string>

namespace cs {
namespace {

std::string shown(const std::string& hwnd, const std::string& title) {
  return "shown\t" + hwnd + "\t32\t800\t600\tZ:\\x5cg\\x5cgame.exe\t" + title + "\n";
}

TEST(WatchedWindows, OnlyWholeLinesOfTheirShapeCountOnceTheWatcherHasStarted) {
  WatchedWindows records;
  // Before "started", in pieces that split lines anywhere, a line too long and a line of another shape.
  const std::string bytes = shown("a", "early") + "started\t1\tsystem\n" + shown("b", std::string(1100, 'x')) +
                            "stand-in wine 12 started\n" + shown("c", "Game") + "started\t1\tcounting\n" +
                            shown("c", "again") + "gone\td\n" + shown("e", "Other") + "gone\te\n" + shown("f", "Last");
  for (std::size_t at = 0; at < bytes.size(); at += 7) records.take(std::string_view(bytes).substr(at, 7));
  ASSERT_TRUE(records.started());
  ASSERT_EQ(records.windows().size(), 2u);
  EXPECT_EQ(records.windows()[0].title, "Game");
  EXPECT_EQ(records.windows()[1].title, "Last");
  EXPECT_EQ(records.droppedLines(), 6u);
}

TEST(WatchedWindows, AFloodOfWindowsKeepsOnlyTheFirstFew) {
  WatchedWindows records;
  records.take("started\t1\tsystem\n");
  for (int i = 1; i <= 1000; ++i) records.take(shown(std::to_string(100000 + i), "w"));
  EXPECT_EQ(records.windows().size(), WatchedWindows::kMaxWindows);
}

TEST(WatchedWindows, WinesOwnProgramsAreThoseBelowItsWindowsFolder) {
  EXPECT_TRUE(isWineProgramImage("C:\\WINDOWS\\system32\\explorer.exe"));
  EXPECT_FALSE(isWineProgramImage("Z:\\windows\\game.exe"));
}

}  // namespace
}  // namespace cs
