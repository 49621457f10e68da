#include "x11/display_watch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace cs {
namespace {

using test::ScopedEnvironmentVariable;
using test::XServer;

TEST(DisplayWatch, EveryNameOfOneDisplayHasOneKey) {
  struct Row {
    const char* name;
    const char* key;
  };
  const Row rows[] = {
      {":1", ":1"}, {":1.0", ":1"}, {"unix:1", ":1"}, {":10", ":10"}, {"localhost:3.1", "localhost:3"},
      // A name that does not parse is its own key: it is never taken for another display.
      {"garbage", "garbage"}, {"", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(displayKey(row.name), row.key) << "\"" << row.name << "\"";
}

std::ptrdiff_t openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

TEST(DisplayWatch, AGameDisplayIsScannedOncePerPassAndClosedAfterAPassThatDidNotAskForIt) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  // Without a display of its own, the watch holds no connection but the games'.
  ScopedEnvironmentVariable noDisplay("DISPLAY", std::nullopt);
  Logger logger;
  DisplayWatch watch(logger, [](const ProcessHandle&) { return true; });
  const std::ptrdiff_t before = openDescriptors();

  for (int pass = 0; pass < 2; ++pass) {
    watch.beginPass();
    const DisplayWatch::Windows& first = watch.gameDisplayWindows(server.display(), pass == 0);
    const DisplayWatch::Windows& again = watch.gameDisplayWindows(server.display() + ".0", false);
    EXPECT_EQ(&first, &again) << "pass " << pass;
    EXPECT_TRUE(first.has_value()) << "pass " << pass;
    watch.endPass();
    // Kept between passes: one connection, not one a pass.
    EXPECT_EQ(openDescriptors(), before + 1) << "pass " << pass;
  }

  watch.beginPass();
  watch.endPass();
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace cs
