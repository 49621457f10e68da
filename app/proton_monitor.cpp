#include "app/proton_monitor.h"

#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>

#include "common/paths.h"
#include "common/text.h"
#include "launch/cursello_launch.h"
#include "launch/sandboxed_launch.h"
#include "proc/process_handle.h"
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

// How long one pass may wait for the answers of all the displays it scans together: the tray's D-Bus answers and
// the notifications are served on the same loop. A display that misses it is heard at a later pass.
constexpr std::chrono::milliseconds kWindowScanBudget{100};

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

// Where the game's native Proton process (one judged to share our /tmp and pids) shows its windows. A sandboxed
// game's DISPLAY names a socket in its own /tmp, which the sandbox binds to ours: its windows are on the launcher's
// display whatever the name says, and no display a sandbox names is connected to.
GameDisplay gameDisplayOf(const ProcessInfo& nativeProton, const std::string& ownDisplay) {
  GameDisplay display;
  display.name = envValue(nativeProton, "DISPLAY");
  display.other = display.name && !display.name->empty() && !sameDisplay(*display.name, ownDisplay);
  return display;
}

// Returns the first pids joined by single spaces, and how many more there are: a sandbox may start thousands.
std::string pidList(const std::set<std::int32_t>& pids) {
  constexpr std::size_t kMaxNamed = 8;
  std::string text;
  std::size_t named = 0;
  for (auto pid = pids.begin(); pid != pids.end() && named < kMaxNamed; ++pid, ++named) {
    if (!text.empty()) text += ' ';
    text += std::to_string(*pid);
  }
  if (pids.size() > named) text += " and " + std::to_string(pids.size() - named) + " more";
  return text;
}

// Logs, once, that the scanner's display is served by a process it does not talk to.
void logRefusal(X11WindowScanner& scanner, Logger& logger) {
  if (const std::optional<std::string> line = scanner.newRefusal()) logger.log(*line);
}

}  // namespace

ProtonMonitor::ProtonMonitor()
    : placeJudge(std::make_unique<PlaceJudge>()), windowScanner(hostServersOnly(isHostProcess(), true)) {}

std::function<bool(const ProcessHandle&)> ProtonMonitor::isHostProcess() {
  return [this](const ProcessHandle& process) { return placeJudge->placeOf(process) == GamePlace::Host; };
}

ProtonMonitor::~ProtonMonitor() = default;

void ProtonMonitor::setFailureReporter(LaunchFailureReporter reporter) { failureReporter = std::move(reporter); }

void ProtonMonitor::setDescriptorWatch(std::function<std::uint32_t(int)> watch,
                                       std::function<void(std::uint32_t)> unwatch) {
  watchDescriptor = std::move(watch);
  unwatchDescriptor = std::move(unwatch);
}

void ProtonMonitor::dropPendingStart(std::map<std::string, PendingStart>::iterator it) {
  PendingStart& pending = it->second;
  if (pending.watchId != 0 && unwatchDescriptor) unwatchDescriptor(pending.watchId);
  if (!pending.start.reaped) orphanedChildren.push_back(pending.start.helperPid);
  pendingStarts.erase(it);
}

void ProtonMonitor::serviceSandboxStarts() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = pendingStarts.begin(); it != pendingStarts.end();) {
    PendingStart& pending = it->second;
    const SandboxStartState outcome = advanceSandboxStart(pending.start, logger, now);
    if (outcome == SandboxStartState::Waiting) {
      // An ended pipe stays readable: what is left (the helper's exit status, the deadline) waits for the pass.
      if (pending.start.ended && pending.watchId != 0 && unwatchDescriptor) {
        unwatchDescriptor(pending.watchId);
        pending.watchId = 0;
      }
      ++it;
      continue;
    }
    const auto session = sessions.find(it->first);
    if (outcome == SandboxStartState::Started && session != sessions.end()) {
      // From here on the helper is the companion as far as the session knows: it ends as the companion ends.
      session->second.childPid = pending.start.helperPid;
      pending.start.reaped = true;
    } else if (outcome == SandboxStartState::Failed && failureReporter && pending.start.failure) {
      LaunchFailure failure = *pending.start.failure;
      failure.windowTitle = pending.windowTitle;
      failureReporter(failure);
    }
    const auto next = std::next(it);
    dropPendingStart(it);
    it = next;
  }
}

void ProtonMonitor::start() {
  logger.log("CurselloLinuxLauncher started");
  logRefusal(windowScanner, logger);
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

std::optional<std::vector<WindowInfo>> ProtonMonitor::scanOwnDisplay(bool withClientPids,
                                                                     std::chrono::steady_clock::time_point deadline) {
  const std::string& name = windowScanner.displayName();
  if (!windowScanner.available() && !name.empty()) {
    if (!windowScanner.reconnect(deadline)) {
      logRefusal(windowScanner, logger);
      return std::nullopt;
    }
    logger.log("X11 display " + name + " is available; Proton game windows can be detected");
  }
  std::vector<WindowInfo> windows = windowScanner.scan(withClientPids, deadline);
  if (!windowScanner.available() && !name.empty()) {
    // A Wayland compositor may restart its Xwayland, and an X server may hang: either way it is tried again on the
    // scanner's schedule.
    logger.log("X11 display " + name + " was lost; Proton game windows cannot be detected until it is back");
  }
  if (!windowScanner.scanComplete()) return std::nullopt;
  return windows;
}

const std::optional<std::vector<WindowInfo>>& ProtonMonitor::gameDisplayWindows(
    const std::string& displayName, bool newlyNamed, std::chrono::steady_clock::time_point deadline,
    std::map<std::string, std::optional<std::vector<WindowInfo>>>& scanned) {
  const std::string key = displayKey(displayName);
  if (const auto it = scanned.find(key); it != scanned.end()) return it->second;
  std::unique_ptr<X11WindowScanner>& scanner = gameDisplays[key];
  // A display that broke is opened again on its schedule: a relaunched game's gamescope may take the same number.
  if (scanner) {
    if (newlyNamed) scanner->retryNow();
    scanner->reconnect(deadline);
  } else {
    // Any process may have bound a TCP port, a sandbox's too, and a game's display of its own is a local one.
    scanner = std::make_unique<X11WindowScanner>(displayName, deadline, hostServersOnly(isHostProcess(), false));
  }
  logRefusal(*scanner, logger);
  // Only sessions use these displays, and sessions match windows by the pids the server knows.
  std::vector<WindowInfo> windows = scanner->scan(true, deadline);
  return scanned.emplace(key, scanner->scanComplete() ? std::optional(std::move(windows)) : std::nullopt)
      .first->second;
}

void ProtonMonitor::poll() {
  serviceSandboxStarts();
  reapChildren();
  const ProcessSnapshot snapshot = scanProcesses();
  const std::set<std::string> launchAppIds = steamLaunchAppIds(snapshot);
  // The server's pids are asked only when a session may need them, so that an idle pass costs nothing more.
  const auto scanDeadline = std::chrono::steady_clock::now() + kWindowScanBudget;
  const std::optional<std::vector<WindowInfo>> windows =
      scanOwnDisplay(!sessions.empty() || !launchAppIds.empty(), scanDeadline);
  std::map<std::string, std::optional<std::vector<WindowInfo>>> gameDisplayScans;

  for (const std::string& appId : launchAppIds) {
    if (sessions.contains(appId)) continue;
    sessions.emplace(appId, SessionState{});
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
    bool windowsKnown = true;  // without a Proton process, the game has no window
    if (protonSeen) {
      // Only the newest is asked: looking further down would read every process's environment at every pass
      // while a sandboxed game runs. The judgement is the one kept for its namespaces.
      if (placeJudge->placeOf(newestProton->pid) == GamePlace::Host) {
        gameDisplay = gameDisplayOf(*newestProton, windowScanner.displayName());
      }
      const std::optional<std::vector<WindowInfo>>& gameWindows =
          gameDisplay.other ? gameDisplayWindows(*gameDisplay.name, state.gameDisplay != displayKey(*gameDisplay.name),
                                                 scanDeadline, gameDisplayScans)
                            : windows;
      windowsKnown = gameWindows.has_value();
      if (gameWindows) {
        anyWindow = findGameWindowBy(snapshot, *gameWindows, isProtonPid, false);
        readyWindow = findGameWindowBy(snapshot, *gameWindows, isProtonPid, true);
      }
    }

    const bool relaunched = state.phase == SessionPhase::Launched && state.childGone && launchSeen &&
                            readyWindow.has_value() && isDifferentLaunchedWindow(state, *readyWindow);
    if (relaunched) {
      state = SessionState{};
      logger.log("Detected Steam relaunch for AppID " + appId + " with new game window " +
                 windowLogText(*readyWindow));
    }

    if (!launchSeen && !protonSeen) {
      ++state.missingEvidencePolls;
    } else {
      state.missingEvidencePolls = 0;
    }
    // A display late with its answers tells nothing of the game's windows.
    state.missingWindowPolls =
        countMissingWindowPolls(state, windowsKnown ? std::optional(anyWindow.has_value()) : std::nullopt);

    const bool evidenceGone = state.missingEvidencePolls > kMaxMissedPolls;
    const bool windowGone = !evidenceGone && state.missingWindowPolls > kMaxMissedPolls;
    if (evidenceGone || windowGone) {
      logger.log("Game AppID " + appId +
                 (evidenceGone ? " evidence disappeared; clearing session state"
                               : " window and Cursello child are gone; clearing session state"));
      if (state.childPid > 0 && !state.childGone) orphanedChildren.push_back(state.childPid);
      if (const auto pending = pendingStarts.find(appId); pending != pendingStarts.end()) dropPendingStart(pending);
      it = sessions.erase(it);
      continue;
    }

    if (protonSeen && !state.protonConfirmed) {
      state.protonConfirmed = true;
      logger.log("Confirmed Proton process state for AppID " + appId);
    }

    if (gameDisplay.other && state.gameDisplay != displayKey(*gameDisplay.name)) {
      state.gameDisplay = displayKey(*gameDisplay.name);
      logger.log("Game AppID " + appId + " shows its windows on X11 display " + logText(*gameDisplay.name) +
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
  placeJudge->endPass();
}

void ProtonMonitor::launchForReadyGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                                       const ProcessSnapshot& snapshot,
                                       const std::optional<std::string>& companionDisplay) {
  state.phase = SessionPhase::Launched;
  state.launchedWindowPid = window.pid;
  state.launchedWindowXid = window.xid;
  logger.log("Launching after stable Proton game window for AppID " + appId + " " + windowLogText(window));

  // The window's process is held from here on, so that a process that takes its pid meanwhile is never judged,
  // read or entered in its place.
  const ProcessHandle game = ProcessHandle::open(window.pid);
  // A game in a sandbox of its own gets its companion inside, never one from here: a wine started outside would
  // miss the game's wineserver and start a second one on the game's prefix.
  const GamePlace place = placeJudge->placeOf(game);
  if (place == GamePlace::Sandboxed) {
    LaunchFailure failure;
    std::optional<SandboxStart> start =
        startInsideSandbox(appId, game, snapshot, curselloExePath(), logger, failure);
    if (!start) {
      failure.appId = appId;
      failure.windowTitle = window.title;
      if (failureReporter) failureReporter(failure);
      return;
    }
    // The helper's word comes when it comes; the main loop reads it as it arrives, and the pass if nothing watches.
    PendingStart& pending = pendingStarts[appId] = PendingStart{std::move(*start), window.title, 0};
    if (watchDescriptor) pending.watchId = watchDescriptor(pending.start.status.get());
    return;
  }
  if (place == GamePlace::Uncompared) {
    // Served as native, such a game would hand the host's companion whatever its process provides.
    const std::string message = "Cannot start Cursello for AppID " + appId + ": whether the game's process (pid " +
                                std::to_string(window.pid) +
                                ") runs in a sandbox cannot be told, so nothing of its is used";
    logger.log(message);
    if (failureReporter) failureReporter({LaunchFailureKind::PlaceUnknown, appId, window.title, message, {}});
    return;
  }
  launchForNativeGame(appId, state, window, game, snapshot, companionDisplay);
}

void ProtonMonitor::launchForNativeGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                                        const ProcessHandle& game, const ProcessSnapshot& snapshot,
                                        const std::optional<std::string>& companionDisplay) {
  // Nothing is taken from a process that does not share our /tmp and pids: a Flatpak app can start a process
  // that claims the game, with an LD_PRELOAD or a Proton build in a directory it may write to.
  std::set<std::int32_t> passedOver;
  const auto isNative = [&](const ProcessHandle& process) {
    if (placeJudge->placeOf(process) == GamePlace::Host) return true;
    passedOver.insert(process.pid());
    return false;
  };

  // The environment is Steam's launch process's: the window's own ancestor, else the first native one of the game.
  // It is read through a handle, whose command line says that it is still the process the snapshot listed.
  ProcessHandle launch;
  const auto isNativeLaunch = [&](const ProcessInfo& info) {
    ProcessHandle candidate = ProcessHandle::open(info.pid);
    if (extractAppId(joinNullSeparated(candidate.read("cmdline"))) != appId || !isNative(candidate)) return false;
    launch = std::move(candidate);
    return true;
  };
  const std::optional<std::int32_t> ancestor = steamLaunchAncestorOf(snapshot, window.pid, appId);
  const ProcessInfo* ancestorInfo = ancestor ? findProcess(snapshot, *ancestor) : nullptr;
  if (ancestorInfo == nullptr || !isNativeLaunch(*ancestorInfo)) {
    steamLaunchProcessForAppId(snapshot, appId, isNativeLaunch);
  }
  state.inheritedEnvPid = launch.ok() ? launch.pid() : -1;
  state.inheritedEnv = parseEnvironment(splitNullSeparated(launch.read("environ")));

  const auto context =
      findLaunchContext(appId, snapshot, defaultSteamRoots(), FileRoot::host(),
                        [&](const ProcessInfo& info) { return isNative(ProcessHandle::open(info.pid)); });
  if (!passedOver.empty() && !state.passedOverReported) {
    state.passedOverReported = true;
    logger.log("Passing over processes for AppID " + appId + " that run outside the game's namespaces (pids " +
               pidList(passedOver) + "): nothing of theirs is used for Cursello");
  }
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
  ProcessInfo gameProcess;
  gameProcess.pid = window.pid;
  gameProcess.environment = game.read("environ");
  Environment environment = withGameSyncSettings(state.inheritedEnv, &gameProcess);
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
