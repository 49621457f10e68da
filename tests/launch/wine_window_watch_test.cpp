#include "launch/wine_window_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

// A watcher started by the sandbox helper: the launcher holds only the pipe's read end, which a pass reads without
// waiting, and which no child of the launcher inherits.
TEST(WineWindowWatch, AnAdoptedWatcherIsReadWithoutWaitingUntilItsPipeEnds) {
  std::string error;
  std::optional<WatchPipe> pipe = makeWatchPipe(error);
  ASSERT_TRUE(pipe) << error;
  EXPECT_EQ(fcntl(pipe->readEnd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(fcntl(pipe->writeEnd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  const std::unique_ptr<WineWindowWatch> watch = WineWindowWatch::adopt(4242, std::move(pipe->readEnd));
  watch->read();
  EXPECT_FALSE(watch->pipeClosed());
  const std::string bytes = "started\t1\tsystem\n" + shown("a", "Game");
  ASSERT_EQ(write(pipe->writeEnd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  watch->read();
  ASSERT_EQ(watch->records().windows().size(), 1u);
  EXPECT_EQ(watch->records().windows()[0].title, "Game");
  pipe->writeEnd = FileDescriptor();
  watch->read();
  EXPECT_TRUE(watch->pipeClosed());
  EXPECT_EQ(watch->pid(), 4242);
}

}  // namespace
}  // namespace cs
