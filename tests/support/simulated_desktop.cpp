// A simulated desktop for machines without one: a virtual X desktop (Xvfb with openbox, a D-Bus session with a
// tray watcher), a simulated Steam installation, a game's Steam launch and Proton processes with a window, a
// stand-in Cursello.exe and a stand-in wine loader. The real launcher runs against them through one game's whole
// life; its log is shown as it is written. Nothing here is a real game.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace {

using namespace cs::test;

class Show {
 public:
  explicit Show(const SteamDesktop& shown) : desktop(shown) {}

  void say(const std::string& text) {
    flush();
    std::cout << "\n==> [simulation] " << text << "\n" << std::flush;
  }

  // Shows the log as it grows until the condition holds; false after the timeout.
  bool until(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      flush();
      if (condition()) {
        flush();
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  bool untilLogged(const std::string& prefix, int count = 1) {
    return until([&] { return desktop.countLog(prefix) >= count; });
  }

  void flush() {
    const std::string text = slurp(desktop.logFile());
    const auto end = text.rfind('\n');
    if (end == std::string::npos || end + 1 <= shownBytes) return;
    std::cout << text.substr(shownBytes, end + 1 - shownBytes) << std::flush;
    shownBytes = end + 1;
  }

 private:
  const SteamDesktop& desktop;
  std::size_t shownBytes = 0;
};

pid_t childPidFromLog(const SteamDesktop& desktop, int nth) {
  const std::string prefix = "Launched Cursello for AppID 730 with child pid ";
  int seen = 0;
  for (const auto& message : messages(desktop.log())) {
    if (message.rfind(prefix, 0) == 0 && ++seen == nth) return std::stoi(message.substr(prefix.size()));
  }
  return -1;
}

int fail(const std::string& what) {
  std::cout << "\n==> [simulation] FAILED: " << what << "\n";
  return 1;
}

}  // namespace

int main() {
  std::cout << "==> [simulation] This is a SIMULATION: no display was found, so a virtual desktop with a simulated\n"
               "    Steam game, a stand-in Cursello.exe and a stand-in Proton wine loader is played against the real\n"
               "    launcher. Nothing here is a real game.\n";

  XServer x(true);
  if (!x.ok()) return fail("the virtual X desktop did not start:\n" + x.diagnostics());
  SessionBus bus;
  if (!bus.ok() || !bus.startTrayWatcher()) return fail("the D-Bus session did not start:\n" + bus.diagnostics());
  std::cout << "==> [simulation] Virtual X desktop on " << x.display() << " with openbox, a D-Bus session and a tray\n";

  SteamDesktop desktop(x.display(), bus.address());
  Show show(desktop);
  const auto proton = desktop.installProton("Proton 9.0");
  desktop.makeCompatData("730");
  std::cout << "==> [simulation] Simulated Steam installation in " << desktop.steamRoot().string() << "\n";

  show.say("Starting the real launcher, beside a stand-in Cursello.exe");
  desktop.startLauncher();
  show.flush();

  show.say("Steam launches game 730 (simulated)");
  const pid_t launch = desktop.startSteamLaunch("730", proton, {"SteamAppId=730", "STEAM_RUNTIME=1"});
  if (!show.untilLogged("Detected Steam launch for AppID 730")) return fail("the launch was not detected");

  show.say("Proton starts the game, and its window appears");
  pid_t game = desktop.startGame("730", proton, "Simulated Game 730");
  if (!show.untilLogged("Launched Cursello for AppID 730 with child pid ")) return fail("no companion start");
  const pid_t first = childPidFromLog(desktop, 1);
  show.until([&] { return desktop.companionArgs(first).size() == 5; });

  show.say("The stand-in Cursello.exe ends");
  desktop.endCompanion(first);
  if (!show.untilLogged("Cursello child for AppID 730 exited")) return fail("the companion's exit was not seen");

  show.say("The game restarts with a new window");
  desktop.stopProcess(game);
  game = desktop.startGame("730", proton, "Simulated Game 730 (restarted)");
  if (!show.untilLogged("Launched Cursello for AppID 730 with child pid ", 2)) return fail("no second start");
  const pid_t second = childPidFromLog(desktop, 2);
  show.until([&] { return desktop.companionArgs(second).size() == 5; });

  show.say("The player quits the game; the launcher forgets it after five polls without it");
  desktop.endCompanion(second);
  show.untilLogged("Cursello child for AppID 730 exited", 2);
  desktop.stopProcess(launch);
  desktop.stopProcess(game);
  if (!show.untilLogged("Game AppID 730 ")) return fail("the session was not cleared");

  show.say("Quitting the launcher from its tray menu");
  if (!clickTrayQuit(bus.address())) return fail("the tray's Quit item could not be clicked");
  const auto status = desktop.launcher().wait(std::chrono::seconds(20));
  show.flush();
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return fail("the launcher did not exit cleanly");

  std::cout << "\n==> [simulation] Finished: the launcher's whole log is above (" << desktop.logFile().string()
            << " is removed now).\n";
  return 0;
}
