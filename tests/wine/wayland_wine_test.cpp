// Games on Wine's Wayland driver, with real wine 10: the window watcher finds such a game's window from inside its
// prefix, and the real launcher gives the game its companion once the window shows, on the game's one wineserver.
//
// The systems the tests run on have wine 8 at most, which has no Wayland driver. ./scripts/test therefore makes,
// once per machine, a Debian 13 root with wine 10 and a headless wlroots compositor in /var/cache/cursello-tests
// (scripts/lib/wine_root.sh); without it these cases are skipped. Its programs run as the ordinary test user through
// bubblewrap rather than chroot, which needs root: only a user and a mount namespace are new, and the host's pids,
// /proc, /dev and /tmp stay, with the test's directories bound at their own paths. So the wineserver that the game
// starts inside the root serves the programs started there later too (its socket lies under the shared /tmp, named
// after the prefix's device and inode, which a bind mount keeps), and the launcher takes the game for one on the
// host. The game runs with DISPLAY unset and a compositor's WAYLAND_DISPLAY, which makes wine 10 take its Wayland
// driver: the game then has no X11 window at all.
#include "tests/wine/wayland_wine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "launch/window_watch_protocol.h"
#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "tests/wine/wine_prefix.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const fs::path kPrograms = CS_WINE_PROGRAMS_DIR;
const fs::path kWatcher = CS_WINDOW_WATCH_EXE;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// A file's modification time, to order what the game and the companion wrote.
std::optional<fs::file_time_type> modified(const fs::path& path) {
  std::error_code ec;
  const fs::file_time_type time = fs::last_write_time(path, ec);
  return ec ? std::nullopt : std::optional(time);
}

// The file's last change as the launcher's log writes times (local, to the second); empty when it is missing.
std::string logTimeOf(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  std::tm local{};
  localtime_r(&info.st_mtime, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

class WaylandWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kPrograms.empty() || kWatcher.empty()) {
      GTEST_SKIP() << "MinGW (x86_64-w64-mingw32-gcc) is not installed; ./scripts/test installs it";
    }
    if (root.empty()) {
      GTEST_SKIP() << "the Debian 13 root with wine 10 is not in /var/cache/cursello-tests/trixie-wine; "
                      "./scripts/test makes it (scripts/lib/wine_root.sh)";
    }
    ASSERT_TRUE(user && !programInPath("bwrap").empty()) << "no test user, or bubblewrap is not installed";
    compositor = std::make_unique<HeadlessCompositor>(*user, root);
    ASSERT_TRUE(compositor->ok()) << compositor->diagnostics();
    templatePrefix = waylandPrefixTemplate(*user, root);
    ASSERT_FALSE(templatePrefix.empty());
  }

  // Every process of the game's wineserver ends with it.
  void TearDown() override {
    if (prefix.empty() || !fs::exists(prefix)) return;
    runWine(*user, inWineRoot(root, {prefix}, {kRootWineserver, "-k"}), prefix, std::chrono::seconds(30), {});
  }

  std::string processes() const {
    std::string text;
    for (const std::string library : {"winex11.so", "winewayland.so"}) {
      for (const pid_t pid : processesMapping(prefix, "", library)) {
        text += std::to_string(pid) + " maps " + library + "\n";
      }
    }
    return text + "--- the compositor's log:\n" + compositor->diagnostics();
  }

  const std::optional<TestUser> user = sandboxTestUser();
  const fs::path root = waylandWineRoot();
  std::unique_ptr<HeadlessCompositor> compositor;
  fs::path templatePrefix;
  fs::path prefix;
};

class WaylandWatch : public WaylandWine {
 protected:
  void SetUp() override {
    WaylandWine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    giveTo(*user, home.path());
    prefix = home.path() / "pfx";
    ASSERT_TRUE(copyTree(templatePrefix, prefix));
    fs::copy_file(kPrograms / "window_kinds.exe", prefix / "drive_c/window_kinds.exe");
    fs::copy_file(kWatcher, home.path() / "CurselloWindowWatch.exe");
  }

  // Starts the root's wine with the arguments as the user in the prefix, its output to `output` and its errors
  // beside it.
  std::unique_ptr<Subprocess> startWine(const std::vector<std::string>& args, std::vector<std::string> env,
                                        const fs::path& output) const {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >>\"$0\" 2>>\"$0.err\"", output.string(),
                                     kRootWineLoader};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> command = asUser(*user, inWineRoot(root, {home.path()}, argv));
    return std::make_unique<Subprocess>(Subprocess::Options{
        .program = command.front(), .argv = command, .env = env, .output = std::nullopt, .workingDir = {}});
  }

  std::string dump() const {
    return "--- the watcher's lines:\n" + slurp(watchOutput) + "--- wine's errors:\n" +
           slurp(home.path() / "game.out.err") + slurp(watchOutput.string() + ".err") + processes();
  }

  const TempDir home{fs::path("/var/tmp")};
  const fs::path watchOutput = home.path() / "watch.out";
};

TEST_F(WaylandWatch, TheWatcherFindsTheWindowOfAGameOnTheWaylandDriver) {
  const std::unique_ptr<Subprocess> game = startWine(
      {"C:\\window_kinds.exe"}, compositor->clientEnvironment(wineEnvironment(prefix)), home.path() / "game.out");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(prefix / "drive_c/windows-shown"); }, std::chrono::seconds(120)))
      << dump();
  // The game, and the prefix's desktop process, took the Wayland driver; nothing of the prefix took X11's.
  EXPECT_EQ(processesMapping(prefix, "window_kinds.exe", "winewayland.so").size(), 1U) << dump();
  EXPECT_EQ(processesMapping(prefix, "explorer.exe", "winewayland.so").size(), 1U) << dump();
  EXPECT_TRUE(processesMapping(prefix, "", "winex11.so").empty()) << dump();

  // As the launcher runs it: the game's wine in the game's prefix. It needs no display of its own.
  const std::unique_ptr<Subprocess> watcher =
      startWine({(home.path() / "CurselloWindowWatch.exe").string()}, wineEnvironment(prefix), watchOutput);
  ASSERT_TRUE(waitUntil([&] { return linesOf(slurp(watchOutput)).size() >= 2; }, std::chrono::seconds(60))) << dump();
  const std::vector<std::string> lines = linesOf(slurp(watchOutput));
  EXPECT_EQ(parseWatchLine(lines[0]), WatchRecord(WatchStarted{.version = 1, .systemProcess = true})) << dump();
  const std::optional<WatchRecord> shown = parseWatchLine(lines[1]);
  ASSERT_TRUE(shown && std::holds_alternative<WatchWindowShown>(*shown)) << dump();
  EXPECT_EQ(std::get<WatchWindowShown>(*shown).width, 320) << dump();
  EXPECT_EQ(std::get<WatchWindowShown>(*shown).imagePath, "C:\\window_kinds.exe") << dump();
  EXPECT_TRUE(std::get<WatchWindowShown>(*shown).title.starts_with("Watched\tGame ")) << dump();
  EXPECT_EQ(wineserversOfPrefix(prefix), 1) << dump();

  writeFile(prefix / "drive_c/quit", "");
  EXPECT_TRUE(game->wait(std::chrono::seconds(30)).has_value()) << dump();
  EXPECT_TRUE(watcher->wait(std::chrono::seconds(30)).has_value()) << "the watcher outlived the game\n" << dump();
}

// The real launcher, on its own X display, and a game of AppID 730 that Steam starts natively with a Proton build
// whose wine is the root's: the game shows its window on the compositor only, a few seconds after it started.
class WaylandLauncher : public WaylandWine {
 protected:
  void SetUp() override {
    WaylandWine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(x.ok() && bus.ok() && bus.startTrayWatcher()) << x.diagnostics() << bus.diagnostics();
    desktop = std::make_unique<SteamDesktop>(x.display(), bus.address(), user);
  }

  // Installs the Proton build, the game and its prefix, the launcher with its window watcher and the companion,
  // as RealWine does with the system's wine.
  void install() {
    const fs::path library = desktop->steamRoot();
    proton = desktop->installProton("Proton 10.0", library);
    // Everything the game and the launcher name lies in the desktop's tree, which the root is given whole.
    const std::vector<fs::path> shared = {desktop->root()};
    writeFile(proton / "files/bin/wine", wineRootScript(root, shared, kRootWineLoader));
    writeFile(proton / "files/bin/wineserver", wineRootScript(root, shared, kRootWineserver));
    // A Proton build that puts its games on the Wayland driver; the game waits 3 s before it shows its window.
    writeFile(proton / "proton",
              "#!/bin/sh\n# proton VERB GAME\nunset DISPLAY\n"
              "exec \"$(dirname \"$0\")/files/bin/wine\" \"$2\" 3000\n");
    fs::create_directories(library / "ubuntu12_32");
    fs::copy_file(fs::canonical("/bin/sh"), library / "ubuntu12_32/reaper", fs::copy_options::overwrite_existing);
    for (const fs::path& script : {proton / "files/bin/wine", proton / "files/bin/wineserver", proton / "proton",
                                   library / "ubuntu12_32/reaper"}) {
      fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                                  fs::perms::group_exec | fs::perms::others_exec);
    }
    fs::create_directories(library / "steamapps/common/Test Game");
    fs::copy_file(kPrograms / "game.exe", library / "steamapps/common/Test Game/game.exe");
    prefix = desktop->makeCompatData("730", false, library) / "pfx";
    ASSERT_TRUE(copyTree(templatePrefix, prefix));
    // The launcher looks for its window watcher beside itself.
    fs::copy_file(kWatcher, desktop->launcherDir() / "CurselloWindowWatch.exe");
    desktop->startLauncher(false);
    fs::copy_file(kPrograms / "cursello_stand_in.exe", desktop->curselloExe());
  }

  // Starts the game as Steam does, below its reaper, as the user; on the compositor (the proton script unsets the
  // DISPLAY that the desktop gives every process).
  void startGame() {
    const fs::path library = desktop->steamRoot();
    std::vector<std::string> env = compositor->clientEnvironment(desktop->protonEnvironment("730", proton, library));
    env.insert(env.end(),
               {"HOME=" + desktop->home().string(), "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEDEBUG=fixme-all"});
    std::vector<std::string> argv =
        asUser(*user, {(library / "ubuntu12_32/reaper").string(), "-c", "shift 3\n\"$@\"\nexit $?", "reaper",
                       "SteamLaunch", "AppId=730", "--", (proton / "proton").string(), "waitforexitandrun",
                       (library / "steamapps/common/Test Game/game.exe").string()});
    desktop->startProcess(argv, env, false, argv.front());
  }

  std::string dump() const {
    std::string text;
    for (const auto& line : desktop->log()) text += line.time + " " + line.message + "\n";
    return text + "--- the game's output:\n" + slurp(desktop->root() / "processes.log") + processes();
  }

  XServer x{true};
  SessionBus bus;
  std::unique_ptr<SteamDesktop> desktop;
  fs::path proton;
};

TEST_F(WaylandLauncher, AGameOnTheWaylandDriverGetsItsCompanionOnceItsWindowShows) {
  install();
  startGame();

  // The game's wine starts its wineserver and services first; the companion's wine then starts in seconds.
  const fs::path shows = prefix / "drive_c/game-shows-window";
  ASSERT_TRUE(waitUntil([&] { return fs::exists(shows); }, std::chrono::seconds(120))) << dump();
  const std::string onWayland =
      "Game AppID 730 uses Wine's Wayland driver; watching its windows from inside its prefix";
  EXPECT_TRUE(desktop->waitForLog(onWayland)) << dump();
  const fs::path answer = prefix / "drive_c/cursello-found.txt";
  ASSERT_TRUE(waitUntil([&] { return fs::exists(answer); }, std::chrono::seconds(60))) << dump();
  EXPECT_EQ(slurp(answer), "found\n") << dump();
  EXPECT_EQ(wineserversOfPrefix(prefix), 1) << dump();
  EXPECT_EQ(desktop->countLog(onWayland), 1) << dump();
  EXPECT_EQ(desktop->countLog("Launched Cursello for AppID 730 with child pid "), 1) << dump();
  // Not before the window: the companion finds the game's window at once, hidden or not, and answers then.
  const std::optional<fs::file_time_type> shown = modified(shows);
  const std::optional<fs::file_time_type> answered = modified(answer);
  ASSERT_TRUE(shown && answered) << dump();
  EXPECT_GE(*answered, *shown) << dump();
  // Soon after: the launcher looks once a second. The delay is recorded, not held to a time (a loaded machine
  // starts wine slowly); only one that would mean a missed window fails.
  const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(*answered - *shown);
  RecordProperty("companion_after_window_ms", std::to_string(delay.count()));
  EXPECT_LT(delay, std::chrono::seconds(60)) << dump();
  for (const LogLine& line : desktop->log()) {
    if (line.message.starts_with("Detected visible Proton game window for AppID 730")) {
      EXPECT_GE(line.time, logTimeOf(shows)) << dump();
    }
  }
}

}  // namespace
}  // namespace cs::test
