// The real launcher, run as an ordinary user, against games in sandboxes made as Flatpak and Snap make them: the
// companion starts inside a sandbox the user can enter, and nowhere for one the user cannot.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const std::string kCursello = "MZ stand-in for Cursello.exe\n";

std::string namespacesOf(const std::string& pid) {
  std::string text;
  for (const char* kind : {"mnt", "pid"}) {
    text += std::string(kind) + " " + fs::read_symlink("/proc/" + pid + "/ns/" + kind).string() + "\n";
  }
  return text;
}

class SandboxedSteam : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(user) << "no test user";
    ASSERT_TRUE(x.ok()) << x.diagnostics();
    ASSERT_TRUE(bus.ok() && bus.startTrayWatcher() && bus.startNotificationServer()) << bus.diagnostics();
    desktop = std::make_unique<SteamDesktop>(x.display(), bus.address(), user);
    ASSERT_FALSE(bwrap.empty() || unshare.empty()) << "bubblewrap or util-linux is not installed";
  }

  // As Flatpak runs Steam: nested user namespaces, its own pids and /tmp, the app's data mounted over the home.
  std::vector<std::string> flatpakLike(const fs::path& persisted, const std::string& xSocket) {
    return asUser(*user, {bwrap.string(),
                          "--unshare-user",
                          "--disable-userns",
                          "--unshare-pid",
                          "--die-with-parent",
                          "--dev-bind",
                          "/",
                          "/",
                          "--tmpfs",
                          "/tmp",
                          "--bind",
                          "/tmp/.X11-unix/X" + x.display().substr(1),
                          "/tmp/.X11-unix/" + xSocket,
                          "--bind",
                          persisted.string(),
                          desktop->home().string(),
                          "--bind",
                          persisted.string(),
                          persisted.string(),
                          "--proc",
                          "/proc"});
  }

  // As snap-confine confines Steam: a mount namespace made by root with a /tmp of its own; in it, as the user,
  // what `inside` runs (a container of the user's own, or nothing).
  std::vector<std::string> snapLike(const std::vector<std::string>& inside = {}) {
    std::vector<std::string> argv = {unshare.string(),
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "sh",
                                     "-c",
                                     "mount -t tmpfs none /tmp && exec \"$@\"",
                                     "sh"};
    const std::vector<std::string> asTheUser = asUser(*user, inside);
    argv.insert(argv.end(), asTheUser.begin(), asTheUser.end());
    return argv;
  }

  // The companions the stand-in wine of that build recorded.
  std::vector<pid_t> companionsIn(const fs::path& proton) const {
    const std::string records = slurp(desktop->wineRecordDir(proton) / "wine.pids");
    std::vector<pid_t> pids;
    for (std::size_t at = 0; at < records.size(); at = records.find('\n', at) + 1)
      pids.push_back(std::stoi(records.substr(at)));
    return pids;
  }

  // The pid the launcher saw the game's window with.
  std::string gamePid() const {
    static const std::regex pid_re(" pid=([0-9]+) ");
    std::smatch match;
    for (const auto& line : messages(desktop->log())) {
      if (line.starts_with("Launching after stable") && std::regex_search(line, match, pid_re)) return match[1];
    }
    return "";
  }

  // The companion's private directory in the game's /tmp, as the game sees it.
  std::string privateDir() const { return "/tmp/CurselloLinuxLauncher-" + std::to_string(user->uid); }

  std::string dump() const {
    std::string text;
    for (const auto& line : desktop->log()) text += line.time + " " + line.message + "\n";
    return text;
  }

  const std::optional<TestUser> user = sandboxTestUser();
  const fs::path bwrap = programInPath("bwrap");
  const fs::path unshare = programInPath("unshare");
  XServer x{true};
  SessionBus bus;
  std::unique_ptr<SteamDesktop> desktop;
};

// Flatpak before 1.14 names the X display :99 inside; later ones keep the host's number.
class FlatpakLikeSteam : public SandboxedSteam, public ::testing::WithParamInterface<bool> {};

TEST_P(FlatpakLikeSteam, TheCompanionRunsInTheGamesNamespacesWithTheSandboxsFiles) {
  const bool display99 = GetParam();
  // A native Steam on the host holds the same game under the very paths the sandbox shows: not the sandbox's.
  const fs::path hostProton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  const fs::path persisted = desktop->home() / ".var/app/com.valvesoftware.Steam";
  const fs::path sandboxProton = desktop->installProton("Proton 9.0", persisted / ".local/share/Steam");
  desktop->makeCompatData("730", true, persisted / ".local/share/Steam");
  desktop->startLauncher();

  const std::string display = display99 ? ":99.0" : x.display();
  std::vector<std::string> wrapper = flatpakLike(persisted, display99 ? "X99" : "X" + x.display().substr(1));
  wrapper.insert(wrapper.end(), {"--setenv", "DISPLAY", display});
  std::vector<std::string> env = desktop->protonEnvironment("730", hostProton);
  env.insert(env.end(), {"HOME=" + desktop->home().string(), "FAKE_WINDOW_TITLE=Game 730", "WINESERVERSOCKET=3",
                         "WINEPRELOADRESERVE=0x10000-0x20000"});
  desktop->startGameIn(wrapper, "730", hostProton, env);
  ASSERT_TRUE(waitUntil([&] { return companionsIn(sandboxProton).size() == 1; })) << dump();
  const pid_t companion = companionsIn(sandboxProton).front();

  EXPECT_TRUE(companionsIn(hostProton).empty());
  EXPECT_EQ(desktop->companionArgs(companion),
            (std::vector<std::string>{(hostProton / "files/bin/wine").string(), privateDir() + "/Cursello.exe",
                                      "--proton-child", "--target-appid", "730"}));
  EXPECT_EQ(desktop->companionRecord(companion, ".exe"), kCursello);
  EXPECT_EQ(desktop->companionRecord(companion, ".ns"), namespacesOf(gamePid())) << dump();
  const std::vector<std::string> companionEnv = desktop->companionEnv(companion);
  const auto has = [&](const std::string& entry) {
    return std::find(companionEnv.begin(), companionEnv.end(), entry) != companionEnv.end();
  };
  EXPECT_TRUE(has("DISPLAY=" + display));
  EXPECT_TRUE(has("WINEPREFIX=" + (desktop->compatDataPath("730") / "pfx").string()));
  EXPECT_TRUE(std::none_of(companionEnv.begin(), companionEnv.end(), [](const std::string& entry) {
    return entry.starts_with("WINESERVERSOCKET=") || entry.starts_with("WINEPRELOADRESERVE=");
  }));
  EXPECT_FALSE(fs::exists(privateDir() + "/Cursello.exe")) << "written to the launcher's /tmp";
  EXPECT_TRUE(bus.notifications().empty());
}

INSTANTIATE_TEST_SUITE_P(XSocketLayouts, FlatpakLikeSteam, ::testing::Bool());

TEST_F(SandboxedSteam, ALinkPlantedWhereTheCompanionGoesLeadsNowhere) {
  const fs::path persisted = desktop->home() / ".var/app/com.valvesoftware.Steam";
  const fs::path proton = desktop->installProton("Proton 9.0", persisted / ".local/share/Steam");
  desktop->makeCompatData("730", true, persisted / ".local/share/Steam");
  desktop->startLauncher();
  // A host directory the sandbox cannot see, named by a link the sandbox planted at the companion's directory.
  const fs::path hidden = desktop->root() / "hidden";
  fs::create_directories(hidden);
  std::vector<std::string> wrapper = flatpakLike(persisted, "X" + x.display().substr(1));
  wrapper.insert(wrapper.end(), {"--tmpfs", hidden.string(), "--symlink", hidden.string(), privateDir()});
  std::vector<std::string> env = desktop->protonEnvironment("730", proton);
  env.insert(env.end(), {"HOME=" + desktop->home().string(), "FAKE_WINDOW_TITLE=Game 730"});
  desktop->startGameIn(wrapper, "730", proton, env);
  ASSERT_TRUE(waitUntil([&] { return companionsIn(proton).size() == 1; })) << dump();

  const pid_t companion = companionsIn(proton).front();
  EXPECT_TRUE(desktop->companionArgs(companion).at(1).starts_with(privateDir() + ".")) << dump();
  EXPECT_EQ(desktop->companionRecord(companion, ".exe"), kCursello);
  EXPECT_TRUE(fs::is_empty(hidden));
}

TEST_F(SandboxedSteam, AGameInSteamsSnapGetsNoCompanionAndOneNotificationNamingTheSnap) {
  // The game's files are where the launcher finds them from the host too: a library shared with a native Steam.
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  std::vector<std::string> env = desktop->protonEnvironment("730", proton);
  env.insert(env.end(), {"HOME=" + (desktop->home() / "snap/steam/common").string(), "SNAP_NAME=steam",
                         "FAKE_WINDOW_TITLE=Game 730"});
  desktop->startGameIn(snapLike(), "730", proton, env);
  ASSERT_TRUE(desktop->waitForLog("Cannot start Cursello for AppID 730: ")) << dump();
  desktop->waitPasses(2);

  EXPECT_EQ(desktop->countLog("Cannot start Cursello for AppID 730: the game runs in Steam's Snap (steam), which the "
                              "launcher cannot reach from outside; Steam from the distribution's package or from "
                              "Flathub works with it"),
            1)
      << dump();
  EXPECT_EQ(desktop->countLog("Launched Cursello for AppID 730"), 0) << dump();
  EXPECT_TRUE(companionsIn(proton).empty());
  ASSERT_TRUE(waitUntil([&] { return !bus.notifications().empty(); })) << dump();
  const auto notifications = bus.notifications();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_NE(notifications[0].summary.find("Game 730"), std::string::npos) << notifications[0].summary;
  EXPECT_NE(notifications[0].body.find("Snap Store"), std::string::npos) << notifications[0].body;
}

TEST_F(SandboxedSteam, AGameInAContainerOfTheUsersWithinTheSnapGetsItsCompanionInside) {
  const fs::path snapHome = desktop->home() / "snap/steam/common";
  const fs::path library = snapHome / ".local/share/Steam";
  const fs::path proton = desktop->installProton("Proton 9.0", library);
  desktop->makeCompatData("730", true, library);
  desktop->startLauncher();
  std::vector<std::string> env = desktop->protonEnvironment("730", proton, library);
  env.insert(env.end(), {"HOME=" + snapHome.string(), "SNAP_NAME=steam", "FAKE_WINDOW_TITLE=Game 730"});
  desktop->startGameIn(snapLike({bwrap.string(), "--unshare-user", "--die-with-parent", "--dev-bind", "/", "/"}), "730",
                       proton, env);
  ASSERT_TRUE(waitUntil([&] { return companionsIn(proton).size() == 1; })) << dump();

  const pid_t companion = companionsIn(proton).front();
  EXPECT_EQ(desktop->companionRecord(companion, ".ns"), namespacesOf(gamePid())) << dump();
  EXPECT_EQ(desktop->companionArgs(companion).at(1), privateDir() + "/Cursello.exe");
  EXPECT_EQ(slurp("/proc/" + gamePid() + "/root" + privateDir() + "/Cursello.exe"), kCursello) << "in the Snap's /tmp";
  EXPECT_TRUE(bus.notifications().empty());
}

}  // namespace
}  // namespace cs::test
