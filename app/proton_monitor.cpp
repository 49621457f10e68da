#include "app/proton_monitor.h"

#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>

#include "common/paths.h"
#include "launch/cursello_launch.h"
#include "launch/sandboxed_launch.h"
#include "sandbox/game_namespaces.h"
#include "steam/launch_context.h"
#include "steam/library_roots.h"
#include "steam/proton_processes.h"
#include "steam/steam_launch.h"
#include "x11/display_name.h"

namespace cs {

namespace {

// A session is cleared on the fifth consecutive pass without evidence, or without a window once its child is
// gone: one missed pass (a process restarting, a window being recreated) must not end a game's session.
constexpr std::int32_t kMaxMissedPolls = 4;

// The launcher's own display, once missing, is tried again at most this often. Passes come once a second; the
// margin keeps a pass that comes a little early from skipping its attempt.
constexpr std::chrono::milliseconds kReconnectInterval{900};

// One display, however its name is written (":1", ":1.0", "unix:1"): the key of its connection.
std::string displayKey(const std::string& name) {
  const auto address = parseDisplayName(name);
  return address ? address->host + ":" + std::to_string(address->number) : name;
}

// Where a game shows its windows, from its newest Proton process.
struct GameDisplay {
  std::optional<std::string> name;  // the game's DISPLAY, as it writes it
  bool other = false;               // another display than the launcher's, to be watched besides it
};

GameDisplay gameDisplayOf(const ProcessInfo& proton, const std::string& ownDisplay) {
  GameDisplay display;
  display.name = envValue(proton, "DISPLAY");
  // A sandboxed game's DISPLAY names a socket in its own /tmp, which the sandbox binds to ours: its windows are on
  // the launcher's display whatever the name says.
  display.other = display.name && !display.name->empty() && !sameDisplay(*display.name, ownDisplay) &&
                  sharesLauncherTmp(proton.pid) == true;
  return display;
}

SessionState freshSessionState(const ProcessSnapshot& snapshot, const std::string& appId) {
  SessionState state;
  if (auto launch = steamLaunchProcessForAppId(snapshot, appId)) {
    state.inheritedEnvPid = launch->pid;
    state.inheritedEnv = environmentOf(*launch);
  }
  return state;
}

}  // namespace

void ProtonMonitor::setFailureReporter(LaunchFailureReporter reporter) { failureReporter = std::move(reporter); }

void ProtonMonitor::start() {
  logger.log("CurselloLinuxLauncher started");
  if (!windowScanner.available()) {
    const std::string message = "X11 display is unavailable; Proton game windows cannot be detected";
    logger.log(message);
    if (failureReporter) failureReporter({LaunchFailureKind::NoDisplay, "", "", message, {}});
  }
}

void ProtonMonitor::stop() { logger.log("CurselloLinuxLauncher exiting"); }

std::optional<WindowInfo> ProtonMonitor::findGameWindow(const ProcessSnapshot& snapshot,
                                                        const std::vector<WindowInfo>& windows,
                                                        const std::set<std::int32_t>& pids,
                                                        bool requireVisible) const {
  return findGameWindowBy(
      snapshot, windows, [&](std::int32_t pid) { return pids.contains(pid); }, requireVisible);
}

std::optional<WindowInfo> ProtonMonitor::findGameWindowBy(const ProcessSnapshot& snapshot,
                                                          const std::vector<WindowInfo>& windows,
                                                          const std::function<bool(std::int32_t)>& isGamePid,
                                                          bool requireVisible) const {
  for (const WindowInfo& window : windows) {
    if (requireVisible && !window.visible) continue;
    if (window.pid < 1) continue;
    // The companion's own window belongs to the game's processes too; it must never count as the game's.
    if (window.title.find("Cursello") != std::string::npos) continue;
    if (!isPidOrAncestorWanted(snapshot, window.pid, isGamePid)) continue;
    return window;
  }
  return std::nullopt;
}

std::optional<WindowInfo> ProtonMonitor::findReadyGameWindow(const ProcessSnapshot& snapshot,
                                                             const std::vector<WindowInfo>& windows,
                                                             const std::set<std::int32_t>& pids) const {
  return findGameWindow(snapshot, windows, pids, true);
}

void ProtonMonitor::reapChildren() {
  for (auto& [appId, state] : sessions) {
    if (state.childPid <= 0 || state.childGone) continue;
    int status = 0;
    const pid_t result = waitpid(state.childPid, &status, WNOHANG);
    if (result == state.childPid) {
      state.childGone = true;
      logger.log("Cursello child for AppID " + appId + " exited");
    } else if (result < 0 && errno == ECHILD) {
      state.childGone = true;
      logger.log("Cursello child for AppID " + appId + " is no longer waitable");
    }
    // 0: still running. Any other failure (an interrupted call) is tried again at the next pass.
  }

  // Children of cleared sessions: reaped without a word, so that they do not stay zombies until we exit.
  std::erase_if(orphanedChildren, [](std::int32_t pid) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
  });
}

std::vector<WindowInfo> ProtonMonitor::scanOwnDisplay(bool withClientPids) {
  const std::string& name = windowScanner.displayName();
  if (!windowScanner.available() && !name.empty()) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReconnect < kReconnectInterval) return {};
    lastReconnect = now;
    if (!windowScanner.reconnect()) return {};
    logger.log("X11 display " + name + " is available; Proton game windows can be detected");
  }
  std::vector<WindowInfo> windows = windowScanner.scan(withClientPids);
  if (!windowScanner.available() && !name.empty()) {
    // A Wayland compositor may restart its Xwayland, and an X server may hang: either way the next attempt is
    // a second away.
    lastReconnect = std::chrono::steady_clock::now();
    logger.log("X11 display " + name + " was lost; Proton game windows cannot be detected until it is back");
  }
  return windows;
}

const std::vector<WindowInfo>& ProtonMonitor::gameDisplayWindows(
    const std::string& displayName, std::map<std::string, std::vector<WindowInfo>>& scanned) {
  const std::string key = displayKey(displayName);
  if (const auto it = scanned.find(key); it != scanned.end()) return it->second;
  std::unique_ptr<X11WindowScanner>& scanner = gameDisplays[key];
  // A display that broke is opened again: a relaunched game's gamescope may take the same number.
  if (scanner) {
    scanner->reconnect();
  } else {
    scanner = std::make_unique<X11WindowScanner>(displayName);
  }
  // Only sessions use these displays, and sessions match windows by the pids the server knows.
  return scanned.emplace(key, scanner->scan(true)).first->second;
}

void ProtonMonitor::poll() {
  reapChildren();
  const ProcessSnapshot snapshot = scanProcesses();
  const std::set<std::string> launchAppIds = steamLaunchAppIds(snapshot);
  // The server's pids are asked only when a session may need them, so that an idle pass costs nothing more.
  const std::vector<WindowInfo> windows = scanOwnDisplay(!sessions.empty() || !launchAppIds.empty());
  std::map<std::string, std::vector<WindowInfo>> gameDisplayScans;

  for (const std::string& appId : launchAppIds) {
    if (sessions.contains(appId)) continue;
    sessions.emplace(appId, freshSessionState(snapshot, appId));
    logger.log("Detected Steam launch for AppID " + appId + "; waiting for Proton game window");
  }

  for (auto it = sessions.begin(); it != sessions.end();) {
    const std::string& appId = it->first;
    SessionState& state = it->second;

    // The game's Proton processes are judged only where the pass asks: whether there is one, and whether a
    // window's process or an ancestor is one.
    const ProtonProcessMatcher protonProcesses(snapshot, appId);
    const auto isProtonPid = [&](std::int32_t pid) { return protonProcesses.contains(pid); };
    const bool launchSeen = launchAppIds.contains(appId);
    const ProcessInfo* newestProton = protonProcesses.newest();
    const bool protonSeen = newestProton != nullptr;
    GameDisplay gameDisplay;
    std::optional<WindowInfo> anyWindow;
    std::optional<WindowInfo> readyWindow;
    if (protonSeen) {
      gameDisplay = gameDisplayOf(*newestProton, windowScanner.displayName());
      const std::vector<WindowInfo>& gameWindows =
          gameDisplay.other ? gameDisplayWindows(*gameDisplay.name, gameDisplayScans) : windows;
      anyWindow = findGameWindowBy(snapshot, gameWindows, isProtonPid, false);
      readyWindow = findGameWindowBy(snapshot, gameWindows, isProtonPid, true);
    }

    const bool relaunched = state.phase == SessionPhase::Launched && state.childGone && launchSeen &&
                            readyWindow.has_value() && isDifferentLaunchedWindow(state, *readyWindow);
    if (relaunched) {
      state = freshSessionState(snapshot, appId);
      logger.log("Detected Steam relaunch for AppID " + appId + " with new game window " +
                 windowLogText(*readyWindow));
    }

    if (!launchSeen && !protonSeen) {
      ++state.missingEvidencePolls;
    } else {
      state.missingEvidencePolls = 0;
    }
    if (state.phase == SessionPhase::Launched && state.childGone && !anyWindow) {
      ++state.missingWindowPolls;
    } else {
      state.missingWindowPolls = 0;
    }

    const bool evidenceGone = state.missingEvidencePolls > kMaxMissedPolls;
    const bool windowGone = !evidenceGone && state.missingWindowPolls > kMaxMissedPolls;
    if (evidenceGone || windowGone) {
      logger.log("Game AppID " + appId +
                 (evidenceGone ? " evidence disappeared; clearing session state"
                               : " window and Cursello child are gone; clearing session state"));
      if (state.childPid > 0 && !state.childGone) orphanedChildren.push_back(state.childPid);
      it = sessions.erase(it);
      continue;
    }

    if (protonSeen && !state.protonConfirmed) {
      state.protonConfirmed = true;
      logger.log("Confirmed Proton process state for AppID " + appId);
    }

    if (gameDisplay.other && state.gameDisplay != displayKey(*gameDisplay.name)) {
      state.gameDisplay = displayKey(*gameDisplay.name);
      logger.log("Game AppID " + appId + " shows its windows on X11 display " + *gameDisplay.name +
                 "; watching that display too");
    }

    if (shouldLaunchCursello(state.phase, protonSeen, readyWindow.has_value())) {
      logger.log("Detected visible Proton game window for AppID " + appId + "; launching Cursello " +
                 windowLogText(*readyWindow));
      // The companion shows itself where the game's window is, under the name the game uses for that display.
      const bool windowOnGameDisplay =
          gameDisplay.other || (gameDisplay.name && sameDisplay(*gameDisplay.name, windowScanner.displayName()));
      launchForReadyGame(appId, state, *readyWindow, snapshot,
                         windowOnGameDisplay ? gameDisplay.name : std::nullopt);
    }
    ++it;
  }

  // A display that no session's game is on any more is closed: gamescope usually ends with its game.
  std::erase_if(gameDisplays, [&](const auto& entry) { return !gameDisplayScans.contains(entry.first); });
}

void ProtonMonitor::launchForReadyGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                                       const ProcessSnapshot& snapshot,
                                       const std::optional<std::string>& companionDisplay) {
  state.phase = SessionPhase::Launched;
  state.launchedWindowPid = window.pid;
  state.launchedWindowXid = window.xid;
  logger.log("Launching after stable Proton game window for AppID " + appId + " " + windowLogText(window));

  // A game in a sandbox of its own gets its companion inside, never one from here: a wine started outside would
  // miss the game's wineserver and start a second one on the game's prefix.
  const GamePlace place = judgeGamePlace(window.pid);
  if (place == GamePlace::Sandboxed) {
    LaunchFailure failure;
    if (!startInsideSandbox(appId, window.pid, snapshot, logger, state.childPid, failure) && failureReporter) {
      failure.appId = appId;
      failure.windowTitle = window.title;
      failureReporter(failure);
    }
    return;
  }
  if (place == GamePlace::Uncompared) {
    logger.log("Could not compare the /tmp of the game of AppID " + appId + " (pid " + std::to_string(window.pid) +
               ") with the launcher's; starting Cursello as for a native game");
  }

  const auto context = findLaunchContext(appId, snapshot, defaultSteamRoots());
  if (!context) {
    if (!state.noContextReported) {
      state.noContextReported = true;
      const std::string message = "No usable Steam Proton context found for AppID " + appId;
      logger.log(message);
      if (failureReporter) failureReporter({LaunchFailureKind::NoContext, appId, window.title, message, {}});
    }
    return;
  }

  const std::filesystem::path exePath = curselloExePath();
  // The game's Wine processes run with Proton's sync settings, which Steam's launch process predates; the
  // companion must match them or its wineserver turns it away.
  Environment environment = withGameSyncSettings(state.inheritedEnv, findProcess(snapshot, window.pid));
  if (companionDisplay) environment.insert_or_assign("DISPLAY", *companionDisplay);
  LaunchFailure failure;
  if (!spawnCursello(appId, *context, exePath, environment, state.inheritedEnvPid, logger, state.childPid,
                     &failure) &&
      failureReporter) {
    failure.appId = appId;
    failure.windowTitle = window.title;
    failureReporter(failure);
  }
}

}  // namespace cs
