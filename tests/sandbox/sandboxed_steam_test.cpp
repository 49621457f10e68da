// The real launcher, run as an ordinary user, against games in sandboxes made as Flatpak and Snap make them: the
// companion starts inside a sandbox the user can enter, and nowhere for one the user cannot; a native game's
// companion takes nothing from a sandbox's processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const std::string kCursello = "MZ stand-in for Cursello.exe\n";

class SandboxedSteam : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(user && !bwrap.empty()) << "no test user, or bubblewrap is not installed";
    ASSERT_TRUE(x.ok() && bus.ok() && bus.startTrayWatcher() && bus.startNotificationServer())
        << x.diagnostics() << bus.diagnostics();
    desktop = std::make_unique<SteamDesktop>(x.display(), bus.address(), user);
  }

  // Starts, inside the sandbox that `wrapper` makes, Steam's launch of AppID 730 and, as its child, the game's
  // Proton process: its window's owner, with Wine's per-process variables. library: where the game sees Steam.
  void startGame(std::vector<std::string> wrapper, const fs::path& library, const std::vector<std::string>& env) {
    std::vector<std::string> fullEnv = desktop->protonEnvironment("730", {}, library);
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    fullEnv.insert(fullEnv.end(), {"FAKE_CHILD_CHAIN=1", "FAKE_WINDOW_TITLE=Game 730", "WINESERVERSOCKET=3",
                                   "WINEPRELOADRESERVE=0x10000-0x20000"});
    const fs::path proton = (library.empty() ? desktop->steamRoot() : library) / "steamapps/common/Proton 9.0";
    wrapper.insert(wrapper.end(), {desktop->fakeProcess().string(), "SteamLaunch", "AppId=730", "--",
                                   (proton / "proton").string(), "waitforexitandrun", "/g/game.exe"});
    desktop->startProcess(wrapper, fullEnv, true, wrapper.front());
  }

  // As Flatpak runs Steam: nested user namespaces, pids and a /tmp of its own, the X socket bound in under the name
  // xSocket, the app's data mounted over the home.
  std::vector<std::string> flatpakLike(const std::string& xSocket, const std::vector<std::string>& more) {
    const std::string home = desktop->home().string(), data = persisted().string();
    // clang-format off
    std::vector<std::string> argv = {bwrap.string(), "--unshare-user", "--disable-userns", "--unshare-pid",
        "--die-with-parent", "--dev-bind", "/", "/", "--tmpfs", "/tmp", "--proc", "/proc", "--bind", data, home,
        "--bind", data, data, "--bind", "/tmp/.X11-unix/X" + x.display().substr(1), "/tmp/.X11-unix/" + xSocket};
    // clang-format on
    argv.insert(argv.end(), more.begin(), more.end());
    return asUser(*user, argv);
  }

  // As snap-confine confines Steam: a mount namespace made by root with a /tmp of its own, in the control group
  // systemd gives a Snap's app; in it, as the user, what `inside` runs (a container of the user's own, or nothing).
  std::vector<std::string> snapLike(const std::vector<std::string>& inside) {
    const fs::path hierarchy = fs::exists("/sys/fs/cgroup/systemd") ? "/sys/fs/cgroup/systemd" : "/sys/fs/cgroup";
    snapScope = hierarchy / ("snap.steam.steam-cs" + std::to_string(getpid()) + ".scope");
    fs::create_directories(snapScope);
    // clang-format off
    std::vector<std::string> argv = {programInPath("unshare").string(), "--mount", "--propagation", "private",
        "sh", "-c", "echo $$ >" + (snapScope / "cgroup.procs").string() + " && mount -t tmpfs none /tmp && exec \"$@\"",
        "sh"};
    // clang-format on
    const std::vector<std::string> asTheUser = asUser(*user, inside);
    argv.insert(argv.end(), asTheUser.begin(), asTheUser.end());
    return argv;
  }

  fs::path persisted() const { return desktop->home() / ".var/app/com.valvesoftware.Steam"; }
  fs::path decoyLibraryPath() const { return persisted() / ".local/share/Steam"; }
  // A Flatpak app's own Steam library with "Proton 6.6" and AppID 730's prefix, the same game natively under
  // "Proton 9.0", and the launcher started; returns the native build.
  fs::path installDecoyAndNativeGame() {
    desktop->installProton("Proton 6.6", decoyLibraryPath());
    desktop->makeCompatData("730", true, decoyLibraryPath());
    const fs::path proton = desktop->installProton("Proton 9.0");
    desktop->makeCompatData("730");
    desktop->startLauncher();
    return proton;
  }
  // Expects the one companion to be the native build's, with the native launch's environment and nothing of the
  // decoy's.
  void expectNativeCompanion(const fs::path& proton) const {
    const pid_t companion = desktop->companionPids().front();
    EXPECT_EQ(desktop->companionArgs(companion).at(0), (proton / "files/bin/wine").string());
    std::string env = "\n";
    for (const std::string& entry : desktop->companionEnv(companion)) env += entry + "\n";
    EXPECT_NE(env.find("\nNATIVE_MARK=1\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("\nLD_PRELOAD="), std::string::npos) << env;
    EXPECT_EQ(env.find("\nDECOY_MARK="), std::string::npos) << env;
  }
  // The companion's private directory in a /tmp, as the game sees it.
  std::string privateDir() const { return "/tmp/CurselloLinuxLauncher-" + std::to_string(user->uid); }

  // The namespaces of the process whose window the launcher acted on, as the stand-in wine records its own.
  std::string gameNamespaces() const {
    for (const auto& line : messages(desktop->log())) {
      const std::size_t at = line.find(" pid=");
      if (!line.starts_with("Launching after stable") || at == std::string::npos) continue;
      const std::string ns = "/proc/" + std::to_string(std::stoi(line.substr(at + 5))) + "/ns/";
      return "mnt " + fs::read_symlink(ns + "mnt").string() + "\npid " + fs::read_symlink(ns + "pid").string() + "\n";
    }
    return "";
  }

  std::string dump() const {
    std::string text;
    for (const auto& line : desktop->log()) text += line.time + " " + line.message + "\n";
    return text;
  }

  void TearDown() override {
    desktop.reset();
    if (!snapScope.empty()) waitUntil([&] { return rmdir(snapScope.c_str()) == 0; }, std::chrono::seconds(5));
  }

  const std::optional<TestUser> user = sandboxTestUser();
  fs::path snapScope;
  const fs::path bwrap = programInPath("bwrap");
  XServer x{true};
  SessionBus bus;
  std::unique_ptr<SteamDesktop> desktop;
};

// Flatpak before 1.14 binds the X socket as :99; later ones keep the host's number. The later layout also meets a
// link that the sandbox planted where the companion's directory goes, to a host directory it does not show.
class FlatpakLikeSteam : public SandboxedSteam, public ::testing::WithParamInterface<bool> {};

TEST_P(FlatpakLikeSteam, TheCompanionRunsInTheGamesNamespacesWithTheSandboxsFiles) {
  const bool older = GetParam();
  // A native Steam on the host holds the same game, but not the build the game runs: the launcher must look for
  // the build where the game sees it.
  desktop->installProton("Proton 8.0");
  desktop->makeCompatData("730");
  desktop->installProton("Proton 9.0", persisted() / ".local/share/Steam");
  desktop->makeCompatData("730", true, persisted() / ".local/share/Steam");
  desktop->startLauncher();
  const fs::path hidden = desktop->root() / "hidden";
  fs::create_directories(hidden);
  const std::string display = older ? ":99.0" : x.display();
  startGame(flatpakLike(older ? "X99" : "X" + x.display().substr(1),
                        older ? std::vector<std::string>{"--setenv", "DISPLAY", display}
                              : std::vector<std::string>{"--tmpfs", hidden.string(), "--symlink", hidden.string(),
                                                         privateDir()}),
            {}, {"HOME=" + desktop->home().string()});
  ASSERT_TRUE(waitUntil([&] { return desktop->companionPids().size() == 1; })) << dump();

  const pid_t companion = desktop->companionPids().front();
  const std::vector<std::string> args = desktop->companionArgs(companion);
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[0], (desktop->steamRoot() / "steamapps/common/Proton 9.0/files/bin/wine").string());
  // Behind the planted link, the fallback: a fresh private directory beside the taken name.
  EXPECT_TRUE(older ? args[1] == privateDir() + "/Cursello.exe" : args[1].starts_with(privateDir() + ".")) << args[1];
  EXPECT_EQ(desktop->companionRecord(companion, ".exe"), kCursello);
  EXPECT_EQ(desktop->companionRecord(companion, ".ns"), gameNamespaces()) << dump();
  std::string env = "\n";
  for (const std::string& entry : desktop->companionEnv(companion)) env += entry + "\n";
  EXPECT_NE(env.find("\nDISPLAY=" + display + "\n"), std::string::npos) << env;
  EXPECT_NE(env.find("\nWINEPREFIX=" + (desktop->compatDataPath("730") / "pfx").string() + "\n"), std::string::npos);
  EXPECT_EQ(env.find("\nWINESERVERSOCKET="), std::string::npos);
  EXPECT_EQ(env.find("\nWINEPRELOADRESERVE="), std::string::npos);
  EXPECT_FALSE(fs::exists(privateDir() + "/Cursello.exe")) << "written to the launcher's own /tmp";
  EXPECT_TRUE(fs::is_empty(hidden));
  // A session of its own and nothing of the launcher's: no signal to its process group, no word in its terminal.
  EXPECT_EQ(desktop->companionRecord(companion, ".fds"),
            "session own\nfd 0 /dev/null\nfd 1 /dev/null\nfd 2 /dev/null\n");
  // The helper, which starts outside, gets nothing of the environment that the sandbox controls.
  const std::string launched = "Launched Cursello for AppID 730 with child pid ";
  for (const std::string& line : messages(desktop->log())) {
    if (line.starts_with(launched)) {
      EXPECT_EQ(slurp("/proc/" + line.substr(launched.size()) + "/environ"), "");
    }
  }
  EXPECT_TRUE(bus.notifications().empty());
}

INSTANTIATE_TEST_SUITE_P(XSocketLayouts, FlatpakLikeSteam, ::testing::Bool());

// A game on Wine's Wayland driver shows no X11 window: its window watcher starts inside the sandbox, in the game's
// namespaces with the sandbox's files, where the game's wineserver serves the prefix in the sandbox's own /tmp; the
// window it tells of then brings the companion, inside too.
TEST_F(SandboxedSteam, AGameOnWinesWaylandDriverGetsItsWatcherAndThenItsCompanionInside) {
  const fs::path library = persisted() / ".local/share/Steam";
  const fs::path proton = desktop->installProton("Proton 9.0", library);
  desktop->makeCompatData("730", true, library);
  // The socket lies in a directory that only the sandbox shows under /tmp: the launcher's /tmp has none.
  const fs::path sandboxTmp = desktop->root() / "sandbox-tmp";
  const std::string wineDir = ".wine-" + std::to_string(user->uid);
  ASSERT_FALSE(bindWineserverSocket(desktop->compatDataPath("730", library) / "pfx", sandboxTmp, user->uid).empty());
  const fs::path driver = desktop->root() / "wine/x86_64-unix/winewayland.so";
  writeFile(driver, std::string(4096, 'w'));
  const fs::path records = desktop->root() / "watch-records";
  writeFile(records, "started\t1\tsystem\nshown\t2a\t32\t1280\t720\tZ:\\x5cgames\\x5cgame.exe\tGame 730\n");
  desktop->startLauncher();
  // As the sandbox shows them: Steam's data over the home.
  const fs::path protonInside = desktop->steamRoot() / "steamapps/common/Proton 9.0";
  desktop->startSteamLaunch("730", protonInside, desktop->protonEnvironment("730", {}),
                            flatpakLike("X" + x.display().substr(1),
                                        {"--bind", (sandboxTmp / wineDir).string(), "/tmp/" + wineDir}));
  std::vector<std::string> gameEnv = desktop->protonEnvironment("730", {});
  gameEnv.insert(gameEnv.end(), {"HOME=" + desktop->home().string(), "FAKE_MAP_FILE=" + driver.string(),
                                 "FAKE_WATCH_OUTPUT=" + records.string(), "WAYLAND_DISPLAY=wayland-7"});
  // Run as Wine runs a Windows program: its loader's executable, with the program's command line.
  const fs::path loader = desktop->root() / "wine/wine64-preloader";
  fs::copy_file(desktop->fakeProcess(), loader);
  desktop->startInLaunch("730", {"Z:\\games\\game.exe"}, gameEnv, true, loader);

  pid_t watcher = -1, companion = -1;
  ASSERT_TRUE(waitUntil([&] {
    for (const pid_t pid : desktop->companionPids()) {
      const std::size_t count = desktop->companionArgs(pid).size();
      if (count == 2) watcher = pid;
      if (count == 5) companion = pid;
    }
    return watcher > 0 && companion > 0;
  })) << dump();
  EXPECT_EQ(desktop->countLog("Started the window watcher for AppID 730 with pid "), 1) << dump();
  EXPECT_EQ(desktop->countLog("Detected visible Proton game window for AppID 730; launching Cursello hwnd=0x2a "
                              "winpid=32 title=\"Game 730\""),
            1) << dump();
  // Both in the namespaces of the game's process that mapped the driver, which the first start names.
  std::string game;
  for (const std::string& line : messages(desktop->log())) {
    const std::string head = "Game AppID 730 runs in a sandbox (pid ";
    if (game.empty() && line.starts_with(head)) {
      const std::string ns = "/proc/" + std::to_string(std::stoi(line.substr(head.size()))) + "/ns/";
      game = "mnt " + fs::read_symlink(ns + "mnt").string() + "\npid " + fs::read_symlink(ns + "pid").string() + "\n";
    }
  }
  EXPECT_EQ(desktop->companionRecord(watcher, ".ns"), game) << dump();
  EXPECT_EQ(desktop->companionRecord(companion, ".ns"), game) << dump();
  EXPECT_EQ(desktop->companionArgs(watcher).at(1), privateDir() + "/CurselloWindowWatch.exe");
  EXPECT_EQ(desktop->companionRecord(watcher, ".exe"), slurp(desktop->launcherDir() / "CurselloWindowWatch.exe"));
  EXPECT_FALSE(fs::exists(privateDir() + "/CurselloWindowWatch.exe")) << "written to the launcher's own /tmp";
  // Only the watcher's output is the launcher's pipe; the companion's goes nowhere.
  EXPECT_NE(desktop->companionRecord(watcher, ".fds").find("\nfd 1 pipe:"), std::string::npos);
  EXPECT_NE(desktop->companionRecord(companion, ".fds").find("\nfd 1 /dev/null\n"), std::string::npos);
  const std::vector<std::string> env = desktop->companionEnv(companion);
  EXPECT_NE(std::find(env.begin(), env.end(), "WAYLAND_DISPLAY=wayland-7"), env.end());
  EXPECT_TRUE(bus.notifications().empty());
}

TEST_F(SandboxedSteam, NothingInTheSandboxCanWriteToTheUsersCurselloThroughTheEnteringProcess) {
  desktop->installProton("Proton 9.0", persisted() / ".local/share/Steam");
  desktop->makeCompatData("730", true, persisted() / ".local/share/Steam");
  desktop->startLauncher();
  // The user's own file, and a large one, so that the copy into the sandbox takes a while.
  const std::string bytes(32 << 20, 'M');
  writeFile(desktop->curselloExe(), bytes);
  giveTo(*user, desktop->curselloExe());
  // The sandbox cannot see the file by its path; it writes through every descriptor of it that /proc shows.
  const std::string hostile =
      "while :; do for f in /proc/[0-9]*/fd/*; do case $(readlink \"$f\") in *Cursello*) echo x >>\"$f\";; esac; "
      "done 2>/dev/null; done & exec \"$@\"";
  startGame(flatpakLike("X" + x.display().substr(1),
                        {"--tmpfs", desktop->launcherDir().string(), "sh", "-c", hostile, "sh"}),
            {}, {"HOME=" + desktop->home().string()});
  // The sandbox's busy writer slows every process on the machine down.
  ASSERT_TRUE(waitUntil([&] { return desktop->companionPids().size() == 1; }, std::chrono::seconds(120))) << dump();
  EXPECT_TRUE(slurp(desktop->curselloExe()) == bytes) << "the user's Cursello.exe was written to";
}

TEST_F(SandboxedSteam, AHelperThatEndsWithoutAWordIsAFailureTold) {
  desktop->installProton("Proton 9.0", persisted() / ".local/share/Steam");
  desktop->makeCompatData("730", true, persisted() / ".local/share/Steam");
  desktop->startLauncher();
  const fs::path helper = desktop->launcherDir() / "CurselloSandboxJoin";
  writeFile(helper, "#!/bin/sh\nexit 110\n");
  fs::permissions(helper, fs::perms::owner_all | fs::perms::others_exec | fs::perms::others_read);
  startGame(flatpakLike("X" + x.display().substr(1), {}), {}, {"HOME=" + desktop->home().string()});
  ASSERT_TRUE(desktop->waitForLog("Failed to start Cursello inside the sandbox of AppID 730: ")) << dump();
  EXPECT_EQ(desktop->countLog("Failed to start Cursello inside the sandbox of AppID 730: reading the helper's "
                              "arguments: ended with status 110 without a word"),
            1)
      << dump();
  EXPECT_EQ(desktop->countLog("Launched Cursello for AppID 730"), 0) << dump();
  ASSERT_TRUE(waitUntil([&] { return bus.notifications().size() == 1; })) << dump();
}

TEST_F(SandboxedSteam, ALauncherRunAsRootEntersNoSandbox) {
  desktop = std::make_unique<SteamDesktop>(x.display(), bus.address());
  desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  // Pids of its own are enough for a sandbox; the launcher's /tmp stays in view, where root's build tree may lie.
  startGame({bwrap.string(), "--unshare-pid", "--die-with-parent", "--dev-bind", "/", "/", "--proc", "/proc"}, {},
            {"HOME=" + desktop->home().string()});
  ASSERT_TRUE(desktop->waitForLog("Cannot start Cursello for AppID 730: ")) << dump();
  EXPECT_EQ(desktop->countLog("Cannot start Cursello for AppID 730: the launcher runs as root, which enters no game's "
                              "sandbox; start it as the user who plays"),
            1)
      << dump();
  EXPECT_TRUE(desktop->companionPids().empty());
  ASSERT_TRUE(waitUntil([&] { return bus.notifications().size() == 1; })) << dump();
}

TEST_F(SandboxedSteam, ASandboxsLongLibraryListHoldsUpNeitherTheMainLoopNorTheStart) {
  const fs::path steam = persisted() / ".local/share/Steam";
  desktop->installProton("Proton 9.0", steam);
  desktop->makeCompatData("730", true, steam);
  // 50,000 tiny libraries, under a megabyte: compared pair by pair, minutes of work.
  std::string vdf = "\"libraryfolders\" {";
  for (int i = 0; i < 50000; ++i) vdf += "\"path\"\"/" + std::to_string(i) + "\"";
  writeFile(steam / "steamapps/libraryfolders.vdf", vdf + "}");
  desktop->startLauncher();
  std::vector<TrayItem> items;
  ASSERT_TRUE(waitUntil([&] { return !(items = registeredTrayItems(bus.address())).empty(); })) << dump();
  startGame(flatpakLike("X" + x.display().substr(1), {}), {}, {"HOME=" + desktop->home().string()});
  // The tray answers every read within two seconds while the game is found and its companion started.
  const auto trayAnswers = [&] {
    return runProgram({"gdbus", "call", "--address", bus.address(), "--dest", items.front().busName,
                       "--object-path", items.front().objectPath, "--timeout", "2", "--method",
                       "org.freedesktop.DBus.Properties.Get", "'org.kde.StatusNotifierItem'", "'Title'"},
                      currentEnvironment())
        .has_value();
  };
  ASSERT_TRUE(waitUntil([&] { return !trayAnswers() || desktop->companionPids().size() == 1; })) << dump();
  EXPECT_TRUE(trayAnswers());
  EXPECT_EQ(desktop->companionPids().size(), 1u) << dump();
}

TEST_F(SandboxedSteam, AGameInSteamsSnapGetsNoCompanionAndOneNotificationNamingTheSnap) {
  // The game's files are where the launcher finds them from the host too: a library shared with a native Steam.
  desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  // The name comes from the control group that snapd made; the sandbox's own variable says what it likes.
  startGame(snapLike({}), {}, {"HOME=" + (desktop->home() / "snap/steam/common").string(), "SNAP_NAME=forged\nline"});
  ASSERT_TRUE(desktop->waitForLog("Cannot start Cursello for AppID 730: ")) << dump();
  desktop->waitPasses(2);

  EXPECT_EQ(desktop->countLog("Cannot start Cursello for AppID 730: the game runs in Steam's Snap (steam), which the "
                              "launcher cannot reach from outside; Steam from the distribution's package or from "
                              "Flathub works with it"),
            1)
      << dump();
  EXPECT_TRUE(desktop->companionPids().empty());
  ASSERT_TRUE(waitUntil([&] { return !bus.notifications().empty(); })) << dump();
  const auto notifications = bus.notifications();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_NE(notifications[0].summary.find("Game 730"), std::string::npos) << notifications[0].summary;
  EXPECT_NE(notifications[0].body.find("Snap Store"), std::string::npos) << notifications[0].body;
}

TEST_F(SandboxedSteam, AGameInAContainerOfTheUsersWithinTheSnapGetsItsCompanionInside) {
  const fs::path snapHome = desktop->home() / "snap/steam/common";
  desktop->installProton("Proton 9.0", snapHome / ".local/share/Steam");
  desktop->makeCompatData("730", true, snapHome / ".local/share/Steam");
  desktop->startLauncher();
  startGame(snapLike({bwrap.string(), "--unshare-user", "--die-with-parent", "--dev-bind", "/", "/"}),
            snapHome / ".local/share/Steam", {"HOME=" + snapHome.string(), "SNAP_NAME=steam"});
  ASSERT_TRUE(waitUntil([&] { return desktop->companionPids().size() == 1; })) << dump();

  const pid_t companion = desktop->companionPids().front();
  EXPECT_EQ(desktop->companionRecord(companion, ".ns"), gameNamespaces()) << dump();
  EXPECT_EQ(desktop->companionArgs(companion).at(1), privateDir() + "/Cursello.exe");
  EXPECT_EQ(desktop->companionRecord(companion, ".exe"), kCursello);
  EXPECT_FALSE(fs::exists(privateDir() + "/Cursello.exe")) << "written to the launcher's own /tmp";
  EXPECT_TRUE(bus.notifications().empty());
}

TEST_F(SandboxedSteam, ANativeGamesCompanionTakesNothingFromAnotherSandboxsProcesses) {
  const fs::path decoyLibrary = decoyLibraryPath();
  const fs::path decoyProton = decoyLibrary / "steamapps/common/Proton 6.6";
  const fs::path proton = installDecoyAndNativeGame();
  // A Flatpak app, first: a process that claims to be Steam's launch of the game and a Proton process of it, with a
  // preload and a build in the app's own directory, which is the same path outside. It starts from a script inside,
  // so that nothing outside the sandbox carries its command line or environment.
  const fs::path script = persisted() / "decoy.sh";
  std::string exports;
  for (const std::string& entry : desktop->protonEnvironment("730", decoyProton, decoyLibrary)) {
    exports += "export '" + entry + "'\n";
  }
  writeFile(script, exports + "export LD_PRELOAD=" + (persisted() / "evil.so").string() + " DECOY_MARK=1\nexec '" +
                        desktop->fakeProcess().string() + "' SteamLaunch AppId=730 -- '" +
                        (decoyProton / "proton").string() + "' waitforexitandrun /g/game.exe\n");
  std::vector<std::string> decoy = flatpakLike("X" + x.display().substr(1), {"/bin/sh", script.string()});
  desktop->startProcess(decoy, SteamDesktop::baseEnvironment(), true, decoy.front());
  // Then the native game, a child of its launch process, as Steam's reaper starts it.
  desktop->startSteamLaunch("730", proton, {"NATIVE_MARK=1"});
  desktop->startGame("730", proton, "Game 730");
  ASSERT_TRUE(waitUntil([&] { return desktop->companionPids().size() == 1; })) << dump();
  desktop->waitPasses(2);

  expectNativeCompanion(proton);
  // Nothing outside the native game's tree is even looked at: no line names the decoy.
  EXPECT_EQ(desktop->countLog("Passing over processes for AppID 730"), 0) << dump();
}

// A Flatpak app has the portal start a sandbox whose command line and environment it chose: the sandbox's outer
// process on the host shows them, Steam's words and a Proton build of the app's own among them.
TEST_F(SandboxedSteam, ASandboxsOuterProcessOnTheHostNamesNothingForANativeGame) {
  const fs::path decoyLibrary = decoyLibraryPath();
  const fs::path decoyProton = decoyLibrary / "steamapps/common/Proton 6.6";
  const fs::path proton = installDecoyAndNativeGame();
  std::vector<std::string> decoyEnv = desktop->protonEnvironment("730", decoyProton, decoyLibrary);
  decoyEnv.insert(decoyEnv.end(), {"LD_PRELOAD=" + (persisted() / "evil.so").string(), "DECOY_MARK=1"});
  std::vector<std::string> decoy = flatpakLike("X" + x.display().substr(1), {desktop->fakeProcess().string(),
                                               "SteamLaunch", "AppId=730", "--", (decoyProton / "proton").string(),
                                               "waitforexitandrun", "/g/game.exe"});
  desktop->startProcess(decoy, decoyEnv, true, decoy.front());
  desktop->startSteamLaunch("730", proton, {"NATIVE_MARK=1"});
  desktop->startGame("730", proton, "Game 730");
  ASSERT_TRUE(waitUntil([&] { return desktop->companionPids().size() == 1; })) << dump();

  expectNativeCompanion(proton);
}

// A program in a sandbox, not Steam, shows a window whose process claims the game the user then starts natively:
// that window is no window of the game's.
TEST_F(SandboxedSteam, ASandboxedWindowClaimingANativeGameIsNotTheGamesWindow) {
  const fs::path decoyLibrary = decoyLibraryPath();
  const fs::path proton = installDecoyAndNativeGame();
  std::vector<std::string> decoyEnv = desktop->protonEnvironment("730", {}, decoyLibrary);
  decoyEnv.push_back("FAKE_WINDOW_TITLE=Game 730");
  std::vector<std::string> decoy =
      flatpakLike("X" + x.display().substr(1), {desktop->fakeProcess().string(), "game.exe"});
  desktop->startProcess(decoy, decoyEnv, true, decoy.front());
  desktop->startSteamLaunch("730", proton, {});
  desktop->startGame("730", proton, "Game 730");
  ASSERT_TRUE(waitUntil([&] { return desktop->companionPids().size() == 1; })) << dump();
  desktop->waitPasses(1);

  EXPECT_EQ(desktop->countLog("Game AppID 730 runs in a sandbox"), 0) << dump();
  EXPECT_EQ(desktop->companionArgs(desktop->companionPids().front()).at(0), (proton / "files/bin/wine").string());
}

// Three hundred processes in one sandbox, each claiming a game of its own with an environment of 128 KiB: a few
// are followed, the rest are told once, and the tray keeps answering.
TEST_F(SandboxedSteam, ASandboxClaimingHundredsOfGamesCostsAFewSessionsAndOneLine) {
  desktop->startLauncher();
  std::vector<TrayItem> items;
  ASSERT_TRUE(waitUntil([&] { return !(items = registeredTrayItems(bus.address())).empty(); })) << dump();
  const fs::path script = persisted() / "crowd.sh";
  // Each a shell that carries Steam's words and waits for its sleep: light processes, so that the crowd loads the
  // machine no more than the launcher's reading of it.
  writeFile(script, "big=$(head -c 65536 /dev/zero | tr '\\0' x)\n"
                    "for i in $(seq 5001 5300); do\n"
                    "  BIG_A=$big BIG_B=$big STEAM_COMPAT_DATA_PATH=/s/steamapps/compatdata/$i "
                    "sh -c 'sleep 600' SteamLaunch AppId=$i &\n"
                    "done\ntouch '" + (persisted() / "crowded").string() + "'\nwait\n");
  std::vector<std::string> crowd = flatpakLike("X" + x.display().substr(1), {"/bin/sh", script.string()});
  desktop->startProcess(crowd, SteamDesktop::baseEnvironment(), false, crowd.front());
  const auto trayAnswers = [&] {
    return runProgram({"gdbus", "call", "--address", bus.address(), "--dest", items.front().busName,
                       "--object-path", items.front().objectPath, "--timeout", "1", "--method",
                       "org.freedesktop.DBus.Properties.Get", "'org.kde.StatusNotifierItem'", "'Title'"},
                      currentEnvironment())
        .has_value();
  };
  ASSERT_TRUE(desktop->waitForLog("Passing over Steam launches in the sandbox of pid ")) << dump();
  ASSERT_TRUE(waitUntil([&] { return fs::exists(persisted() / "crowded"); })) << "the crowd did not gather";
  for (int pass = 0; pass < 5; ++pass) {
    EXPECT_TRUE(trayAnswers()) << "pass " << pass << "\n" << dump();
    desktop->waitPasses(1);
  }
  EXPECT_EQ(desktop->countLog("Detected Steam launch for AppID 5"), 4) << dump();
  EXPECT_EQ(desktop->countLog("Passing over Steam launches in the sandbox of pid "), 1) << dump();
  EXPECT_EQ(bus.notifications().size(), 1u);
}

// A sandbox launches an AppID, window and all, before the player starts it from Steam on the host: the host's
// game takes the session and gets its companion.
TEST_F(SandboxedSteam, SteamOnTheHostTakesAnAppIdThatASandboxClaimedFirst) {
  desktop->installProton("Proton 9.0", persisted() / ".local/share/Steam");
  desktop->makeCompatData("730", true, persisted() / ".local/share/Steam");
  const fs::path native = desktop->installProton("Proton 8.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  startGame(flatpakLike("X" + x.display().substr(1), {}), {}, {"HOME=" + desktop->home().string()});
  ASSERT_TRUE(desktop->waitForLog("Launched Cursello for AppID 730 with child pid ")) << dump();
  desktop->startSteamLaunch("730", native, {});
  desktop->startGame("730", native, "Game 730 on the host");
  ASSERT_TRUE(desktop->waitForLog("Detected Steam launch on the host for AppID 730, which a sandbox claimed before; "
                                  "following the host's game"))
      << dump();
  ASSERT_TRUE(waitUntil([&] {
    for (const pid_t pid : desktop->companionPids()) {
      const std::vector<std::string> args = desktop->companionArgs(pid);
      if (!args.empty() && args.front() == (native / "files/bin/wine").string()) return true;
    }
    return false;
  })) << dump();
}

TEST_F(SandboxedSteam, AContainerWhoseRootHoldsNoTmpOfTheLaunchersIsASandbox) {
  desktop->installProton("Proton 9.0");
  desktop->makeCompatData("730");
  desktop->startLauncher();
  // A container of the user's whose root has no /tmp at all, and which shares the launcher's pids: its mount table
  // says that its /tmp, were it made, would not be the launcher's. Nothing of it is taken for a native game's.
  const std::string root = desktop->root().string();
  // clang-format off
  startGame(asUser(*user, {bwrap.string(), "--unshare-user", "--die-with-parent", "--ro-bind", "/usr", "/usr",
                           "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/bin",
                           "/bin", "--ro-bind", "/etc", "/etc", "--proc", "/proc", "--dev", "/dev", "--bind", root,
                           root}),
            {}, {});
  // clang-format on
  ASSERT_TRUE(desktop->waitForLog("Game AppID 730 runs in a sandbox (pid ")) << dump();
  desktop->waitPasses(2);
  EXPECT_EQ(desktop->countLog("Launching Cursello for AppID 730 inherited_env_pid="), 0) << dump();
  EXPECT_TRUE(desktop->companionPids().empty());
}

}  // namespace
}  // namespace cs::test
