// The child's environment and argument vector, and the sync settings taken over from the game.
#include "launch/cursello_launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs {
namespace {

LaunchContext sampleContext() {
  LaunchContext context;
  context.libraryRoot = "/games/Steam Library";
  context.compatDataPath = "/games/Steam Library/steamapps/compatdata/620";
  context.protonDir = "/home/u/.local/share/Steam/steamapps/common/Proton 9.0";
  context.winePath = "/home/u/.local/share/Steam/steamapps/common/Proton 9.0/files/bin/wine";
  return context;
}

const std::vector<std::string> kControlledTail = {
    "WINEPREFIX=/games/Steam Library/steamapps/compatdata/620/pfx",
    "STEAM_COMPAT_DATA_PATH=/games/Steam Library/steamapps/compatdata/620",
    "STEAM_COMPAT_CLIENT_INSTALL_PATH=/games/Steam Library",
    "WINEDLLOVERRIDES=dxgi=n,b;d3d11=n,b",
};

std::vector<std::string> head(const std::vector<std::string>& entries, std::size_t tailSize) {
  if (entries.size() < tailSize) return {};
  std::vector<std::string> result(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(tailSize));
  std::sort(result.begin(), result.end());
  return result;
}

std::vector<std::string> tail(const std::vector<std::string>& entries, std::size_t tailSize) {
  if (entries.size() < tailSize) return entries;
  return {entries.end() - static_cast<std::ptrdiff_t>(tailSize), entries.end()};
}

std::size_t countWithName(const std::vector<std::string>& entries, const std::string& name) {
  return static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), [&](const std::string& entry) {
    return entry.rfind(name + "=", 0) == 0;
  }));
}

TEST(LaunchEnvironment, InheritedControlledValuesAreReplacedOnceAndLast) {
  const Environment inherited = {
      {"WINEPREFIX", "/home/u/.local/share/Steam/steamapps/compatdata/620/pfx"},
      {"STEAM_COMPAT_DATA_PATH", "/home/u/.local/share/Steam/steamapps/compatdata/620"},
      {"STEAM_COMPAT_CLIENT_INSTALL_PATH", "/home/u/.local/share/Steam"},
      {"WINEDLLOVERRIDES", "steam.exe=b;dxgi=b"},
      {"HOME", "/home/u"},
      {"SteamAppId", "620"},
  };
  const std::vector<std::string> entries = launchEnvironment(sampleContext(), inherited);

  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(tail(entries, 4), kControlledTail);
  EXPECT_EQ(head(entries, 4), (std::vector<std::string>{"HOME=/home/u", "SteamAppId=620"}));
  for (const char* name : {"WINEPREFIX", "STEAM_COMPAT_DATA_PATH", "STEAM_COMPAT_CLIENT_INSTALL_PATH",
                           "WINEDLLOVERRIDES"}) {
    EXPECT_EQ(countWithName(entries, name), 1u) << name;
  }
}

TEST(LaunchEnvironment, NamesOutsideTheControlledFourPassThrough) {
  // Near misses of the four names and other Steam compatibility or Wine variables are the game's business.
  const std::vector<std::string> names = {
      "wineprefix",          "WinePrefix",        "Steam_Compat_Data_Path", "WINEPREFIX_OLD",
      " WINEPREFIX",         "WINEDLLOVERRIDES ", "STEAM_COMPAT_APP_ID",    "STEAM_COMPAT_TOOL_PATHS",
      "STEAM_COMPAT_CLIENT", "WINEDEBUG",         "WINEESYNC",              "WINEDLLPATH",
  };
  for (const std::string& name : names) {
    const std::vector<std::string> entries = launchEnvironment(sampleContext(), {{name, "kept"}});
    ASSERT_EQ(entries.size(), 5u) << "name [" << name << "]";
    EXPECT_EQ(entries.front(), name + "=kept") << "name [" << name << "]";
    EXPECT_EQ(tail(entries, 4), kControlledTail) << "name [" << name << "]";
  }
}

TEST(LaunchEnvironment, EmptyInheritedEnvironmentGivesExactlyTheFour) {
  EXPECT_EQ(launchEnvironment(sampleContext(), {}), kControlledTail);
}

TEST(LaunchEnvironment, EmptyValueEndsWithTheEqualsSign) {
  const std::vector<std::string> entries = launchEnvironment(sampleContext(), {{"EMPTY", ""}, {"WINEPREFIX", ""}});
  EXPECT_EQ(head(entries, 4), std::vector<std::string>{"EMPTY="});
  EXPECT_EQ(tail(entries, 4), kControlledTail);
}

TEST(LaunchEnvironment, PrefixAddsOneComponentToTheCompatdataPathAsStored) {
  struct Row {
    std::string compatDataPath;
    std::string prefix;
  };
  const std::vector<Row> rows = {
      {"/lib/steamapps/compatdata/10", "/lib/steamapps/compatdata/10/pfx"},
      {"/lib/steamapps/compatdata/10/", "/lib/steamapps/compatdata/10/pfx"},
      {"/lib/./steamapps//compatdata/10", "/lib/./steamapps//compatdata/10/pfx"},
      {"/lib \"x\"/compatdata/10", "/lib \"x\"/compatdata/10/pfx"},
  };
  for (const Row& row : rows) {
    LaunchContext context = sampleContext();
    context.compatDataPath = row.compatDataPath;
    const std::vector<std::string> entries = launchEnvironment(context, {});
    ASSERT_EQ(entries.size(), 4u) << row.compatDataPath;
    EXPECT_EQ(entries[0], "WINEPREFIX=" + row.prefix) << row.compatDataPath;
    EXPECT_EQ(entries[1], "STEAM_COMPAT_DATA_PATH=" + row.compatDataPath) << row.compatDataPath;
  }
}

TEST(LaunchArguments, WineThenExeThenTheChildMarkersAndTheAppIdUnchanged) {
  const std::vector<std::string> expected = {
      "/home/u/.local/share/Steam/steamapps/common/Proton 9.0/files/bin/wine",
      "/opt/cursello launcher/Cursello.exe",
      "--proton-child",
      "--target-appid",
      "00620",
  };
  EXPECT_EQ(launchArguments("00620", sampleContext(), "/opt/cursello launcher/Cursello.exe"), expected);
}

TEST(WithGameSyncSettings, TakesOnlyMissingSyncSwitchesFromTheGame) {
  struct Row {
    std::string label;
    Environment inherited;
    std::optional<Environment> game;  // no value: no game process known
    Environment expected;
  };
  const Environment gameEnv = {{"WINEESYNC", "1"},
                               {"WINEFSYNC", "1"},
                               {"WINEPREFIX", "/lib/steamapps/compatdata/620/pfx"},
                               {"WINEDEBUG", "-all"},
                               {"SteamAppId", "620"}};
  const std::vector<Row> rows = {
      {"both missing", {{"HOME", "/home/u"}}, gameEnv, {{"HOME", "/home/u"}, {"WINEESYNC", "1"}, {"WINEFSYNC", "1"}}},
      {"inherited value kept",
       {{"WINEFSYNC", "0"}},
       gameEnv,
       {{"WINEFSYNC", "0"}, {"WINEESYNC", "1"}}},
      {"inherited empty value kept", {{"WINEESYNC", ""}, {"WINEFSYNC", ""}}, gameEnv,
       {{"WINEESYNC", ""}, {"WINEFSYNC", ""}}},
      {"game has an empty value", {}, Environment{{"WINEFSYNC", ""}}, {{"WINEFSYNC", ""}}},
      {"game has neither", {{"HOME", "/home/u"}}, Environment{{"WINEDEBUG", "-all"}}, {{"HOME", "/home/u"}}},
      {"case matters", {}, Environment{{"wineesync", "1"}, {"WineFsync", "1"}}, {}},
      {"no game process", {{"HOME", "/home/u"}}, std::nullopt, {{"HOME", "/home/u"}}},
  };
  for (const Row& row : rows) {
    ProcessInfo game;
    game.pid = 4321;
    if (row.game) game.environment = test::environBytes(*row.game);
    EXPECT_EQ(withGameSyncSettings(row.inherited, row.game ? &game : nullptr), row.expected) << row.label;
  }
}

TEST(CurselloLaunch, AGameOnWinesWaylandDriverLendsItsOwnDisplayVariables) {
  // Steam's launch saw the desktop's X display; the game runs without one, and its wayland socket is its own.
  ProcessInfo game;
  game.environment = test::environBytes({{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}});
  const Environment inherited = {{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"HOME", "/home/u"}};
  EXPECT_EQ(withGameDisplayVariables(inherited, game),
            (Environment{{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}, {"HOME", "/home/u"}}));
}

}  // namespace
}  // namespace cs
