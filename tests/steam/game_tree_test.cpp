// Steam's process tree of a game, with real processes: the launches that count, the processes below them, and a
// window's way up to its launch.
#include "steam/game_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/steam_desktop.h"

namespace cs {
namespace {

namespace fs = std::filesystem;

TEST(ExecutableLiesIn, TakesFilesBelowARootAlsoAfterAnUpdateReplacedThem) {
  const std::vector<fs::path> roots = {"/h/.local/share/Steam", "/h/.steam/debian-installation/"};
  const std::vector<std::pair<std::string, bool>> rows = {
      {"/h/.local/share/Steam/ubuntu12_32/reaper", true},
      {"/h/.local/share/Steam/ubuntu12_32/reaper (deleted)", true},
      {"/h/.steam/debian-installation/ubuntu12_32/reaper", true},
      {"/h/.local/share/Steam", false},
      {"/h/.local/share/Steam2/ubuntu12_32/reaper", false},
      {"/h/.local/share/Steam/../bin/reaper", false},
      {"/usr/bin/bwrap", false},
      {"ubuntu12_32/reaper", false},
      {" (deleted)", false},
      {"", false},
  };
  for (const auto& [link, expected] : rows) EXPECT_EQ(executableLiesIn(link, roots), expected) << link;
}

TEST(GameTrees, OnlySteamsOwnExecutableLaunchesAndOnlyItsTreeIsTheGame) {
  test::SteamDesktop desktop("", "");
  const fs::path proton = desktop.installProton("Proton 9.0");
  const pid_t launch = desktop.startSteamLaunch("730", proton, {});
  const pid_t game = desktop.startGame("730", proton, "");
  // Steam's words from a program outside the Steam root, and a Proton process of the game beside the tree: newer
  // than the game's, so that it would be found first.
  desktop.startProcess({"reaper", "SteamLaunch", "AppId=440"}, test::SteamDesktop::baseEnvironment());
  const pid_t stray = desktop.startProcess({"python3", (proton / "proton").string(), "waitforexitandrun", "/g/x.exe"},
                                           desktop.protonEnvironment("730", proton));
  PlaceJudge judge;
  ProcessMemory memory;
  const ProcessSnapshot snapshot = scanProcesses();
  const GameTrees games(snapshot, judge, memory, {desktop.steamRoot()});

  ASSERT_TRUE(games.launches().contains("730"));
  EXPECT_EQ(games.launches().at("730").front().process->pid, launch);
  EXPECT_FALSE(games.launches().contains("440"));
  EXPECT_EQ(games.sandboxOf("730"), std::nullopt);
  EXPECT_TRUE(games.isProtonProcess("730", game));
  EXPECT_FALSE(games.isProtonProcess("730", stray));
  ASSERT_NE(games.newestProton("730"), nullptr);
  EXPECT_EQ(games.newestProton("730")->pid, game);

  const std::optional<GameWindowOwner> owner = games.ownerOfWindow("730", game);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->launch->process->pid, launch);
  ASSERT_EQ(owner->chain.size(), 1u);
  EXPECT_EQ(owner->chain.front()->pid, game);
  EXPECT_FALSE(games.ownerOfWindow("730", stray).has_value());
  EXPECT_FALSE(games.ownerOfWindow("730", launch).has_value()) << "Steam's launch is no Proton process";
  EXPECT_FALSE(games.ownerOfWindow("440", game).has_value());
}

}  // namespace
}  // namespace cs
