// The scene of the README's pictures, on the desktop of DISPLAY and the session bus of DBUS_SESSION_BUS_ADDRESS,
// which scripts/screenshots starts with a real panel and a real notification daemon: the real launcher, copied
// into PROGRAM_DIR (<prefix>/lib/CurselloLinuxLauncher) with no Cursello.exe beside it nor in its data directory
// (<prefix>/share/CurselloLinuxLauncher), and a simulated Steam game under Proton whose window appears, so that the
// launcher shows its tray icon and sends its notification of a failed start. Prints "ready" once the launcher has
// logged the failure, and stays until its standard input closes; exits 1 with the launcher's log when the failure
// never came. Nothing here is a real game.
//   failed_start_scene PROGRAM_DIR
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"

int main(int argc, char** argv) {
  const char* display = std::getenv("DISPLAY");
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (argc != 2 || display == nullptr || bus == nullptr) {
    std::cerr << "usage: failed_start_scene PROGRAM_DIR, with DISPLAY and DBUS_SESSION_BUS_ADDRESS set\n";
    return 2;
  }
  // Where it is installed is what the notification tells: put Cursello.exe there.
  const std::filesystem::path program = std::filesystem::path(argv[1]) / "CurselloLinuxLauncher";
  std::error_code ec;
  std::filesystem::create_directories(program.parent_path(), ec);
  std::filesystem::copy_file(cs::test::launcherBinary(), program, std::filesystem::copy_options::overwrite_existing,
                             ec);
  cs::test::SteamDesktop desktop(display, bus);
  // The notification names both places of Cursello.exe: the data directory belongs to the same home as the
  // program directory, as after a per-user install, not to the simulated Steam's temporary one.
  const std::filesystem::path prefix = program.parent_path().parent_path().parent_path();
  desktop.setLauncherEnvironment({"XDG_DATA_HOME=" + (prefix / "share").string()});
  const auto proton = desktop.installProton("Proton 9.0");
  desktop.makeCompatData("730");
  desktop.startInstalledLauncher(program);
  desktop.startSteamLaunch("730", proton, {});
  desktop.startGame("730", proton, "Simulated Game 730");
  if (!desktop.waitForLog("Cursello.exe not found: ")) {
    std::cerr << "failed_start_scene: no failed start was logged:\n" << cs::test::slurp(desktop.logFile());
    return 1;
  }
  std::cout << "ready" << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
  }
  return 0;
}
