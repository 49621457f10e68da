#include "steam/proton_runtime.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/paths.h"
#include "tests/support/test_support.h"

namespace cs {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;

constexpr std::size_t kMiB = 1024 * 1024;

// Makes library/steamapps/common/<name>, with its wine loader unless told otherwise, and returns the directory.
fs::path makeBuild(const fs::path& library, const std::string& name, bool withWine = true) {
  const fs::path dir = library / "steamapps/common" / name;
  if (withWine) {
    test::writeFile(dir / "files/bin/wine", "#!/bin/sh\n");
  } else {
    std::error_code ec;
    fs::create_directories(dir / "files/lib", ec);
  }
  return dir;
}

void setTime(const fs::path& path, fs::file_time_type time) {
  std::error_code ec;
  fs::last_write_time(path, time, ec);
  ASSERT_FALSE(ec) << path << ": " << ec.message();
}

// Gives the path a modification time in the year 2286, which the file-system clock of the library cannot
// represent, so its time reads as missing. Returns false when the file system would not keep it.
bool setUnreadableTime(const fs::path& path) {
  const timespec times[2] = {{0, UTIME_OMIT}, {10'000'000'000, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 && !lastWriteTime(path).has_value();
}

fs::path wineOf(const fs::path& dir) { return dir / "files/bin/wine"; }

TEST(ProtonDirFromCmdline, TakesTheTextInFrontOfTheAcceptedScript) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {"/lib/steamapps/common/Proton 9.0/proton waitforexitandrun /g/game.exe", "/lib/steamapps/common/Proton 9.0"},
      {"/lib/steamapps/common/Proton 9.0/proton", "/lib/steamapps/common/Proton 9.0"},
      {"/lib/steamapps/common/P/proton\trun", "/lib/steamapps/common/P"},
      {"/lib/steamapps/common/P/proton\nrun", "/lib/steamapps/common/P"},
      {"/lib/steamapps/common/P/proton\v", "/lib/steamapps/common/P"},
      {"/lib/steamapps/common/P/proton\f", "/lib/steamapps/common/P"},
      {"/lib/steamapps/common/P/proton\r", "/lib/steamapps/common/P"},
      {"/lib/steamapps/common/P/proton\xa0run", std::nullopt},
      {"/lib/steamapps/common/P/proton/x", std::nullopt},
      {"/lib/steamapps/common/P/proton.py run", std::nullopt},
      {"/lib/steamapps/common/Proton 9.0/protonfixes x", std::nullopt},
      {"/lib/steamapps/common/Proton 9.0/protonfixes x /lib/steamapps/common/GE/proton run",
       "/lib/steamapps/common/Proton 9.0/protonfixes x /lib/steamapps/common/GE"},
      {"python3 /lib/steamapps/common/Proton 9.0/proton run", "python3 /lib/steamapps/common/Proton 9.0"},
      {"/lib/Proton/proton run /lib/steamapps/common/", std::nullopt},
      {"/x/proton /y/steamapps/common/P/proton run", "/x/proton /y/steamapps/common/P"},
      {"/lib/steamapps/common/Proton", std::nullopt},
      {"/lib/steamapps/common/P/PROTON", std::nullopt},
      {"/steamapps/common/proton", "/steamapps/common"},
      {"steamapps/common/P/proton", std::nullopt},
      {"/lib/SteamApps/common/P/proton", std::nullopt},
      {"/proton", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [commandLine, expected] : rows) {
    const std::optional<fs::path> found = protonDirFromCmdline(commandLine);
    ASSERT_EQ(found.has_value(), expected.has_value()) << "command line: \"" << commandLine << "\"";
    if (expected) {
      EXPECT_EQ(found->string(), *expected) << "command line: \"" << commandLine << "\"";
    }
  }
}

TEST(ProtonDirFromCmdline, HandlesAMebibyteOfRejectedScripts) {
  std::string line;
  while (line.size() < kMiB) line += "/protonx";
  EXPECT_EQ(protonDirFromCmdline(line + "/steamapps/common/P/proton"), fs::path(line + "/steamapps/common/P"));
  EXPECT_FALSE(protonDirFromCmdline(line).has_value());
  const std::string tail = " /lib/steamapps/common/P/proton run";
  EXPECT_EQ(protonDirFromCmdline(line + tail), fs::path(line + " /lib/steamapps/common/P"));
}

TEST(IsCandidateProtonDirName, AcceptsProtonAndGeProtonPrefixes) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"Proton - Experimental", true}, {"Proton 9.0", true},        {"Proton", true},
      {"ProtonEasyAntiCheat", true},   {"GE-Proton9-20", true},     {"proton 9.0", false},
      {"GE-proton9", false},           {"SteamLinuxRuntime", false}, {" Proton", false},
      {"", false},
  };
  for (const auto& [name, expected] : rows) {
    EXPECT_EQ(isCandidateProtonDirName(name), expected) << "name: \"" << name << "\"";
  }
}

class ProtonDirFromCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    steam = home.path() / "home/u/.local/share/Steam";
    proton = makeBuild(steam, "Proton 9.0");
    makeBuild(steam, "SteamLinuxRuntime_sniper", false);
    test::writeFile(steam / "steamapps/common/SteamLinuxRuntime_sniper/_v2-entry-point", "#!/bin/sh\n");
  }

  std::string pythonLine(const fs::path& build) const {
    return "python3 " + build.string() + "/proton waitforexitandrun /g/game.exe";
  }
  std::string reaperLine(const fs::path& build) const {
    return steam.string() + "/ubuntu12_32/reaper SteamLaunch AppId=730 -- " + steam.string() +
           "/steamapps/common/SteamLinuxRuntime_sniper/_v2-entry-point --verb=waitforexitandrun -- " +
           build.string() + "/proton waitforexitandrun /g/game.exe";
  }

  test::TempDir home;
  fs::path steam;
  fs::path proton;
};

TEST_F(ProtonDirFromCommandLine, FindsTheBuildBehindAnInterpreter) {
  const std::vector<std::string> lines = {
      proton.string() + "/proton waitforexitandrun /g/game.exe",
      pythonLine(proton),
      "/usr/bin/python3 -O " + proton.string() + "/proton run",
      reaperLine(proton),
      steam.string() + "/steamapps/common/SteamLinuxRuntime_sniper/../Proton 9.0/proton run",
      "python3\t" + proton.string() + "/proton run",
  };
  for (const std::string& line : lines) {
    EXPECT_EQ(protonDirFromCommandLine(line), proton) << "line: " << line;
  }
  const fs::path other = makeBuild(steam, "GE-Proton9-20");
  EXPECT_EQ(protonDirFromCommandLine(reaperLine(other)), other);
}

TEST_F(ProtonDirFromCommandLine, KeepsTheWholeTextWhenItNamesABuild) {
  // "<home>/odd /<home>/…/Proton 9.0" is a real directory, and its tail from the second "/" is another build.
  const fs::path odd = home.path() / ("odd " + steam.string()) / "steamapps/common/Proton 9.0";
  test::writeFile(wineOf(odd), "#!/bin/sh\n");
  const std::string line = home.path().string() + "/odd " + proton.string() + "/proton run";
  EXPECT_EQ(protonDirFromCommandLine(line), odd);
}

TEST_F(ProtonDirFromCommandLine, FindsNothingWithoutALoader) {
  const fs::path noWine = makeBuild(steam, "Proton 8.0", false);
  const std::vector<std::string> lines = {pythonLine(noWine), reaperLine(noWine),
                                          "python3 /nowhere/steamapps/common/Proton 9.0/proton run", "game.exe", ""};
  for (const std::string& line : lines) {
    EXPECT_EQ(protonDirFromCommandLine(line), std::nullopt) << "line: " << line;
  }
}

TEST_F(ProtonDirFromCommandLine, FindsTheBuildAfterAMebibyteOfWords) {
  std::string line = "python3";
  while (line.size() < kMiB) line += " /x";
  EXPECT_EQ(protonDirFromCommandLine(line + " " + proton.string() + "/proton run"), proton);
}

class FallbackWinePath : public ::testing::Test {
 protected:
  test::TempDir dir;
  const fs::file_time_type now = fs::file_time_type::clock::now();
};

TEST_F(FallbackWinePath, FindsNothingWithoutUsableBuilds) {
  const fs::path lib = dir.path() / "lib";
  EXPECT_EQ(findFallbackWinePath({}), std::nullopt);
  EXPECT_EQ(findFallbackWinePath({lib}), std::nullopt);
  test::writeFile(lib / "steamapps/common", "not a directory");
  EXPECT_EQ(findFallbackWinePath({lib}), std::nullopt);

  const fs::path other = dir.path() / "other";
  makeBuild(other, "Proton EasyAntiCheat Runtime", false);
  makeBuild(other, "proton-lowercase");
  makeBuild(other, "SteamLinuxRuntime_soldier");
  test::writeFile(other / "steamapps/common/Proton File", "");
  EXPECT_EQ(findFallbackWinePath({lib, other}), std::nullopt);
}

TEST_F(FallbackWinePath, PrefersExperimentalFromTheEarliestLibrary) {
  // The installation lists the z library before the a library; each has its own Experimental.
  const fs::path root = dir.path() / "root";
  const fs::path zLib = dir.path() / "z-lib";
  const fs::path aLib = dir.path() / "a-lib";
  test::writeFile(root / "steamapps/libraryfolders.vdf",
                  "\"0\" { \"path\" \"" + zLib.string() + "\" } \"1\" { \"path\" \"" + aLib.string() + "\" }");
  const fs::path newest = makeBuild(root, "Proton 9.0");
  const fs::path zExperimental = makeBuild(zLib, "Proton - Experimental");
  const fs::path aExperimental = makeBuild(aLib, "Proton - Experimental");
  setTime(zExperimental, now - hours(500));
  setTime(aExperimental, now - hours(1));
  setTime(newest, now);
  EXPECT_EQ(findFallbackWinePath({root}), wineOf(zExperimental));
  EXPECT_EQ(findFallbackWinePath({aLib, root}), wineOf(aExperimental));
}

TEST_F(FallbackWinePath, OtherwiseTakesTheLatestBuild) {
  const fs::path lib = dir.path() / "lib";
  const fs::path proton9 = makeBuild(lib, "Proton 9.0");
  const fs::path ge = makeBuild(lib, "GE-Proton9-20");
  makeBuild(lib, "Proton 10.0 Beta", false);
  setTime(proton9, now - hours(2));
  setTime(ge, now - hours(1));
  EXPECT_EQ(findFallbackWinePath({lib}), wineOf(ge));
  setTime(proton9, now);
  EXPECT_EQ(findFallbackWinePath({lib}), wineOf(proton9));
}

TEST_F(FallbackWinePath, BreaksTimeTiesByDescendingPath) {
  const fs::path lib = dir.path() / "lib";
  const fs::path second = dir.path() / "second";
  const std::vector<fs::path> builds = {makeBuild(lib, "Proton 8.0"), makeBuild(lib, "GE-Proton9-20"),
                                        makeBuild(lib, "Proton 9.0"), makeBuild(second, "Proton 9.0")};
  for (const fs::path& build : builds) setTime(build, now - hours(3));
  EXPECT_EQ(findFallbackWinePath({lib, second}), wineOf(second / "steamapps/common/Proton 9.0"));
  EXPECT_EQ(findFallbackWinePath({lib}), wineOf(lib / "steamapps/common/Proton 9.0"));
}

TEST_F(FallbackWinePath, PutsABuildWithoutATimeLast) {
  const fs::path lib = dir.path() / "lib";
  const fs::path timeless = makeBuild(lib, "Proton 9.0");
  const fs::path old = makeBuild(lib, "GE-Proton1-1");
  setTime(old, fs::file_time_type::clock::from_sys(
                   std::chrono::sys_seconds{std::chrono::sys_days{std::chrono::January / 2 / 1971}}));
  if (!setUnreadableTime(timeless)) GTEST_SKIP() << "the file system keeps no time past 2262";
  EXPECT_EQ(findFallbackWinePath({lib}), wineOf(old));
}

// On tmpfs a build can carry the earliest time the file-system clock has; it still counts as a time, so a
// build without any time must not tie with it.
TEST_F(FallbackWinePath, PutsABuildWithoutATimeAfterTheEarliestTime) {
  char pattern[] = "/dev/shm/cs-steam-XXXXXX";
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm";
  struct Remove {
    fs::path path;
    ~Remove() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } shm{pattern};
  // Candidate order is library order: timeless, earliest, timeless with the greatest path.
  const fs::path first = makeBuild(shm.path / "l1", "Proton");
  const fs::path earliest = makeBuild(shm.path / "l2", "Proton");
  const fs::path last = makeBuild(shm.path / "l3", "Proton");
  setTime(earliest, fs::file_time_type::min());
  if (lastWriteTime(earliest) != fs::file_time_type::min() || !setUnreadableTime(first) ||
      !setUnreadableTime(last)) {
    GTEST_SKIP() << "the file system cannot hold these times";
  }
  EXPECT_EQ(findFallbackWinePath({shm.path / "l1", shm.path / "l2", shm.path / "l3"}), wineOf(earliest));
}

TEST_F(FallbackWinePath, FollowsSoftLinksAndSkipsBrokenEntries) {
  const fs::path lib = dir.path() / "lib";
  const fs::path elsewhere = makeBuild(dir.path() / "store", "Proton 7.0");
  const fs::path common = lib / "steamapps/common";
  std::error_code ec;
  fs::create_directories(common, ec);
  fs::create_directory_symlink(elsewhere, common / "Proton Linked", ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_directory_symlink(dir.path() / "gone", common / "Proton Dangling", ec);
  fs::create_symlink(common / "Proton Loop", common / "Proton Loop", ec);
  EXPECT_EQ(findFallbackWinePath({lib}), wineOf(common / "Proton Linked"));

  // A whole steamapps/common that is a link works as well.
  const fs::path linkedLib = dir.path() / "linked-lib";
  fs::create_directories(linkedLib / "steamapps", ec);
  fs::create_directory_symlink(common, linkedLib / "steamapps/common", ec);
  EXPECT_EQ(findFallbackWinePath({linkedLib}), wineOf(linkedLib / "steamapps/common/Proton Linked"));
}

TEST_F(FallbackWinePath, ReturnsALexicallyNormalPath) {
  const fs::path lib = dir.path() / "lib";
  const fs::path build = makeBuild(lib, "Proton 9.0");
  EXPECT_EQ(findFallbackWinePath({dir.path() / "x/../lib/."})->native(), wineOf(build).native());
}

}  // namespace
}  // namespace cs
