#include "x11/display_name.h"

#include <gtest/gtest.h>

namespace cs {
namespace {

TEST(DisplayName, NamesOfOneDisplayCompareEqualWhateverTheirForm) {
  struct Row {
    const char* a;
    const char* b;
    bool same;
  };
  // clang-format off
  const Row rows[] = {
      {":1", ":1", true}, {":1", ":1.0", true}, {":1", "unix:1", true}, {":1.2", "unix/:1.0", true},
      {":99.0", ":99", true}, {"localhost:10.0", "localhost:10", true}, {"tcp/:3", "localhost:3", true},
      {":1", ":10", false}, {":1", ":0", false}, {":1", "localhost:1", false}, {"", ":0", false},
      // Names that do not parse are one display only when they are the same bytes.
      {"", "", true}, {"garbage", "garbage", true}, {"garbage", "other", false}, {":x", ":0", false},
      {":1.", ":1", false}, {":-1", ":1", false}, {"::1:7.1", "::1:7", true},
  };
  // clang-format on
  for (const Row& row : rows) {
    EXPECT_EQ(sameDisplay(row.a, row.b), row.same) << "\"" << row.a << "\" vs \"" << row.b << "\"";
    EXPECT_EQ(sameDisplay(row.b, row.a), row.same) << "\"" << row.b << "\" vs \"" << row.a << "\"";
  }
}

}  // namespace
}  // namespace cs
