#include "steam/proton_processes.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace cs {
namespace {

using Env = std::unordered_map<std::string, std::string>;

constexpr const char* kCompat730 = "/home/u/.local/share/Steam/steamapps/compatdata/730";

ProcessInfo process(std::int32_t pid, Env environment, std::string commandLine = "C:\\game\\game.exe") {
  ProcessInfo info;
  info.pid = pid;
  info.parentPid = 1;
  info.commandLine = std::move(commandLine);
  info.environment = test::environBytes(environment);
  return info;
}

// A process whose STEAM_COMPAT_DATA_PATH names the AppID, so that only its AppID variables decide.
ProcessInfo compatProcessOf(const std::string& appId, Env variables) {
  variables["STEAM_COMPAT_DATA_PATH"] = "/home/u/.local/share/Steam/steamapps/compatdata/" + appId;
  return process(10, std::move(variables));
}

std::string describe(const Env& environment) {
  std::string text;
  for (const auto& [name, value] : environment) text += name + "=" + value + " ";
  return text;
}

TEST(CompatPathMatchesAppId, WantsTheCompatdataFolderOfThatAppId) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {kCompat730, true},
      {std::string(kCompat730) + "/", true},
      {std::string(kCompat730) + "///", true},
      {"/steamapps/compatdata/730", true},
      {"/x/steamapps/compatdata/7300", false},
      {"/x/steamapps/compatdata/1730", false},
      {"/x/steamapps/compatdata/0730", false},
      {"steamapps/compatdata/730", false},
      {"/x/SteamApps/compatdata/730", false},
      {"/x/steamapps/compatdata/730/pfx", false},
      {"/x/steamapps/compatdata//730", false},
      {"/x/steamapps/common/730", false},
      {"", false},
      {"/", false},
  };
  for (const auto& [path, expected] : rows) {
    EXPECT_EQ(compatPathMatchesAppId(path, "730"), expected) << "path: \"" << path << "\"";
    EXPECT_EQ(isProtonCompatProcess(process(10, {{"STEAM_COMPAT_DATA_PATH", path}}), "730"), expected)
        << "STEAM_COMPAT_DATA_PATH: \"" << path << "\"";
  }
}

TEST(WinePrefixMatchesAppId, WantsThePfxBelowTheCompatdataFolder) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {std::string(kCompat730) + "/pfx", true},
      {std::string(kCompat730) + "/pfx/", true},
      {std::string(kCompat730) + "/pfx//", true},
      {kCompat730, false},
      {"/x/steamapps/compatdata/7300/pfx", false},
      {"/x/steamapps/compatdata/1730/pfx", false},
      {"/x/steamapps/compatdata/730/PFX", false},
      {"/x/steamapps/compatdata/730/pfx/drive_c", false},
      {"/x/steamapps/compatdata/730//pfx", false},
      {"steamapps/compatdata/730/pfx", false},
      {"", false},
  };
  for (const auto& [path, expected] : rows) {
    EXPECT_EQ(winePrefixMatchesAppId(path, "730"), expected) << "path: \"" << path << "\"";
    EXPECT_EQ(isProtonCompatProcess(process(10, {{"WINEPREFIX", path}}), "730"), expected)
        << "WINEPREFIX: \"" << path << "\"";
  }
}

TEST(IsProtonCompatProcess, LetsTheAppIdVariablesOnlyVeto) {
  const std::vector<std::pair<Env, bool>> rows = {
      {{}, true},
      {{{"SteamAppId", "730"}}, true},
      {{{"SteamAppId", "440"}}, false},
      {{{"SteamAppId", ""}}, false},
      {{{"SteamAppId", "0730"}}, false},
      {{{"SteamAppId", "440"}, {"SteamGameId", "730"}}, false},
      {{{"SteamAppId", "730"}, {"SteamGameId", "440"}}, true},
      {{{"SteamGameId", "730"}}, true},
      {{{"SteamGameId", "440"}}, false},
      {{{"SteamGameId", ""}}, false},
      {{{"steamappid", "440"}}, true},
  };
  for (const auto& [environment, expected] : rows) {
    EXPECT_EQ(isProtonCompatProcess(compatProcessOf("730", environment), "730"), expected)
        << "environment: " << describe(environment);
  }
}

TEST(IsProtonCompatProcess, TakesALibraryShortcutByItsGameId) {
  // A shortcut's game id: its AppID in the upper 32 bits, 0x02000000 in the lower.
  const std::string shortcut = "2500492446";
  const std::string gameId = "10739533279498600448";
  const std::vector<std::pair<Env, bool>> rows = {
      {{{"SteamAppId", "0"}, {"SteamGameId", gameId}}, true},
      {{{"SteamGameId", gameId}}, true},
      {{{"SteamAppId", "0"}}, true},
      {{{"SteamAppId", "0"}, {"SteamGameId", shortcut}}, true},
      {{{"SteamAppId", "00"}, {"SteamGameId", gameId}}, false},
      {{{"SteamAppId", "440"}, {"SteamGameId", gameId}}, false},
      // Another shortcut (AppID 2500492447), and this AppID with another lower half.
      {{{"SteamAppId", "0"}, {"SteamGameId", "10739533283793567744"}}, false},
      {{{"SteamAppId", "0"}, {"SteamGameId", "10739533279465046016"}}, false},
      {{{"SteamAppId", "0"}, {"SteamGameId", "0" + gameId}}, false},
      {{{"SteamAppId", "0"}, {"SteamGameId", "+" + gameId}}, false},
      {{{"SteamAppId", "0"}, {"SteamGameId", gameId + " "}}, false},
      {{{"SteamAppId", "0"}, {"SteamGameId", "29186277353208152064"}}, false},  // past 64 bits, same low half
      {{{"SteamAppId", "0"}, {"SteamGameId", ""}}, false},
      {{{"SteamAppId", "0"}, {"SteamGameId", "0"}}, false},
  };
  for (const auto& [environment, expected] : rows) {
    EXPECT_EQ(isProtonCompatProcess(compatProcessOf(shortcut, environment), shortcut), expected)
        << "environment: " << describe(environment);
  }
  // A shortcut id padded with zeros is still a 20-digit number, but its AppID must be written plainly.
  EXPECT_TRUE(isProtonCompatProcess(compatProcessOf("0", {{"SteamGameId", "00000000000033554432"}}), "0"));
  EXPECT_FALSE(isProtonCompatProcess(compatProcessOf("00", {{"SteamGameId", "33554432"}}), "00"));
}

TEST(IsProtonCompatProcess, NeedsAMatchingPathAndNoContradiction) {
  const std::string prefix = std::string(kCompat730) + "/pfx";
  const std::vector<std::pair<Env, bool>> rows = {
      {{{"STEAM_COMPAT_DATA_PATH", kCompat730}}, true},
      {{{"WINEPREFIX", prefix}}, true},
      {{{"STEAM_COMPAT_DATA_PATH", "/x/steamapps/compatdata/440"}, {"WINEPREFIX", prefix}}, true},
      {{{"STEAM_COMPAT_DATA_PATH", "/x/steamapps/compatdata/440"}}, false},
      {{{"WINEPREFIX", kCompat730}}, false},
      {{{"STEAM_COMPAT_DATA_PATH", prefix}}, false},
      {{{"STEAM_COMPAT_DATA_PATH", kCompat730}, {"SteamAppId", "440"}, {"SteamGameId", "730"}}, false},
      {{{"STEAM_COMPAT_DATA_PATH", kCompat730}, {"SteamGameId", "440"}}, false},
      {{{"STEAM_COMPAT_DATA_PATH", kCompat730}, {"SteamAppId", ""}}, false},
      {{{"STEAM_COMPAT_DATA_PATH", kCompat730}, {"SteamAppId", "730"}, {"SteamGameId", "730"}}, true},
      {{{"SteamAppId", "730"}, {"SteamGameId", "730"}}, false},
      {{}, false},
  };
  for (const auto& [environment, expected] : rows) {
    EXPECT_EQ(isProtonCompatProcess(process(10, environment), "730"), expected)
        << "environment: " << describe(environment);
  }
}

TEST(IsProtonCompatProcess, NeverCountsTheCompanionOrTrustsTheCommandLine) {
  const Env gameEnvironment = {{"STEAM_COMPAT_DATA_PATH", kCompat730},
                               {"WINEPREFIX", std::string(kCompat730) + "/pfx"},
                               {"SteamAppId", "730"}};
  EXPECT_TRUE(isProtonCompatProcess(process(10, gameEnvironment), "730"));
  EXPECT_FALSE(isProtonCompatProcess(process(11, gameEnvironment, "wine /opt/Cursello.exe --target-appid 730"),
                                     "730"));
  EXPECT_FALSE(isProtonCompatProcess(process(12, gameEnvironment, "wine x --proton-child"), "730"));
  EXPECT_FALSE(isProtonCompatProcess(
      process(13, {}, "/s/steamapps/common/Proton 9.0/proton run /s/steamapps/compatdata/730/pfx"), "730"));
}

}  // namespace
}  // namespace cs
