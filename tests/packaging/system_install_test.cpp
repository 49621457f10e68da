// The package installed with apt-get (by the test before this one): its launcher, started from PATH on a
// virtual desktop, finds Cursello.exe in its program directory and serves a game.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace cs::test {
namespace {

TEST(SystemInstall, LauncherFromPathServesAGameWithCurselloFromItsProgramDirectory) {
  if (getuid() != 0) GTEST_SKIP() << "the package is installed only as root";
  XServer x;
  SessionBus bus;
  ASSERT_TRUE(x.ok() && bus.ok() && bus.startTrayWatcher()) << x.diagnostics() << bus.diagnostics();
  SteamDesktop desktop(x.display(), bus.address());
  const std::filesystem::path proton = desktop.installProton("Proton 9.0");
  desktop.makeCompatData("730");
  // Removed again by the purge that follows this test.
  const std::filesystem::path cursello = "/usr/lib/CurselloLinuxLauncher/Cursello.exe";
  writeFile(cursello, "MZ stand-in for Cursello.exe\n");
  const std::filesystem::path program = programInPath("CurselloLinuxLauncher");
  ASSERT_EQ(program, "/usr/bin/CurselloLinuxLauncher");

  desktop.startInstalledLauncher(program);
  desktop.startSteamLaunch("730", proton, {});
  desktop.startGame("730", proton, "Game 730");
  ASSERT_TRUE(desktop.waitForLog("Launched Cursello for AppID 730 with child pid ")) << slurp(desktop.logFile());
  // The launcher logs the child as soon as it has started it; the stand-in records itself a moment later.
  std::vector<pid_t> pids;
  ASSERT_TRUE(waitUntil([&] { return !(pids = desktop.companionPids()).empty(); }));
  ASSERT_EQ(pids.size(), 1u);
  ASSERT_TRUE(waitUntil([&] { return desktop.companionArgs(pids[0]).size() == 5; }));
  EXPECT_EQ(desktop.companionArgs(pids[0])[1], cursello.string());
}

}  // namespace
}  // namespace cs::test
