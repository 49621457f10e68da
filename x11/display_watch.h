// The X11 displays a pass scans for windows: the launcher's own, and those that games show their windows on.
#ifndef CS_X11_DISPLAY_WATCH_H
#define CS_X11_DISPLAY_WATCH_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/logger.h"
#include "x11/window_scanner.h"

namespace cs {

class ProcessHandle;

// One display, however its name is written (":1", ":1.0", "unix:1"): the key of its connection.
std::string displayKey(const std::string& name);

// Holds the launcher's own display and the displays of games, and scans them once per pass, all under one
// deadline. A pass is beginPass, scanOwnDisplay, any number of gameDisplayWindows, then endPass.
class DisplayWatch {
 public:
  // The windows of a display; no value when they are unknown: the display is late or cannot be reached.
  using Windows = std::optional<std::vector<WindowInfo>>;

  // Opens the launcher's own display. isHost tells whether a process lives outside any sandbox: what a
  // display's local server must be. The logger must outlive the watch.
  DisplayWatch(Logger& log, std::function<bool(const ProcessHandle&)> isHost);
  ~DisplayWatch();
  DisplayWatch(const DisplayWatch&) = delete;
  DisplayWatch& operator=(const DisplayWatch&) = delete;

  // The launcher's own display, as named to it.
  const std::string& ownDisplayName() const { return ownScanner.displayName(); }
  bool ownDisplayAvailable() const { return ownScanner.available(); }
  // Logs, once, that the launcher's own display is served by a process it does not talk to.
  void logOwnRefusal();

  // Starts a pass: its scans share one deadline from now.
  void beginPass();
  // Reopens the launcher's own display when it is missing and an attempt is due, and scans it until the deadline.
  Windows scanOwnDisplay(bool withClientPids);
  // The windows of a game's own display, scanned once per pass (later calls for the same display return the same
  // scan), connecting first when needed. newlyNamed: a session names the display for the first time, so that one
  // that could not be reached is tried at once. The reference holds until the next beginPass.
  const Windows& gameDisplayWindows(const std::string& displayName, bool newlyNamed);
  // Ends the pass: a game's display that no one asked for during it is closed.
  void endPass();

 private:
  Logger& logger;
  std::function<bool(const ProcessHandle&)> isHostProcess;
  X11WindowScanner ownScanner;
  // The displays of games that show their windows on another display than the launcher's (gamescope runs an X
  // server of its own), by display; a connection lives while a session's game is on it.
  std::map<std::string, std::unique_ptr<X11WindowScanner>> gameDisplays;
  std::chrono::steady_clock::time_point deadline;
  // What this pass scanned of the games' displays, by display.
  std::map<std::string, Windows> scanned;
};

}  // namespace cs

#endif  // CS_X11_DISPLAY_WATCH_H
