// The strict reading of the window watcher's lines, which share a pipe with whatever the game writes into it.
#include "launch/window_watch_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace cs {
namespace {

TEST(WatchLine, TheWatchersRecordsAreRead) {
  // As the watcher wrote them under wine 8: a path's "\" and a title's tab escaped, UTF-8 as it is.
  EXPECT_EQ(parseWatchLine("started\t1\tsystem"), WatchRecord(WatchStarted{.version = 1, .systemProcess = true}));
  EXPECT_EQ(parseWatchLine("started\t1\tcounting"), WatchRecord(WatchStarted{.version = 1, .systemProcess = false}));
  EXPECT_EQ(parseWatchLine("shown\t1009a\t280\t320\t240\tC:\\x5cwindow_kinds.exe\tWatched\\x09Game \xc3\xa9"),
            WatchRecord(WatchWindowShown{.window = 0x1009a,
                                         .windowsPid = 280,
                                         .width = 320,
                                         .height = 240,
                                         .imagePath = "C:\\window_kinds.exe",
                                         .title = "Watched\tGame \xc3\xa9"}));
  EXPECT_EQ(parseWatchLine("gone\tffffffffffffffff"), WatchRecord(WatchWindowGone{.window = ~0ULL}));
  // An unreadable image and an untitled window; every byte that must be escaped comes back.
  EXPECT_EQ(parseWatchLine("shown\t10\t2147483647\t2\t2147483647\t\t\\x00\\x1f\\x7f\\x5c\\x0a"),
            WatchRecord(WatchWindowShown{.window = 0x10,
                                         .windowsPid = 2147483647,
                                         .width = 2,
                                         .height = 2147483647,
                                         .imagePath = "",
                                         .title = std::string("\0\x1f\x7f\\\n", 5)}));
}

TEST(WatchLine, AnyOtherShapeIsRefused) {
  const std::string shown = "shown\t10\t32\t320\t240\tC:\\x5cg.exe";
  // clang-format off
  const std::vector<std::string> lines = {
      "", "started", "started\t1", "started\t0\tsystem", "started\t1\tsystem\t", "started\t1\tSystem",
      "gone", "gone\t", "gone\t0", "gone\t0a", "gone\tA", "gone\t0x1a", "gone\t1a\t", "gone\t1a\r", "gone 1a",
      "gone\t10000000000000000", "gone\t-1", "Gone\t1a", " gone\t1a",
      shown,          // six fields
      shown + "\tt\t",  // eight
      "shown\t10\t0\t320\t240\t\tt", "shown\t10\t32\t1\t240\t\tt", "shown\t10\t32\t320\t1\t\tt",
      "shown\t10\t032\t320\t240\t\tt", "shown\t10\t32\t+320\t240\t\tt", "shown\t10\t32\t2147483648\t240\t\tt",
      "shown\t10\t4294967328\t320\t240\t\tt",
      "shown\t10\t32\t320\t240\t\t\x1b[2J", "shown\t10\t32\t320\t240\t\t\x7f", "shown\t10\t32\t320\t240\t\tline\nshown",
      "shown\t10\t32\t320\t240\tC:\\g.exe\tt",  // a bare "\"
      "shown\t10\t32\t320\t240\t\t\\x41",       // an escape no byte needs
      "shown\t10\t32\t320\t240\t\t\\x0A", "shown\t10\t32\t320\t240\t\t\\n", "shown\t10\t32\t320\t240\t\t\\x0",
      "shown\t10\t32\t320\t240\t\t\\"};
  // clang-format on
  for (const std::string& line : lines) EXPECT_EQ(parseWatchLine(line), std::nullopt) << line;
}

TEST(WatchLine, ALineWithItsNewlineFitsTheCap) {
  const std::string head = "shown\t10\t32\t320\t240\t\t";
  const std::string longest = head + std::string(kWatchLineMax - 1 - head.size(), 't');
  EXPECT_TRUE(parseWatchLine(longest).has_value());
  EXPECT_EQ(parseWatchLine(longest + "t"), std::nullopt);
}

}  // namespace
}  // namespace cs
