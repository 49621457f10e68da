// The bundle for systems where nothing can be built (made by the test before this one, named by CS_BUNDLE),
// installed by its own install script into a desktop's home: its launcher starts and serves a game where the
// system's Ayatana and dbusmenu libraries are hidden, as on a system that has none.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

// The file the dynamic loader loads for the soname, or an empty path where the system has none.
fs::path libraryFile(const char* soname) {
  void* library = dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
  link_map* map = nullptr;
  if (library == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0) return {};
  return fs::canonical(map->l_name);
}

TEST(Bundle, InstalledLauncherServesAGameWithoutTheSystemsIndicatorLibraries) {
  const char* bundle = std::getenv("CS_BUNDLE");
  ASSERT_TRUE(bundle != nullptr && fs::exists(bundle)) << "no bundle at CS_BUNDLE";
  const fs::path bwrap = programInPath("bwrap");
  ASSERT_FALSE(bwrap.empty()) << "bubblewrap is not installed";
  XServer x;
  SessionBus bus;
  ASSERT_TRUE(x.ok() && bus.ok() && bus.startTrayWatcher()) << x.diagnostics() << bus.diagnostics();
  SteamDesktop desktop(x.display(), bus.address());
  const fs::path proton = desktop.installProton("Proton 9.0");
  desktop.makeCompatData("730");

  // Unpacked and installed into the desktop's home; Cursello.exe where the README tells SteamOS users to put it.
  const fs::path output = desktop.root() / "install.log";
  std::vector<std::string> env = SteamDesktop::baseEnvironment();
  env.push_back("HOME=" + desktop.home().string());
  Subprocess install(
      {.program = "/bin/sh",
       .argv = {"sh", "-c", R"(tar -xzf "$0" -C "$HOME" && "$HOME"/CurselloLinuxLauncher-*/install)", bundle},
       .env = env,
       .output = output,
       .workingDir = {}});
  const auto status = install.wait(std::chrono::minutes(1));
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << slurp(output);
  const fs::path program = desktop.home() / ".local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher";
  writeFile(desktop.dataCurselloExe(), "MZ stand-in for Cursello.exe\n");

  // The launcher run through bubblewrap, with an empty file over each library it would find.
  std::string hide;
  for (const char* soname : {"libayatana-appindicator3.so.1", "libayatana-indicator3.so.7", "libdbusmenu-gtk3.so.4",
                             "libdbusmenu-glib.so.4"}) {
    const fs::path file = libraryFile(soname);
    if (!file.empty()) hide += " --ro-bind /dev/null '" + file.string() + "'";
  }
  ASSERT_NE(hide, "") << "no Ayatana library to hide";
  const fs::path wrapper = desktop.root() / "hidden-libraries";
  writeFile(wrapper, "#!/bin/sh\nexec '" + bwrap.string() + "' --dev-bind / /" + hide + " -- '" + program.string() +
                         "' \"$@\"\n");
  fs::permissions(wrapper, fs::perms::owner_all);
  desktop.startInstalledLauncher(wrapper);
  desktop.startSteamLaunch("730", proton, {});
  desktop.startGame("730", proton, "Game 730");
  ASSERT_TRUE(desktop.waitForLog("Launched Cursello for AppID 730 with child pid ")) << slurp(desktop.logFile());
  EXPECT_TRUE(desktop.waitForLog("Running without a tray icon: libayatana-appindicator3.so.1 cannot be loaded: "))
      << slurp(desktop.logFile());
  std::vector<pid_t> pids;
  ASSERT_TRUE(waitUntil([&] { return !(pids = desktop.companionPids()).empty(); }));
  ASSERT_TRUE(waitUntil([&] { return desktop.companionArgs(pids[0]).size() == 5; }));
  EXPECT_EQ(desktop.companionArgs(pids[0])[1], desktop.dataCurselloExe().string());
}

}  // namespace
}  // namespace cs::test
