#include "steam/steam_launch.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace cs {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

ProcessInfo process(std::int32_t pid, std::string commandLine) {
  ProcessInfo info;
  info.pid = pid;
  info.parentPid = 1;
  info.commandLine = std::move(commandLine);
  return info;
}

struct AppIdRow {
  std::string commandLine;
  std::optional<std::string> appId;
};

TEST(ExtractAppId, FollowsTheLeftmostLaunchMarker) {
  const std::vector<AppIdRow> rows = {
      {"/s/ubuntu12_32/reaper SteamLaunch AppId=730 -- /g/game", "730"},
      {"SteamLaunch AppId=730", "730"},
      {"SteamLaunch  AppId=12", "12"},
      {"SteamLaunch\tAppId=12", "12"},
      {"SteamLaunch \t\n\v\f\rAppId=9", "9"},
      {"SteamLaunchAppId=12", std::nullopt},
      {"SteamLaunch \xc2\xa0" "AppId=12", std::nullopt},
      {"SteamLaunch AppId=123abc", "123"},
      {"SteamLaunch AppId=0730", "0730"},
      {"SteamLaunch AppId=", std::nullopt},
      {"SteamLaunch AppId=x", std::nullopt},
      {"SteamLaunch AppId=-5", std::nullopt},
      {"SteamLaunch AppId= SteamLaunch AppId=55", "55"},
      {"SteamLaunch AppId=x SteamLaunch\tAppId=56 SteamLaunch AppId=57", "56"},
      {"SteamLaunchSteamLaunch AppId=7", "7"},
      {"SteamLaunch SteamLaunch AppId=8", "8"},
      {"XSteamLaunch AppId=5", "5"},
      {"steamlaunch appid=5", std::nullopt},
      {"SteamLaunch appId=5", std::nullopt},
      {"SteamLaunch AppID=5", std::nullopt},
      {"SteamLaunch AppId =5", std::nullopt},
      {"SteamLaunch", std::nullopt},
      {"SteamLaunch ", std::nullopt},
      {"AppId=5 SteamLaunch", std::nullopt},
      {"", std::nullopt},
      {"SteamLaunch AppId=4081736", std::nullopt},
      {"SteamLaunch AppId=4081736 SteamLaunch AppId=730", std::nullopt},
      {"SteamLaunch AppId=730 SteamLaunch AppId=4081736", "730"},
      {"SteamLaunch AppId=40817360", "40817360"},
      {"SteamLaunch AppId=408173", "408173"},
      {"SteamLaunch AppId=04081736", "04081736"},
      {std::string("SteamLaunch AppId=\0" "5", 20), std::nullopt},
      {std::string("SteamLaunch\0AppId=5", 19), std::nullopt},
      {std::string("x\0SteamLaunch AppId=6", 21), "6"},
  };
  for (const AppIdRow& row : rows) {
    EXPECT_EQ(extractAppId(row.commandLine), row.appId) << "command line: \"" << row.commandLine << "\"";
  }
}

// The pattern the matcher stands for, run by std::regex on inputs short enough for its recursion.
std::optional<std::string> appIdByRegex(const std::string& commandLine) {
  static const std::regex appid_re("SteamLaunch\\s+AppId=([0-9]+)");
  std::smatch match;
  if (!std::regex_search(commandLine, match, appid_re) || match[1] == "4081736") return std::nullopt;
  return match[1].str();
}

TEST(ExtractAppId, AgreesWithThePatternOnShortLines) {
  // Weighted towards the pieces of a match, so that many lines match and many nearly do.
  const std::vector<std::string> pieces = {"SteamLaunch", "SteamLaunch", " ", " ", "\t", "\n", "\r", "AppId=",
                                           "AppId=", "AppId", "=", "7", "7", "0", "x", "Steam", "Launch",
                                           "4081736", "\xa0"};
  std::mt19937 random(730);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 10);
  for (int round = 0; round < 10000; ++round) {
    std::string line;
    for (int n = length(random); n > 0; --n) line += pieces[pick(random)];
    ASSERT_EQ(extractAppId(line), appIdByRegex(line)) << "command line: \"" << line << "\"";
  }
}

TEST(ExtractAppId, TakesAMebibyteDigitRunWhole) {
  const std::string digits(kMiB, '7');
  EXPECT_EQ(extractAppId("SteamLaunch AppId=" + digits + " --"), digits);
  EXPECT_EQ(extractAppId("SteamLaunch AppId=" + digits), digits);
}

TEST(ExtractAppId, CrossesAMebibyteOfWhiteSpace) {
  std::string space;
  for (std::size_t i = 0; space.size() < kMiB; ++i) space.push_back(" \t\n\v\f\r"[i % 6]);
  EXPECT_EQ(extractAppId("SteamLaunch" + space + "AppId=730"), "730");
  EXPECT_EQ(extractAppId("SteamLaunch" + space), std::nullopt);
  EXPECT_EQ(extractAppId("SteamLaunch" + space + "AppId=x"), std::nullopt);
  EXPECT_EQ(extractAppId(space + "SteamLaunch AppId=3" + space), "3");
}

TEST(ExtractAppId, SkipsAMebibyteOfNearMisses) {
  const std::vector<std::string> misses = {"SteamLaunch AppId=", "SteamLaunch AppId ", "SteamLaunch  ",
                                           "SteamLaunchAppId=1 ", "SteamLaunc", "teamLaunch AppId=1 "};
  for (const std::string& miss : misses) {
    std::string line;
    while (line.size() < kMiB) line += miss;
    EXPECT_EQ(extractAppId(line), std::nullopt) << "repeated: \"" << miss << "\"";
    EXPECT_EQ(extractAppId(line + "SteamLaunch AppId=42"), "42") << "repeated: \"" << miss << "\"";
  }
}

TEST(IsCurselloChild, RecognisesTheCompanionByItsCommandLine) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"/p/files/bin/wine /opt/c/Cursello.exe --proton-child --target-appid 730", true},
      {"wine Cursello.exe", true},
      {"wine /x/MyCursello.exe.bak", true},
      {"anything --proton-child", true},
      {"--proton-children", true},
      {"wine cursello.exe", false},
      {"wine Cursello.EXE", false},
      {"wine --proton child", false},
      {"SteamLaunch AppId=730", false},
      {"", false},
  };
  for (const auto& [commandLine, expected] : rows) {
    EXPECT_EQ(isCurselloChild(process(10, commandLine)), expected) << "command line: \"" << commandLine << "\"";
  }
}

}  // namespace
}  // namespace cs
