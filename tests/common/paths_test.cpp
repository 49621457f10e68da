#include "common/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/test_support.h"

namespace cs {
namespace {

namespace fs = std::filesystem;

struct ExpandRow {
  std::string text;
  fs::path expected;
};

void expectExpansions(const std::vector<ExpandRow>& rows, const char* home) {
  for (const ExpandRow& row : rows) {
    EXPECT_EQ(expandHome(row.text).string(), row.expected.string())
        << "text \"" << row.text << "\" with HOME " << (home != nullptr ? home : "unset");
  }
}

TEST(Paths, ExpandHomeWithHomeSet) {
  const test::ScopedEnvironmentVariable home("HOME", "/home/u");
  EXPECT_EQ(homePath().string(), "/home/u");
  expectExpansions({{"~", "/home/u"},
                    {"~/.steam/debian-installation", "/home/u/.steam/debian-installation"},
                    {"~/", "/home/u/"},
                    {"~user/x", "~user/x"},
                    {"/abs/~/x", "/abs/~/x"},
                    {"~~", "~~"},
                    {"$HOME/x", "$HOME/x"},
                    {"", ""}},
                   "/home/u");
}

TEST(Paths, ExpandHomeWithHomeUnsetGivesRelativePaths) {
  const test::ScopedEnvironmentVariable home("HOME", std::nullopt);
  EXPECT_TRUE(homePath().empty());
  expectExpansions({{"~", ""}, {"~/a/b", "a/b"}, {"~/.local/share/Steam", ".local/share/Steam"}}, nullptr);
}

TEST(Paths, ExpandHomeWithEmptyHomeActsAsUnset) {
  const test::ScopedEnvironmentVariable home("HOME", "");
  EXPECT_TRUE(homePath().empty());
  expectExpansions({{"~", ""}, {"~/a/b", "a/b"}}, "");
}

TEST(Paths, ExpandHomeWithTrailingSlashAddsNoSecondSeparator) {
  const test::ScopedEnvironmentVariable home("HOME", "/home/u/");
  EXPECT_EQ(homePath().string(), "/home/u/");
  expectExpansions({{"~", "/home/u/"}, {"~/x", "/home/u/x"}}, "/home/u/");
}

TEST(Paths, PathExistsFollowsLinksAndFailsQuietly) {
  const test::TempDir dir;
  const fs::path file = dir.path() / "file";
  test::writeFile(file, "x");
  std::error_code ec;
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling", ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(file, dir.path() / "good", ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(dir.path() / "loop", dir.path() / "loop", ec);
  ASSERT_FALSE(ec) << ec.message();

  const std::vector<std::pair<fs::path, bool>> rows = {
      {fs::path(), false},
      {file, true},
      {dir.path(), true},
      {dir.path() / "good", true},
      {dir.path() / "dangling", false},
      {dir.path() / "loop", false},
      {dir.path() / "missing", false},
      {file / "under-a-file", false},
  };
  for (const auto& [path, expected] : rows) EXPECT_EQ(pathExists(path), expected) << "path \"" << path << "\"";
}

TEST(Paths, ReadFileReturnsEveryByte) {
  const test::TempDir dir;
  const std::string withNuls("a\0b\0\0c\xff", 7);
  test::writeFile(dir.path() / "nuls", withNuls);
  test::writeFile(dir.path() / "empty", "");
  std::string large(100000, 'x');
  large[70000] = '\0';
  test::writeFile(dir.path() / "large", large);

  EXPECT_EQ(readFile(dir.path() / "missing"), "");
  EXPECT_EQ(readFile(dir.path() / "empty"), "");
  EXPECT_EQ(readFile(dir.path() / "nuls"), withNuls);
  EXPECT_EQ(readFile(dir.path() / "large"), large);
}

TEST(Paths, ReadFileReadsProcFilesThatReportNoSize) {
  // /proc files claim a size of 0; their content must still come back whole.
  const std::string cmdline = readFile("/proc/self/cmdline");
  ASSERT_FALSE(cmdline.empty());
  EXPECT_EQ(cmdline.back(), '\0');
  EXPECT_NE(cmdline.find("common_tests"), std::string::npos) << cmdline;
}

TEST(Paths, LastWriteTimeFollowsLinksAndIsAbsentForMissingPaths) {
  const test::TempDir dir;
  const fs::path file = dir.path() / "file";
  test::writeFile(file, "x");
  const fs::file_time_type chosen = fs::file_time_type::clock::now() - std::chrono::hours(50);
  std::error_code ec;
  fs::last_write_time(file, chosen, ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(file, dir.path() / "link", ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling", ec);
  ASSERT_FALSE(ec) << ec.message();

  EXPECT_FALSE(lastWriteTime(dir.path() / "missing").has_value());
  EXPECT_FALSE(lastWriteTime(dir.path() / "dangling").has_value());
  EXPECT_FALSE(lastWriteTime(fs::path()).has_value());
  EXPECT_EQ(lastWriteTime(file), chosen);
  EXPECT_EQ(lastWriteTime(dir.path() / "link"), chosen);
}

TEST(Paths, ExecutableDirHoldsTheRunningProgram) {
  const fs::path dir = executableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(dir.is_absolute()) << dir;
  EXPECT_TRUE(pathExists(dir / "common_tests")) << dir;
}

TEST(Paths, CurselloExeIsLookedForBesideTheProgramThenInTheUsersDataDirectory) {
  const test::ScopedEnvironmentVariable home("HOME", "/home/u");
  const fs::path inHome = "/home/u/.local/share/CurselloLinuxLauncher/Cursello.exe";
  const std::vector<std::pair<std::optional<std::string>, fs::path>> rows = {
      {std::nullopt, inHome}, {"relative", inHome}, {"/data", "/data/CurselloLinuxLauncher/Cursello.exe"}};
  for (const auto& [dataHome, inData] : rows) {
    const test::ScopedEnvironmentVariable data("XDG_DATA_HOME", dataHome);
    EXPECT_EQ(curselloExePlaces(), (std::vector<fs::path>{executableDir() / "Cursello.exe", inData}))
        << "XDG_DATA_HOME " << dataHome.value_or("unset");
  }
}

}  // namespace
}  // namespace cs
