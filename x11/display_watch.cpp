#include "x11/display_watch.h"

#include <utility>

#include "x11/display_name.h"
#include "x11/x_connection.h"

namespace cs {

namespace {

// How long one pass may wait for the answers of all the displays it scans together: the tray's D-Bus answers and
// the notifications are served on the same loop. A display that misses it is heard at a later pass.
constexpr std::chrono::milliseconds kWindowScanBudget{100};

// Logs, once, that the scanner's display is served by a process it does not talk to.
void logRefusal(X11WindowScanner& scanner, Logger& logger) {
  if (const std::optional<std::string> line = scanner.newRefusal()) logger.log(*line);
}

}  // namespace

std::string displayKey(const std::string& name) {
  const auto address = parseDisplayName(name);
  return address ? address->host + ":" + std::to_string(address->number) : name;
}

DisplayWatch::DisplayWatch(Logger& log, std::function<bool(const ProcessHandle&)> isHost)
    : logger(log), isHostProcess(std::move(isHost)), ownScanner(hostServersOnly(isHostProcess, true)) {}

DisplayWatch::~DisplayWatch() = default;

void DisplayWatch::logOwnRefusal() { logRefusal(ownScanner, logger); }

void DisplayWatch::beginPass() {
  deadline = std::chrono::steady_clock::now() + kWindowScanBudget;
  scanned.clear();
}

DisplayWatch::Windows DisplayWatch::scanOwnDisplay(bool withClientPids) {
  const std::string& name = ownScanner.displayName();
  if (!ownScanner.available() && !name.empty()) {
    if (!ownScanner.reconnect(deadline)) {
      logRefusal(ownScanner, logger);
      return std::nullopt;
    }
    logger.log("X11 display " + name + " is available; Proton game windows can be detected");
  }
  std::vector<WindowInfo> windows = ownScanner.scan(withClientPids, deadline);
  if (!ownScanner.available() && !name.empty()) {
    // A Wayland compositor may restart its Xwayland, and an X server may hang: either way it is tried again on the
    // scanner's schedule.
    logger.log("X11 display " + name + " was lost; Proton game windows cannot be detected until it is back");
  }
  if (!ownScanner.scanComplete()) return std::nullopt;
  return windows;
}

const DisplayWatch::Windows& DisplayWatch::gameDisplayWindows(const std::string& displayName, bool newlyNamed) {
  const std::string key = displayKey(displayName);
  if (const auto it = scanned.find(key); it != scanned.end()) return it->second;
  std::unique_ptr<X11WindowScanner>& scanner = gameDisplays[key];
  // A display that broke is opened again on its schedule: a relaunched game's gamescope may take the same number.
  if (scanner) {
    if (newlyNamed) scanner->retryNow();
    scanner->reconnect(deadline);
  } else {
    // Any process may have bound a TCP port, a sandbox's too, and a game's display of its own is a local one.
    scanner = std::make_unique<X11WindowScanner>(displayName, deadline, hostServersOnly(isHostProcess, false));
  }
  logRefusal(*scanner, logger);
  // Only sessions use these displays, and sessions match windows by the pids the server knows.
  std::vector<WindowInfo> windows = scanner->scan(true, deadline);
  return scanned.emplace(key, scanner->scanComplete() ? std::optional(std::move(windows)) : std::nullopt)
      .first->second;
}

void DisplayWatch::endPass() {
  // A display that no session's game is on any more is closed: gamescope usually ends with its game.
  std::erase_if(gameDisplays, [&](const auto& entry) { return !scanned.contains(entry.first); });
  scanned.clear();
}

}  // namespace cs
