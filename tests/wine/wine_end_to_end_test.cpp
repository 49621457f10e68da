// The real launcher with real Wine, run as an ordinary user: a Windows game runs under the system's wine as Steam
// starts one, and the companion, a Windows stand-in for Cursello.exe, asks its wineserver for the game's window.
// Only a companion on the game's own wineserver finds it: natively, and inside a Flatpak-like sandbox.
#include <gtest/gtest.h>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "tests/wine/wine_prefix.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const fs::path kPrograms = CS_WINE_PROGRAMS_DIR;

class RealWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kPrograms.empty() || loader.empty()) {
      GTEST_SKIP() << "MinGW (x86_64-w64-mingw32-gcc) or wine is not installed; ./scripts/test installs them";
    }
    ASSERT_TRUE(user && !bwrap.empty()) << "no test user, or bubblewrap is not installed";
    ASSERT_TRUE(x.ok() && bus.ok() && bus.startTrayWatcher()) << x.diagnostics() << bus.diagnostics();
    templatePrefix = prefixTemplate(*user, loader);
    ASSERT_FALSE(templatePrefix.empty());
    desktop = std::make_unique<SteamDesktop>(x.display(), bus.address(), user);
  }

  // Every process of the game's wineserver ends with it; a sandbox's end with the sandbox.
  void TearDown() override {
    if (prefix.empty()) return;
    runWine(*user, {wineserverFor(loader).string(), "-k"}, prefix, std::chrono::seconds(30), std::nullopt);
  }

  // Installs in the library a Proton build whose wine is the system's, a copy of the template prefix for AppID
  // 730, the game, and the programs that start it as Steam does: a launch process whose command line carries
  // "SteamLaunch AppId=730", which runs the build's proton script, which runs the game with the build's wine.
  void install(const fs::path& library) {
    const fs::path proton = desktop->installProton("Proton 9.0", library);
    writeFile(proton / "files/bin/wine", "#!/bin/sh\nexec '" + loader.string() + "' \"$@\"\n");
    writeFile(proton / "proton", "#!/bin/sh\n# proton VERB GAME\nexec \"$(dirname \"$0\")/files/bin/wine\" \"$2\"\n");
    // Steam's reaper is a program of its own in the Steam root, which stays the parent of what it runs: a shell,
    // copied there, that runs the command after "--".
    fs::create_directories(library / "ubuntu12_32");
    fs::copy_file(fs::canonical("/bin/sh"), library / "ubuntu12_32/reaper", fs::copy_options::overwrite_existing);
    for (const fs::path& script : {proton / "files/bin/wine", proton / "proton", library / "ubuntu12_32/reaper"}) {
      fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                                  fs::perms::group_exec | fs::perms::others_exec);
    }
    fs::create_directories(library / "steamapps/common/Test Game");
    fs::copy_file(kPrograms / "game.exe", library / "steamapps/common/Test Game/game.exe",
                  fs::copy_options::overwrite_existing);
    prefix = desktop->makeCompatData("730", false, library) / "pfx";
    ASSERT_TRUE(copyTree(templatePrefix, prefix));
    desktop->startLauncher(false);
    fs::copy_file(kPrograms / "cursello_stand_in.exe", desktop->curselloExe());
  }

  // Starts the game of AppID 730 in the library through `wrapper` (what runs it as the user, and where).
  void startGame(const fs::path& library, std::vector<std::string> wrapper) {
    const fs::path proton = library / "steamapps/common/Proton 9.0";
    std::vector<std::string> env = desktop->protonEnvironment("730", proton, library);
    env.insert(env.end(),
               {"HOME=" + desktop->home().string(), "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEDEBUG=fixme-all"});
    wrapper.insert(wrapper.end(), {(library / "ubuntu12_32/reaper").string(), "-c", "shift 3\n\"$@\"\nexit $?",
                                   "reaper", "SteamLaunch", "AppId=730", "--", (proton / "proton").string(),
                                   "waitforexitandrun", (library / "steamapps/common/Test Game/game.exe").string()});
    desktop->startProcess(wrapper, env, false, wrapper.front());
  }

  // What the companion wrote in the prefix: "found" when it saw the game's window. Waits for it generously: the
  // game's wine starts its wineserver and services first.
  std::string companionAnswer() const {
    const fs::path answer = prefix / "drive_c/cursello-found.txt";
    waitUntil([&] { return fs::exists(answer); }, std::chrono::seconds(240));
    return slurp(answer);
  }

  std::string dump() const {
    std::string text;
    for (const auto& line : desktop->log()) text += line.time + " " + line.message + "\n";
    return text + "--- the game's output:\n" + slurp(desktop->root() / "processes.log");
  }

  const std::optional<TestUser> user = sandboxTestUser();
  const fs::path bwrap = programInPath("bwrap");
  const fs::path loader = wineLoader();
  XServer x{true};
  SessionBus bus;
  std::unique_ptr<SteamDesktop> desktop;
  fs::path templatePrefix;
  fs::path prefix;
};

TEST_F(RealWine, ANativeGamesCompanionSharesItsWineserver) {
  install(desktop->steamRoot());
  startGame(desktop->steamRoot(), asUser(*user, {}));

  EXPECT_EQ(companionAnswer(), "found\n") << dump();
  EXPECT_EQ(wineserversOfPrefix(prefix), 1) << dump();
  EXPECT_EQ(desktop->countLog("Launched Cursello for AppID 730 with child pid "), 1) << dump();
}

TEST_F(RealWine, AFlatpakGamesCompanionSharesItsWineserverInsideTheSandbox) {
  // As Flatpak runs Steam: user and pid namespaces and a /tmp of its own, the host's X socket bound in, the app's
  // data mounted over the home and at its own path.
  const fs::path data = desktop->home() / ".var/app/com.valvesoftware.Steam";
  const fs::path library = data / ".local/share/Steam";
  install(library);
  const std::string socket = "/tmp/.X11-unix/X" + x.display().substr(1);
  // clang-format off
  startGame(library, asUser(*user, {bwrap.string(), "--unshare-user", "--disable-userns", "--unshare-pid",
      "--die-with-parent", "--dev-bind", "/", "/", "--tmpfs", "/tmp", "--proc", "/proc", "--bind", data.string(),
      desktop->home().string(), "--bind", data.string(), data.string(), "--bind", socket, socket, "--"}));
  // clang-format on

  EXPECT_EQ(companionAnswer(), "found\n") << dump();
  EXPECT_EQ(desktop->countLog("Game AppID 730 runs in a sandbox (pid "), 1) << dump();
  EXPECT_EQ(wineserversOfPrefix(prefix), 1) << dump();
}

}  // namespace
}  // namespace cs::test
