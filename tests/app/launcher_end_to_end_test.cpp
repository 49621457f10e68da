// The real launcher against real processes, a real X server with a window manager and a temporary Steam
// installation: a game's whole life as the user's desktop would show it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/wait.h>
// Xlib after GoogleTest: Xlib's macros (None, Bool, Status) would break GoogleTest's own names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/wayland_desktop.h"
#include "tests/support/x_server.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const std::string kOverrides = "dxgi=n,b;d3d11=n,b";

// The launcher's log lines that concern one AppID (and no marker of waitPasses).
std::vector<std::string> linesFor(const SteamDesktop& desktop, const std::string& appId) {
  std::vector<std::string> result;
  for (const auto& line : desktop.log()) {
    if (line.time.empty()) continue;
    const std::string& m = line.message;
    const bool mentions = m.find("AppID " + appId + " ") != std::string::npos ||
                          m.find("AppID " + appId + ";") != std::string::npos ||
                          m.find("AppID " + appId + ":") != std::string::npos ||
                          (m.size() >= appId.size() + 6 &&
                           m.compare(m.size() - appId.size() - 6, std::string::npos, "AppID " + appId) == 0);
    if (mentions || m == "WINEDLLOVERRIDES is applied only to the Cursello child process") result.push_back(m);
  }
  return result;
}

std::string withoutPrefix(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : std::string();
}

std::vector<std::string> environOf(pid_t pid) {
  std::vector<std::string> items;
  const std::string bytes = slurp("/proc/" + std::to_string(pid) + "/environ");
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    if (end > start) items.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

char processState(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '\0' : stat[close + 2];
}

class LauncherEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x.ok()) << "no X server: " << x.diagnostics();
    ASSERT_TRUE(bus.ok() && bus.startTrayWatcher()) << "no session bus: " << bus.diagnostics();
    desktop = std::make_unique<SteamDesktop>(x.display(), bus.address());
  }

  // Waits for the companion line and returns the child's pid.
  pid_t waitForCompanion(const std::string& appId, int count = 1) {
    const std::string prefix = "Launched Cursello for AppID " + appId + " with child pid ";
    EXPECT_TRUE(desktop->waitForLog(prefix, count)) << "no launch; log:\n" << dump();
    std::vector<pid_t> pids;
    for (const auto& m : messages(desktop->log())) {
      const std::string rest = withoutPrefix(m, prefix);
      if (!rest.empty()) pids.push_back(std::stoi(rest));
    }
    return pids.size() >= static_cast<std::size_t>(count) ? pids[count - 1] : -1;
  }

  std::string dump() const {
    std::string text;
    for (const auto& line : desktop->log()) text += line.time + " " + line.message + "\n";
    return text;
  }

  XServer x{true};
  SessionBus bus;
  std::unique_ptr<SteamDesktop> desktop;
};

TEST_F(LauncherEndToEnd, AGameWholeLife) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  const fs::path compat = desktop->makeCompatData("730");
  desktop->startLauncher();

  // Steam's launch process carries Steam's own compatibility values, which the companion must not inherit, and
  // one of Proton's sync settings, which it must keep.
  const pid_t launch = desktop->startSteamLaunch(
      "730", proton,
      {"SteamAppId=730", "STEAM_RUNTIME=1", "WINEPREFIX=/steam/own/pfx", "STEAM_COMPAT_DATA_PATH=/steam/own",
       "STEAM_COMPAT_CLIENT_INSTALL_PATH=/steam", "WINEDLLOVERRIDES=steam=n", "WINEFSYNC=0", "Steam_compat_x=1"});
  ASSERT_TRUE(desktop->waitForLog("Detected Steam launch for AppID 730;")) << dump();
  const pid_t game = desktop->startGame("730", proton, "Game 730");
  const pid_t child = waitForCompanion("730");
  ASSERT_GT(child, 0);

  ASSERT_TRUE(waitUntil([&] { return desktop->companionArgs(child).size() == 5; })) << "companion did not start";
  const std::vector<std::string> launchEnvironment = environOf(launch);
  desktop->endCompanion(child);
  ASSERT_TRUE(desktop->waitForLog("Cursello child for AppID 730 exited")) << dump();
  // Both end between two passes, so that the evidence and window counters run together from here: the "exited"
  // line opens a pass, while a marker's line comes after its pass has read the processes and windows.
  desktop->waitPasses(1);
  desktop->stopProcess(launch);
  desktop->stopProcess(game);
  ASSERT_TRUE(desktop->waitForLog("Game AppID 730 evidence disappeared; clearing session state")) << dump();

  const auto lines = linesFor(*desktop, "730");
  ASSERT_EQ(lines.size(), 9u) << dump();
  EXPECT_EQ(lines[0], "Detected Steam launch for AppID 730; waiting for Proton game window");
  EXPECT_EQ(lines[1], "Confirmed Proton process state for AppID 730");
  const std::string window =
      withoutPrefix(lines[2], "Detected visible Proton game window for AppID 730; launching Cursello ");
  EXPECT_TRUE(window.rfind("xid=", 0) == 0 && window.ends_with(" pid=" + std::to_string(game) + " title=\"Game 730\""))
      << lines[2];
  EXPECT_EQ(lines[3], "Launching after stable Proton game window for AppID 730 " + window);
  const fs::path wine = proton / "files/bin/wine";
  const fs::path exe = desktop->curselloExe();
  EXPECT_EQ(lines[4], "Launching Cursello for AppID 730 inherited_env_pid=" + std::to_string(launch) +
                          " compatdata=\"" + compat.string() + "\" proton_dir=\"" + proton.string() + "\" wine=\"" +
                          wine.string() + "\" wineprefix=\"" + (compat / "pfx").string() + "\" exe=\"" + exe.string() +
                          "\" WINEDLLOVERRIDES=\"" + kOverrides + "\"");
  EXPECT_EQ(lines[5], "WINEDLLOVERRIDES is applied only to the Cursello child process");
  EXPECT_EQ(lines[6], "Launched Cursello for AppID 730 with child pid " + std::to_string(child));
  EXPECT_EQ(lines[7], "Cursello child for AppID 730 exited");
  EXPECT_EQ(lines[8], "Game AppID 730 evidence disappeared; clearing session state");

  EXPECT_EQ(desktop->companionArgs(child),
            (std::vector<std::string>{wine.string(), exe.string(), "--proton-child", "--target-appid", "730"}));

  // The companion's environment: Steam's launch environment without the four controlled names, the game's
  // missing sync setting, then the four controlled values, last and in order. Nothing of the launcher's own.
  const auto env = desktop->companionEnv(child);
  ASSERT_GE(env.size(), 4u);
  const std::vector<std::string> lastFour(env.end() - 4, env.end());
  EXPECT_EQ(lastFour, (std::vector<std::string>{"WINEPREFIX=" + (compat / "pfx").string(),
                                                "STEAM_COMPAT_DATA_PATH=" + compat.string(),
                                                "STEAM_COMPAT_CLIENT_INSTALL_PATH=" + desktop->steamRoot().string(),
                                                "WINEDLLOVERRIDES=" + kOverrides}));
  std::multiset<std::string> inherited(env.begin(), env.end() - 4);
  std::multiset<std::string> expected;
  for (const auto& entry : launchEnvironment) {
    const std::string name = entry.substr(0, entry.find('='));
    if (name != "WINEPREFIX" && name != "STEAM_COMPAT_DATA_PATH" && name != "STEAM_COMPAT_CLIENT_INSTALL_PATH" &&
        name != "WINEDLLOVERRIDES") {
      expected.insert(entry);
    }
  }
  EXPECT_TRUE(expected.contains("WINEFSYNC=0"));
  expected.insert("WINEESYNC=1");
  EXPECT_EQ(inherited, expected);
}

TEST_F(LauncherEndToEnd, OnlyARunOfSteamsOwnExecutableIsALaunchAlsoAfterAnUpdateReplacedIt) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  // Steam updated its reaper while the game ran: the launch's executable is a deleted file of the Steam root.
  desktop->startSteamLaunch("730", proton, {});
  fs::remove(desktop->reaper());
  fs::copy_file(fakeProcessBinary(), desktop->reaper());
  desktop->startLauncher();
  // Steam's words from any other program, and a Proton process below it, are nothing.
  const pid_t decoy = desktop->startProcess({"steam", "SteamLaunch", "AppId=4242"}, SteamDesktop::baseEnvironment());
  ASSERT_GT(decoy, 0);
  desktop->startProcess({"python3", (proton / "proton").string(), "waitforexitandrun", "/g/decoy.exe"},
                        desktop->protonEnvironment("4242", proton));
  desktop->startGame("730", proton, "Game 730");
  ASSERT_GT(waitForCompanion("730"), 0);
  desktop->waitPasses(2);
  EXPECT_EQ(desktop->countLog("Detected Steam launch for AppID 730;"), 1) << dump();
  EXPECT_EQ(desktop->countLog("Detected Steam launch for AppID 4242"), 0) << dump();
  EXPECT_EQ(desktop->countLog("Game AppID 4242"), 0) << dump();
}

TEST_F(LauncherEndToEnd, DescendantWindowCountsAndCompanionTitledWindowIsSkipped) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("440");
  desktop->startLauncher();
  desktop->startSteamLaunch("440", proton, {});
  // A window of the game's process that carries the companion's name comes first in the list; the game's real
  // window belongs to a grandchild that is no Proton process itself.
  desktop->startGame("440", proton, "Cursello preview 440");
  const pid_t game = desktop->startGame(
      "440", proton, "Game 440",
      {"FAKE_CHILD_CHAIN=2", "FAKE_CHILD_UNSET=SteamAppId,SteamGameId,STEAM_COMPAT_DATA_PATH,WINEPREFIX"});
  waitForCompanion("440");
  const auto lines = linesFor(*desktop, "440");
  const auto visible = std::find_if(lines.begin(), lines.end(), [](const std::string& m) {
    return m.rfind("Detected visible Proton game window for AppID 440;", 0) == 0;
  });
  ASSERT_NE(visible, lines.end()) << dump();
  EXPECT_TRUE(visible->ends_with(" title=\"Game 440\"")) << *visible;
  EXPECT_EQ(visible->find(" pid=" + std::to_string(game) + " "), std::string::npos) << "not the grandchild's window";
}

TEST_F(LauncherEndToEnd, UnmappedWindowKeepsTheSessionButTriggersNothing) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("570");
  desktop->startLauncher();
  desktop->startSteamLaunch("570", proton, {});
  // A windowless Proton process keeps the game's evidence while its window process comes and goes.
  desktop->startGame("570", proton, "");
  const pid_t game = desktop->startGame("570", proton, "Game 570", {"FAKE_WINDOW_MAPPED=0"});
  ASSERT_TRUE(desktop->waitForLog("Confirmed Proton process state for AppID 570")) << dump();
  desktop->waitPasses(2);
  EXPECT_EQ(desktop->countLog("Detected visible Proton game window for AppID 570;"), 0) << dump();

  desktop->signalProcess(game, SIGUSR1);  // map
  const pid_t child = waitForCompanion("570");
  desktop->endCompanion(child);
  ASSERT_TRUE(desktop->waitForLog("Cursello child for AppID 570 exited")) << dump();

  desktop->signalProcess(game, SIGUSR1);  // unmap: the game still has a window
  desktop->waitPasses(6);
  EXPECT_EQ(desktop->countLog("Game AppID 570 "), 0) << dump();
  EXPECT_EQ(desktop->countLog("Detected Steam relaunch for AppID 570"), 0) << dump();

  desktop->stopProcess(game);  // no window at all while the Steam launch and a Proton process remain
  ASSERT_TRUE(desktop->waitForLog("Game AppID 570 window and Cursello child are gone; clearing session state"))
      << dump();
  ASSERT_TRUE(desktop->waitForLog("Detected Steam launch for AppID 570;", 2)) << dump();
}

TEST_F(LauncherEndToEnd, GameAlreadyRunningAtStartIsHandledInTheFirstPass) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("620");
  const pid_t launch = desktop->startSteamLaunch("620", proton, {});
  desktop->startGame("620", proton, "Game 620");
  desktop->startLauncher();
  waitForCompanion("620");
  // The launcher's own lines: the stand-in wine, and GLib when the tray's bus is slow, write untimestamped ones.
  std::vector<std::string> lines;
  for (const LogLine& line : desktop->log()) {
    if (!line.time.empty()) lines.push_back(line.message);
  }
  ASSERT_GE(lines.size(), 8u) << dump();
  EXPECT_EQ(lines[0], "CurselloLinuxLauncher started");
  EXPECT_EQ(lines[1], "Detected Steam launch for AppID 620; waiting for Proton game window");
  EXPECT_EQ(lines[2], "Confirmed Proton process state for AppID 620");
  EXPECT_EQ(lines[3].rfind("Detected visible Proton game window for AppID 620; launching Cursello xid=", 0), 0u);
  EXPECT_EQ(lines[4].rfind("Launching after stable Proton game window for AppID 620 xid=", 0), 0u);
  EXPECT_EQ(lines[5].rfind("Launching Cursello for AppID 620 inherited_env_pid=" + std::to_string(launch) + " ", 0),
            0u);
  EXPECT_EQ(lines[7].rfind("Launched Cursello for AppID 620 with child pid ", 0), 0u);
}

TEST_F(LauncherEndToEnd, RelaunchWithANewWindowAfterTheCompanionEnded) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  desktop->startSteamLaunch("730", proton, {});
  const pid_t first = desktop->startGame("730", proton, "Game 730");
  const pid_t child = waitForCompanion("730");
  desktop->endCompanion(child);
  ASSERT_TRUE(desktop->waitForLog("Cursello child for AppID 730 exited")) << dump();

  desktop->stopProcess(first);
  const pid_t second = desktop->startGame("730", proton, "Game 730 again");
  const pid_t secondChild = waitForCompanion("730", 2);
  EXPECT_NE(secondChild, child);

  const auto lines = linesFor(*desktop, "730");
  const auto relaunch = std::find_if(lines.begin(), lines.end(), [](const std::string& m) {
    return m.rfind("Detected Steam relaunch for AppID 730 with new game window xid=", 0) == 0;
  });
  ASSERT_NE(relaunch, lines.end()) << dump();
  EXPECT_TRUE(relaunch->ends_with(" pid=" + std::to_string(second) + " title=\"Game 730 again\"")) << *relaunch;
  // The relaunch and the new launch happen in the same pass.
  ASSERT_GE(lines.end() - relaunch, 7) << dump();
  EXPECT_EQ(relaunch[1], "Confirmed Proton process state for AppID 730");
  EXPECT_EQ(relaunch[2].rfind("Detected visible Proton game window for AppID 730;", 0), 0u);
  EXPECT_EQ(relaunch[3].rfind("Launching after stable Proton game window for AppID 730 ", 0), 0u);
  EXPECT_EQ(relaunch[6], "Launched Cursello for AppID 730 with child pid " + std::to_string(secondChild));
}

TEST_F(LauncherEndToEnd, LibraryShortcutGameGetsItsCompanionInItsPrefix) {
  // A Windows program the user added to Steam: its processes carry SteamAppId 0 and the shortcut's game id.
  const std::string appId = "2500492446";
  const fs::path proton = desktop->installProton("Proton - Experimental");
  const fs::path compat = desktop->makeCompatData(appId);
  desktop->startLauncher();
  desktop->startSteamLaunch(appId, proton, {});
  std::vector<std::string> env;
  for (const std::string& entry : desktop->protonEnvironment(appId, proton)) {
    if (entry.rfind("SteamAppId=", 0) == 0) {
      env.push_back("SteamAppId=0");
    } else if (entry.rfind("SteamGameId=", 0) == 0) {
      env.push_back("SteamGameId=10739533279498600448");
    } else {
      env.push_back(entry);
    }
  }
  env.push_back("FAKE_WINDOW_TITLE=Launcher");
  desktop->startInLaunch(appId, {"python3", (proton / "proton").string(), "waitforexitandrun", "/g/Launcher.exe"}, env);
  const pid_t child = waitForCompanion(appId);
  ASSERT_GT(child, 0);
  EXPECT_EQ(desktop->countLog("Confirmed Proton process state for AppID " + appId), 1) << dump();
  ASSERT_TRUE(waitUntil([&] { return desktop->companionArgs(child).size() == 5; })) << "companion did not start";
  const auto companionEnv = desktop->companionEnv(child);
  EXPECT_NE(std::find(companionEnv.begin(), companionEnv.end(), "WINEPREFIX=" + (compat / "pfx").string()),
            companionEnv.end());
}

TEST_F(LauncherEndToEnd, TwoGamesOpenInAppIdStringOrder) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->startSteamLaunch("9", proton, {});
  desktop->startSteamLaunch("10", proton, {});
  desktop->startLauncher();
  ASSERT_TRUE(desktop->waitForLog("Detected Steam launch for AppID 9;")) << dump();
  const auto lines = messages(desktop->log());
  const auto ten =
      std::find(lines.begin(), lines.end(), "Detected Steam launch for AppID 10; waiting for Proton game window");
  const auto nine =
      std::find(lines.begin(), lines.end(), "Detected Steam launch for AppID 9; waiting for Proton game window");
  ASSERT_NE(ten, lines.end()) << dump();
  EXPECT_LT(ten - lines.begin(), nine - lines.begin());
}

TEST_F(LauncherEndToEnd, EachLaunchFailureIsReportedOnce) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  const fs::path broken = desktop->installProton("Proton Broken");
  // A wine loader that exists but cannot be executed.
  fs::remove(broken / "files/bin/wine");
  fs::create_directories(broken / "files/bin/wine");
  const fs::path noPrefix = desktop->makeCompatData("102", false);
  desktop->makeCompatData("103");
  desktop->startLauncher();
  for (const std::string appId : {"101", "102"}) {
    desktop->startSteamLaunch(appId, proton, {});
    desktop->startGame(appId, proton, "Game " + appId);
  }
  desktop->startSteamLaunch("103", broken, {});
  desktop->startGame("103", broken, "Game 103");

  ASSERT_TRUE(desktop->waitForLog("No usable Steam Proton context found for AppID 101")) << dump();
  ASSERT_TRUE(desktop->waitForLog("Wine prefix not found: ")) << dump();
  ASSERT_TRUE(desktop->waitForLog("Failed to launch Proton wine for AppID 103: ")) << dump();
  desktop->waitPasses(3);
  EXPECT_EQ(desktop->countLog("No usable Steam Proton context found for AppID 101"), 1) << dump();
  EXPECT_EQ(desktop->countLog("Wine prefix not found: " + (noPrefix / "pfx").string()), 1) << dump();
  EXPECT_EQ(desktop->countLog("Failed to launch Proton wine for AppID 103: " + std::string(strerror(EACCES))), 1)
      << dump();
  EXPECT_EQ(desktop->countLog("Launching after stable Proton game window for AppID "), 3) << dump();
  EXPECT_EQ(desktop->countLog("Launched Cursello for AppID "), 0) << dump();
}

TEST_F(LauncherEndToEnd, MissingCurselloExeIsReportedOnce) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher(false);
  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  ASSERT_TRUE(desktop->waitForLog("Cursello.exe not found: " + desktop->curselloExe().string())) << dump();
  desktop->waitPasses(3);
  EXPECT_EQ(desktop->countLog("Cursello.exe not found: "), 1) << dump();
  EXPECT_EQ(desktop->countLog("Launching Cursello for AppID "), 0) << dump();
}

TEST_F(LauncherEndToEnd, AFailedLaunchIsToldOnceOnTheDesktopAndAGoodOneNot) {
  ASSERT_TRUE(bus.startNotificationServer()) << bus.diagnostics();
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->makeCompatData("440");
  desktop->startLauncher(false);
  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  const std::string line =
      "Cursello.exe not found: " + desktop->curselloExe().string() + " or " + desktop->dataCurselloExe().string();
  ASSERT_TRUE(desktop->waitForLog(line)) << dump();
  // Cursello.exe in place now: the next game's companion starts, and that is told to nobody.
  writeFile(desktop->curselloExe(), "MZ stand-in for Cursello.exe\n");
  desktop->startSteamLaunch("440", proton, {});
  desktop->startGame("440", proton, "Game 440");
  waitForCompanion("440");
  desktop->waitPasses(2);
  ASSERT_TRUE(waitUntil([&] { return !bus.notifications().empty(); })) << dump();
  const auto notifications = bus.notifications();
  ASSERT_EQ(notifications.size(), 1u) << dump();
  EXPECT_EQ(notifications[0].app, "CurselloLinuxLauncher");
  // The theme's icon once installed (a packaging test may have it installed meanwhile), else the tray's file.
  const std::string& icon = notifications[0].icon;
  EXPECT_TRUE(icon == "CurselloLinuxLauncher" || (icon.starts_with("file:///") && icon.ends_with("/icon.png"))) << icon;
  EXPECT_NE(notifications[0].summary.find("Game 730"), std::string::npos) << notifications[0].summary;
  EXPECT_NE(notifications[0].body.find("Put Cursello.exe in " + desktop->launcherDir().string() + " or in " +
                                       desktop->dataCurselloExe().parent_path().string() + " and"),
            std::string::npos)
      << notifications[0].body;
  EXPECT_TRUE(notifications[0].body.ends_with(line)) << notifications[0].body;
}

// A Latin-1 title comes out as valid UTF-8; the body is escaped as markup only for a server that reads markup.
TEST_F(LauncherEndToEnd, ANotificationIsValidTextAndMarkupOnlyForAServerThatReadsIt) {
  for (const bool markup : {false, true}) {
    SCOPED_TRACE(markup ? "body-markup" : "plain body");
    SessionBus rowBus;
    ASSERT_TRUE(rowBus.startNotificationServer(markup ? std::vector<std::string>{"body", "body-markup"}
                                                      : std::vector<std::string>{"body"}));
    SteamDesktop row(x.display(), rowBus.address());
    const fs::path proton = row.installProton("Proton 9.0");
    row.makeCompatData("730");
    const fs::path program = row.root() / "Tom & Jerry/CurselloLinuxLauncher";
    fs::create_directories(program.parent_path());
    fs::copy_file(launcherBinary(), program);
    row.startInstalledLauncher(program);
    row.startSteamLaunch("730", proton, {});
    row.startGame("730", proton, "Pok\xe9mon");
    ASSERT_TRUE(waitUntil([&] { return !rowBus.notifications().empty(); })) << slurp(row.logFile());
    const auto notification = rowBus.notifications().front();
    EXPECT_EQ(notification.summary, "Cursello could not be started for Pok\uFFFDmon");
    const std::string dir = (row.root() / (markup ? "Tom &amp; Jerry" : "Tom & Jerry")).string();
    EXPECT_TRUE(notification.body.ends_with("Cursello.exe not found: " + dir + "/Cursello.exe or " +
                                            row.dataCurselloExe().string()))
        << notification.body;
  }
}

TEST_F(LauncherEndToEnd, WithoutANotificationServerAFailedLaunchChangesNothing) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher(false);
  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  ASSERT_TRUE(desktop->waitForLog("Cursello.exe not found: ")) << dump();
  desktop->waitPasses(2);
  // The bus answers at once that nobody serves notifications; the launcher polls on and logs nothing of it.
  bool afterFailure = false;
  for (const auto& line : desktop->log()) {
    if (afterFailure) {
      EXPECT_EQ(line.message.rfind("Detected Steam launch for AppID 99", 0), 0u) << dump();
    }
    afterFailure = afterFailure || line.message.rfind("Cursello.exe not found: ", 0) == 0;
  }
  EXPECT_EQ(desktop->countLog("Cursello.exe not found: "), 1) << dump();
}

TEST_F(LauncherEndToEnd, RunningBuildBehindItsInterpreterWinsOverExperimental) {
  desktop->installProton("Proton - Experimental");
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  ASSERT_TRUE(desktop->waitForLog("Launching Cursello for AppID 730 ")) << dump();
  EXPECT_EQ(desktop->countLog("Launching Cursello for AppID 730 "), 1);
  for (const auto& m : messages(desktop->log())) {
    if (m.rfind("Launching Cursello for AppID 730 ", 0) == 0) {
      EXPECT_NE(m.find(" proton_dir=\"" + proton.string() + "\" "), std::string::npos) << m;
    }
  }
}

TEST_F(LauncherEndToEnd, AWindowThatVanishesWhileScannedDoesNotStopPolling) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();

  // The window manager's list names a window that no longer exists, as it does for a moment after a window
  // is destroyed; every scan of the launcher now meets an X error.
  Display* display = XOpenDisplay(x.display().c_str());
  ASSERT_NE(display, nullptr);
  const Window root = DefaultRootWindow(display);
  const Window gone = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
  XDestroyWindow(display, gone);
  const unsigned long ids[] = {gone};
  XChangeProperty(display, root, XInternAtom(display, "_NET_CLIENT_LIST", False), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(ids), 1);
  XSync(display, False);
  desktop->waitPasses(3);
  XCloseDisplay(display);
  EXPECT_FALSE(desktop->launcher().wait(std::chrono::milliseconds(0))) << "the launcher ended:\n" << dump();

  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  EXPECT_GT(waitForCompanion("730"), 0);
}

TEST_F(LauncherEndToEnd, CompanionOfAClearedSessionIsReapedWhenItEnds) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  const pid_t launch = desktop->startSteamLaunch("730", proton, {});
  const pid_t game = desktop->startGame("730", proton, "Game 730");
  const pid_t child = waitForCompanion("730");
  desktop->stopProcess(launch);
  desktop->stopProcess(game);
  ASSERT_TRUE(desktop->waitForLog("Game AppID 730 evidence disappeared; clearing session state")) << dump();
  ASSERT_NE(processState(child), '\0') << "the companion should still run";

  desktop->endCompanion(child);
  EXPECT_TRUE(waitUntil([&] { return processState(child) == '\0'; }))
      << "companion left in state " << processState(child);
  EXPECT_EQ(desktop->countLog("Cursello child for AppID 730"), 0) << "reaped quietly:\n" << dump();
}

TEST_F(LauncherEndToEnd, QuitFromTheTrayLeavesTheCompanionRunning) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  const pid_t child = waitForCompanion("730");
  ASSERT_TRUE(waitUntil([&] { return desktop->companionArgs(child).size() == 5; }));

  ASSERT_TRUE(clickTrayQuit(bus.address())) << dump();
  const auto status = desktop->launcher().wait(std::chrono::seconds(20));
  ASSERT_TRUE(status) << "the launcher did not end:\n" << dump();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
  const auto lines = desktop->log();
  std::vector<std::string> timestamped;
  for (const auto& line : lines) {
    if (!line.time.empty()) timestamped.push_back(line.message);
  }
  ASSERT_FALSE(timestamped.empty());
  EXPECT_EQ(timestamped.back(), "CurselloLinuxLauncher exiting");
  EXPECT_EQ(std::count(timestamped.begin(), timestamped.end(), "CurselloLinuxLauncher exiting"), 1);
  const char state = processState(child);
  EXPECT_TRUE(state != '\0' && state != 'Z') << "the companion should run on, state " << state;

  // The companion must not have inherited the launcher's lock: the next launcher starts.
  desktop->startLauncher();
  EXPECT_TRUE(desktop->waitForLog("CurselloLinuxLauncher started", 2)) << dump();
}

// --- Displays of their own, displays that go away or hang ----------------------------------------------------------

bool hasEntry(const std::vector<std::string>& env, const std::string& entry) {
  return std::find(env.begin(), env.end(), entry) != env.end();
}

// A game inside gamescope shows its windows on gamescope's display, an X server without a window manager where
// Wine's helper windows are top-level too; the game ends with that display.
TEST_F(LauncherEndToEnd, AGameOnADisplayOfItsOwnIsServedThereUntilThatDisplayEnds) {
  auto gamescope = std::make_unique<XServer>(false);
  ASSERT_TRUE(gamescope->ok()) << gamescope->diagnostics();
  const std::string gameDisplay = gamescope->display() + ".0";
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("2310");
  desktop->makeCompatData("2320");
  desktop->startLauncher();
  const pid_t launch = desktop->startSteamLaunch("2310", proton, {"DISPLAY=" + x.display()});
  const pid_t game =
      desktop->startGame("2310", proton, "Game 2310", {"DISPLAY=" + gameDisplay, "FAKE_HELPER_WINDOWS=1"});
  const pid_t child = waitForCompanion("2310");
  ASSERT_GT(child, 0);

  EXPECT_EQ(desktop->countLog("Game AppID 2310 shows its windows on X11 display " + gameDisplay + ";"), 1) << dump();
  // The helper windows come first on that display, and are passed over.
  const auto lines = linesFor(*desktop, "2310");
  ASSERT_GE(lines.size(), 4u) << dump();
  EXPECT_TRUE(lines[3].starts_with("Detected visible Proton game window for AppID 2310;") &&
              lines[3].ends_with(" pid=" + std::to_string(game) + " title=\"Game 2310\""))
      << dump();
  ASSERT_TRUE(waitUntil([&] { return !desktop->companionEnv(child).empty(); }));
  EXPECT_TRUE(hasEntry(desktop->companionEnv(child), "DISPLAY=" + gameDisplay));

  // gamescope ends, and the game with it; then Steam's launch.
  gamescope.reset();
  desktop->stopProcess(game);
  desktop->stopProcess(launch);
  ASSERT_TRUE(desktop->waitForLog("Game AppID 2310 evidence disappeared; clearing session state")) << dump();

  desktop->startSteamLaunch("2320", proton, {});
  desktop->startGame("2320", proton, "Game 2320");
  EXPECT_GT(waitForCompanion("2320"), 0);
  EXPECT_EQ(desktop->countLog("Launched Cursello for AppID "), 2) << dump();
}

// A game-mode session of gamescope: Steam on a first display, games on a second, neither with a window manager, no
// tray host, the displays named only in the session's gamescope-environment file. The launcher runs as the user
// unit starts it (no arguments, that file's variables) and takes Cursello.exe from the user's data directory.
TEST(LauncherGameMode, ServesAGameOnTheGameDisplayAndStillTellsAFailedStart) {
  XServer steamDisplay(false);
  XServer gameDisplay(false);
  ASSERT_TRUE(steamDisplay.ok() && gameDisplay.ok()) << steamDisplay.diagnostics() << gameDisplay.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.startNotificationServer()) << bus.diagnostics();
  SteamDesktop desktop("", bus.address());
  desktop.setLauncherEnvironment({"DISPLAY=" + steamDisplay.display(), "GAMESCOPE_WAYLAND_DISPLAY=gamescope-0",
                                  "STEAM_GAME_DISPLAY_0=" + gameDisplay.display()});
  const fs::path proton = desktop.installProton("Proton 9.0");
  for (const char* appId : {"2410", "2420"}) desktop.makeCompatData(appId);
  desktop.startLauncher(false);
  const auto play = [&](const std::string& appId) {
    desktop.startSteamLaunch(appId, proton, {"DISPLAY=" + steamDisplay.display()});
    desktop.startGame(appId, proton, "Game " + appId, {"DISPLAY=" + gameDisplay.display(), "FAKE_HELPER_WINDOWS=1"});
  };

  play("2410");
  ASSERT_TRUE(desktop.waitForLog("Cursello.exe not found: ")) << slurp(desktop.logFile());
  ASSERT_TRUE(waitUntil([&] { return !bus.notifications().empty(); })) << slurp(desktop.logFile());

  writeFile(desktop.dataCurselloExe(), "MZ Cursello.exe of the data directory\n");
  play("2420");
  const std::string launched = "Launched Cursello for AppID 2420 with child pid ";
  ASSERT_TRUE(desktop.waitForLog(launched)) << slurp(desktop.logFile());
  pid_t child = -1;
  for (const auto& m : messages(desktop.log())) {
    if (m.starts_with(launched)) child = std::stoi(m.substr(launched.size()));
  }
  ASSERT_TRUE(waitUntil([&] { return !desktop.companionEnv(child).empty(); })) << slurp(desktop.logFile());
  EXPECT_TRUE(hasEntry(desktop.companionEnv(child), "DISPLAY=" + gameDisplay.display()));
  EXPECT_EQ(desktop.companionRecord(child, ".exe"), "MZ Cursello.exe of the data directory\n");
}

// A game on a display that never answers (a stopped gamescope), for 20 s: the tray answers all along, and the
// display is tried again less and less often instead of at every pass.
TEST_F(LauncherEndToEnd, ADisplayThatNeverAnswersHoldsNoPassUp) {
  XServer hung(false);
  ASSERT_TRUE(hung.ok()) << hung.diagnostics();
  hung.freeze();
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->startLauncher();
  desktop->startSteamLaunch("2330", proton, {});
  desktop->startGame("2330", proton, "", {"DISPLAY=" + hung.display()});
  ASSERT_TRUE(desktop->waitForLog("Confirmed Proton process state for AppID 2330")) << dump();
  std::vector<TrayItem> items;
  ASSERT_TRUE(waitUntil([&] { return !(items = registeredTrayItems(bus.address())).empty(); })) << dump();

  using Clock = std::chrono::steady_clock;
  for (const auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(20);) {
    const auto before = Clock::now();
    EXPECT_EQ(trayItemProperty(bus.address(), items.front(), "Status").value_or("(no answer)"), "Active");
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(1)) << "a tray read waited on the main loop";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  // Each attempt leaves a connection in the stopped server's backlog: at 0, 1, 3, 7 and 15 s, not once a second.
  EXPECT_LE(hung.queuedConnections(), 6);
  EXPECT_EQ(desktop->countLog("Game AppID 2330 shows its windows on X11 display " + hung.display() + ";"), 1) << dump();
}

// The launcher's own display stops answering for 3 s (a grab, a busy Xwayland): nothing is logged, and its games
// are served once it answers.
TEST_F(LauncherEndToEnd, TheLaunchersOwnDisplayPausedForSecondsLogsNothingAndItsGamesAreServed) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("2350");
  desktop->startLauncher();
  desktop->startSteamLaunch("2350", proton, {});
  ASSERT_TRUE(desktop->waitForLog("Detected Steam launch for AppID 2350;")) << dump();
  x.freeze();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  x.thaw();
  desktop->startGame("2350", proton, "Game 2350");
  EXPECT_GT(waitForCompanion("2350"), 0);
  EXPECT_EQ(desktop->countLog("X11 display "), 0) << dump();
}

// A Wayland compositor restarts a crashed Xwayland on the same number; the tray lives on Wayland meanwhile. The
// new server has no window manager for its first second, so the atoms the scan needs appear only later.
TEST_F(LauncherEndToEnd, TheLaunchersOwnDisplayLostAndBackIsToldOnceAndServedAgain) {
  if (!WaylandDesktop::installed()) GTEST_SKIP() << "weston is not installed";
  WaylandDesktop wayland;
  ASSERT_TRUE(wayland.ok()) << wayland.diagnostics();
  const fs::path proton = desktop->installProton("Proton 9.0");
  desktop->makeCompatData("2340");
  desktop->setLauncherEnvironment({"GDK_BACKEND=wayland", "WAYLAND_DISPLAY=" + wayland.socketPath().string()});
  desktop->startLauncher();
  desktop->waitPasses(1);

  const std::string lost = "X11 display " + x.display() + " was lost; ";
  const std::string back = "X11 display " + x.display() + " is available; ";
  x.crash();
  {
    // The number stays taken while the server is down, as its abstract socket says, bound here and never listening:
    // an X server that another test starts meanwhile takes the first number whose socket is free.
    const std::string name = "/tmp/.X11-unix/X" + x.display().substr(1);
    const int reserved = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, name.size());
    const bool bound = waitUntil([&] {
      return bind(reserved, reinterpret_cast<sockaddr*>(&address),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0;
    });
    EXPECT_TRUE(bound) << "the crashed server's number was taken at once";
    ASSERT_TRUE(desktop->waitForLog(lost)) << dump();
    desktop->waitPasses(2);
    close(reserved);
  }
  XServer restarted(false, std::stoi(x.display().substr(1)));
  ASSERT_TRUE(restarted.ok()) << restarted.diagnostics();
  ASSERT_TRUE(desktop->waitForLog(back)) << dump();
  desktop->waitPasses(1);
  ASSERT_TRUE(restarted.startWindowManager()) << restarted.diagnostics();

  desktop->startSteamLaunch("2340", proton, {});
  desktop->startGame("2340", proton, "Game 2340");
  EXPECT_GT(waitForCompanion("2340"), 0);
  EXPECT_EQ(desktop->countLog(lost), 1) << dump();
  EXPECT_EQ(desktop->countLog(back), 1) << dump();
  EXPECT_FALSE(desktop->launcher().wait(std::chrono::milliseconds(0)).has_value()) << dump();
}

// A game on Wine's Wayland driver shows no X11 window, and this launcher has no X11 display at all: the watcher in
// the game's prefix tells of the game's window, whose program ties it to the game's process, and the companion
// starts with the game's own display variables. Lines that the game's code could write into the watcher's pipe, and
// Wine's own windows, count for nothing.
TEST_F(LauncherEndToEnd, AGameOnWinesWaylandDriverIsServedThroughItsWatcherWithoutAnX11Display) {
  if (!WaylandDesktop::installed()) GTEST_SKIP() << "weston is not installed";
  WaylandDesktop compositor;
  ASSERT_TRUE(compositor.ok()) << compositor.diagnostics();
  SteamDesktop wayland("", bus.address());
  wayland.setLauncherEnvironment({"GDK_BACKEND=wayland", "WAYLAND_DISPLAY=" + compositor.socketPath().string()});
  const fs::path proton = wayland.installProton("Proton 9.0");
  const fs::path server = bindWineserverSocket(wayland.makeCompatData("730") / "pfx");
  ASSERT_FALSE(server.empty());
  const fs::path library = wayland.root() / "wine/x86_64-unix/winewayland.so";
  writeFile(library, std::string(4096, 'w'));
  const fs::path records = wayland.root() / "watch-records";
  writeFile(records, "shown\t2c\t32\t800\t600\tZ:\\x5cgames\\x5cgame.exe\tBefore started\nstarted\t1\tsystem\n"
                     "shown\t2b\t40\t800\t600\tC:\\x5cwindows\\x5csystem32\\x5cexplorer.exe\tWine's own\n"
                     "shown\t2d\t" + std::string(2000, '1') + "\n" +
                     "shown\t2a\t32\t1280\t720\tZ:\\x5cgames\\x5cgame.exe\tTest Game\n");
  wayland.startLauncher();
  std::vector<std::string> env = wayland.protonEnvironment("730", proton);
  env.push_back("FAKE_WATCH_OUTPUT=" + records.string());
  const pid_t launch = wayland.startSteamLaunch("730", proton, env);
  std::vector<std::string> gameEnv = wayland.protonEnvironment("730", proton);
  gameEnv.insert(gameEnv.end(), {"FAKE_MAP_FILE=" + library.string(), "WAYLAND_DISPLAY=wayland-7",
                                 "XDG_RUNTIME_DIR=/run/user/4242"});
  // Run as Wine runs a Windows program: its loader's executable, with the program's command line.
  const fs::path loader = wayland.root() / "wine/wine64-preloader";
  fs::copy_file(wayland.fakeProcess(), loader);
  wayland.startInLaunch("730", {"Z:\\games\\game.exe"}, gameEnv, true, loader);

  const bool launched = wayland.waitForLog("Launched Cursello for AppID 730 with child pid ");
  fs::remove_all(server);
  std::string log;
  for (const auto& line : wayland.log()) log += line.message + "\n";
  ASSERT_TRUE(launched) << log;
  EXPECT_EQ(wayland.countLog("Game AppID 730 uses Wine's Wayland driver; watching its windows from inside its prefix"),
            1) << log;
  EXPECT_EQ(wayland.countLog("Detected visible Proton game window for AppID 730; launching Cursello hwnd=0x2a "
                             "winpid=32 title=\"Test Game\""),
            1) << log;
  std::vector<std::string> watcherArgs;
  std::vector<std::string> companionEnv;
  pid_t watcher = -1;
  // The stand-in wine writes its records once it runs, which may be after the launch line.
  waitUntil([&] {
    for (const pid_t pid : wayland.companionPids()) {
      const std::vector<std::string> args = wayland.companionArgs(pid);
      if (args.size() == 2) watcher = pid;
      if (args.size() == 2) watcherArgs = args;
      if (args.size() == 5) companionEnv = wayland.companionEnv(pid);
    }
    return !watcherArgs.empty() && !companionEnv.empty();
  });
  ASSERT_EQ(watcherArgs.size(), 2u) << log;
  EXPECT_EQ(watcherArgs[1], (wayland.launcherDir() / "CurselloWindowWatch.exe").string());
  const auto has = [&](const std::string& entry) {
    return std::find(companionEnv.begin(), companionEnv.end(), entry) != companionEnv.end();
  };
  EXPECT_TRUE(has("WAYLAND_DISPLAY=wayland-7") && has("XDG_RUNTIME_DIR=/run/user/4242")) << log;
  EXPECT_TRUE(std::none_of(companionEnv.begin(), companionEnv.end(),
                           [](const std::string& e) { return e.starts_with("DISPLAY="); }));

  // The game gone, its session is cleared, and its watcher ended with it; the companion is left to end by itself.
  wayland.stopProcess(launch);
  ASSERT_TRUE(wayland.waitForLog("Game AppID 730 evidence disappeared; clearing session state")) << log;
  EXPECT_TRUE(waitUntil([&] { return kill(watcher, 0) != 0; })) << "the watcher still runs";
}

// Built without MinGW, the launcher has no watcher: it says so once, whatever the number of games that need one.
TEST_F(LauncherEndToEnd, ABuildWithoutTheWatcherSaysOnceThatGamesOnTheWaylandDriverCannotBeServed) {
  const fs::path proton = desktop->installProton("Proton 9.0");
  const fs::path library = desktop->root() / "wine/x86_64-unix/winewayland.so";
  writeFile(library, std::string(4096, 'w'));
  const fs::path loader = desktop->root() / "wine/wine64-preloader";
  fs::copy_file(desktop->fakeProcess(), loader);
  desktop->startLauncher();
  fs::remove(desktop->launcherDir() / "CurselloWindowWatch.exe");
  for (const std::string appId : {"730", "440"}) {
    desktop->makeCompatData(appId);
    desktop->startSteamLaunch(appId, proton, desktop->protonEnvironment(appId, proton));
    std::vector<std::string> gameEnv = desktop->protonEnvironment(appId, proton);
    gameEnv.push_back("FAKE_MAP_FILE=" + library.string());
    desktop->startInLaunch(appId, {"Z:\\games\\game" + appId + ".exe"}, gameEnv, true, loader);
  }
  ASSERT_TRUE(desktop->waitForLog("Game AppID 440 uses Wine's Wayland driver;")) << dump();
  ASSERT_TRUE(desktop->waitForLog("Game AppID 730 uses Wine's Wayland driver;")) << dump();
  desktop->waitPasses(2);
  EXPECT_EQ(desktop->countLog("Games on Wine's Wayland driver cannot be served by this build: "
                              "CurselloWindowWatch.exe was not built"),
            1) << dump();
  EXPECT_TRUE(desktop->companionPids().empty()) << dump();
}

}  // namespace
}  // namespace cs::test
