#include "steam/launch_context.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "steam/library_roots.h"
#include "tests/support/test_support.h"

namespace cs {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;

fs::path makeBuild(const fs::path& library, const std::string& name) {
  const fs::path dir = library / "steamapps/common" / name;
  test::writeFile(dir / "files/bin/wine", "#!/bin/sh\n");
  return dir;
}

void makeCompatData(const fs::path& library, const std::string& appId) {
  std::error_code ec;
  fs::create_directories(library / "steamapps/compatdata" / appId / "pfx", ec);
}

// The library of the context, or the empty path when there is none.
fs::path libraryOf(const std::optional<LaunchContext>& context) {
  return context ? context->libraryRoot : fs::path();
}

void setTime(const fs::path& path, fs::file_time_type time) {
  std::error_code ec;
  fs::last_write_time(path, time, ec);
  ASSERT_FALSE(ec) << path << ": " << ec.message();
}

// A Steam installation under a temporary HOME: ~/.local/share/Steam lists the b library before the a library,
// the first with a trailing slash as a user might have typed it; ~/.steam/debian-installation does not exist.
class LaunchContextTest : public ::testing::Test {
 protected:
  LaunchContextTest()
      : steam(dir.path() / "home/.local/share/Steam"),
        libA(dir.path() / "mnt/a"),
        libB(dir.path() / "mnt/b/"),
        scopedHome("HOME", (dir.path() / "home").string()) {
    test::writeFile(steam / "steamapps/libraryfolders.vdf",
                    "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" + steam.string() +
                        "\"\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" + libB.string() +
                        "\"\n\t}\n\t\"2\"\n\t{\n\t\t\"path\"\t\t\"" + libA.string() + "\"\n\t}\n}\n");
  }

  // The command line of the game's Proton process when it runs the build.
  std::vector<std::string> linesRunning(const fs::path& build) const {
    return {"python3 " + build.string() + "/proton waitforexitandrun /g/a.exe"};
  }

  test::TempDir dir;
  const fs::path steam;
  const fs::path libA;
  const fs::path libB;
  test::ScopedEnvironmentVariable scopedHome;
  const fs::file_time_type now = fs::file_time_type::clock::now();
};

TEST_F(LaunchContextTest, JoinsTheRunningBuildWithCompatdataFromAnotherLibrary) {
  const fs::path running = makeBuild(libA, "Proton 9.0");
  makeBuild(steam, "Proton - Experimental");
  makeCompatData(libB, "730");
  makeCompatData(libA, "440");

  const std::optional<LaunchContext> context = findLaunchContext("730", linesRunning(running), defaultSteamRoots());
  ASSERT_TRUE(context.has_value());
  EXPECT_EQ(context->protonDir.native(), running.native());
  EXPECT_EQ(context->winePath.native(), (running / "files/bin/wine").native());
  EXPECT_EQ(context->libraryRoot.native(), libB.native());
  // The library keeps its trailing slash; the joined path gets no second one.
  EXPECT_EQ(context->compatDataPath.native(), libB.native() + "steamapps/compatdata/730");
}

TEST_F(LaunchContextTest, TakesTheFirstCommandLineThatNamesABuild) {
  makeCompatData(libA, "730");
  const fs::path first = makeBuild(libA, "Proton 9.0");
  const fs::path second = makeBuild(libA, "GE-Proton9-20");
  std::vector<std::string> lines = {"game.exe", linesRunning(dir.path() / "nowhere/steamapps/common/Proton 9.0")[0],
                                    linesRunning(first)[0], second.string() + "/proton run"};
  EXPECT_EQ(findLaunchContext("730", lines, defaultSteamRoots()).value().protonDir, first);
  lines.erase(lines.begin() + 2);
  EXPECT_EQ(findLaunchContext("730", lines, defaultSteamRoots()).value().protonDir, second);
}

TEST_F(LaunchContextTest, TakesCompatdataFromTheFirstLibraryThatHasIt) {
  const fs::path running = makeBuild(libA, "Proton 9.0");
  makeCompatData(libA, "730");
  makeCompatData(libB, "730");
  EXPECT_EQ(libraryOf(findLaunchContext("730", linesRunning(running), defaultSteamRoots())), libB);

  makeCompatData(steam, "730");
  EXPECT_EQ(libraryOf(findLaunchContext("730", linesRunning(running), defaultSteamRoots())), steam);
}

TEST_F(LaunchContextTest, CountsAnyEntryNamedAfterTheAppIdAsCompatdata) {
  const fs::path running = makeBuild(libA, "Proton 9.0");
  std::error_code ec;
  fs::create_directories(libB / "steamapps/compatdata", ec);
  fs::create_directory_symlink(dir.path() / "prefixes/730", libB / "steamapps/compatdata/730", ec);
  test::writeFile(libA / "steamapps/compatdata/730", "");
  // The link dangles, so libB has nothing; libA's plain file is accepted.
  EXPECT_EQ(libraryOf(findLaunchContext("730", linesRunning(running), defaultSteamRoots())), libA);
  fs::create_directories(dir.path() / "prefixes/730", ec);
  EXPECT_EQ(libraryOf(findLaunchContext("730", linesRunning(running), defaultSteamRoots())), libB);
}

TEST_F(LaunchContextTest, FallsBackToExperimentalThenToTheLatestBuild) {
  makeCompatData(libA, "730");
  const fs::path latest = makeBuild(libA, "GE-Proton9-20");
  const fs::path older = makeBuild(steam, "Proton 9.0");
  setTime(older, now - hours(5));
  setTime(latest, now - hours(1));
  // The game's process names no build with a loader.
  const std::vector<std::string> noBuild = linesRunning(dir.path() / "nowhere/steamapps/common/Proton 9.0");

  std::optional<LaunchContext> context = findLaunchContext("730", noBuild, defaultSteamRoots());
  ASSERT_TRUE(context.has_value());
  EXPECT_EQ(context->protonDir, latest);
  EXPECT_EQ(context->winePath, latest / "files/bin/wine");

  const fs::path experimental = makeBuild(libB, "Proton - Experimental");
  setTime(experimental, now - hours(100));
  context = findLaunchContext("730", {}, defaultSteamRoots());
  ASSERT_TRUE(context.has_value());
  EXPECT_EQ(context->protonDir.native(), experimental.native());
  EXPECT_EQ(context->libraryRoot, libA);
  EXPECT_EQ(context->compatDataPath, libA / "steamapps/compatdata/730");
}

TEST_F(LaunchContextTest, FindsNothingWithoutABuildOrWithoutCompatdata) {
  makeCompatData(libA, "730");
  EXPECT_FALSE(findLaunchContext("730", {}, defaultSteamRoots()).has_value());

  const fs::path running = makeBuild(libA, "Proton 9.0");
  EXPECT_FALSE(findLaunchContext("440", linesRunning(running), defaultSteamRoots()).has_value());
  EXPECT_FALSE(findLaunchContext("730", linesRunning(running), {}).has_value());
  EXPECT_TRUE(findLaunchContext("730", linesRunning(running), defaultSteamRoots()).has_value());
}

}  // namespace
}  // namespace cs
