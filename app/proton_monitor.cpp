#include "app/proton_monitor.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <chrono>
#include <type_traits>
#include <utility>

#include "common/paths.h"
#include "common/text.h"
#include "launch/cursello_launch.h"
#include "launch/sandboxed_launch.h"
#include "proc/process_handle.h"
#include "sandbox/game_namespaces.h"
#include "steam/game_tree.h"
#include "steam/launch_context.h"
#include "steam/library_roots.h"
#include "steam/proton_processes.h"
#include "steam/steam_launch.h"
#include "steam/wine_display_driver.h"
#include "x11/display_name.h"

namespace cs {

namespace {

// A session is cleared on the fifth consecutive pass without evidence, or without a window once its child is
// gone: one missed pass (a process restarting, a window being recreated) must not end a game's session.
constexpr std::int32_t kMaxMissedPolls = 4;

// The most memory maps of one game's processes read in a pass while its display driver is unknown.
constexpr std::size_t kDriverProbesPerPass = 2;
// A watcher that ended is followed by the next no sooner than this many passes later; after this many in a row
// that ended without a word, none is started for the session.
constexpr std::uint64_t kWatchRestartPasses = 5;
constexpr int kMaxFailedWatchStarts = 3;

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

// Returns the first few items joined by single spaces, and how many more there are: a sandbox may start thousands.
template <typename Items>
std::string firstFewOf(const Items& items) {
  constexpr std::size_t kMaxNamed = 8;
  std::string text;
  std::size_t named = 0;
  for (auto item = items.begin(); item != items.end() && named < kMaxNamed; ++item, ++named) {
    if (!text.empty()) text += ' ';
    if constexpr (std::is_same_v<typename Items::value_type, std::string>) {
      text += *item;
    } else {
      text += std::to_string(*item);
    }
  }
  if (items.size() > named) text += " and " + std::to_string(items.size() - named) + " more";
  return text;
}

// The processes of the game's tree that run a Windows program under Wine, each with the program's name, in the
// snapshot's order. With `wanted`, only those whose program it names: the tree and the loader are asked of no other.
// Steam's processes, the Proton script and the wineserver run none.
std::vector<std::pair<const ProcessInfo*, std::string>> windowsProgramsOf(const std::string& appId,
                                                                          const ProcessSnapshot& snapshot,
                                                                          const GameTrees& games,
                                                                          const std::set<std::string>* wanted) {
  std::vector<std::pair<const ProcessInfo*, std::string>> programs;
  for (const ProcessInfo& info : snapshot.processes) {
    std::string program = windowsProgramName(info.commandLine);
    if (program.empty() || (wanted != nullptr && !wanted->contains(program))) continue;
    if (games.isProtonProcess(appId, info.pid)) programs.emplace_back(&info, std::move(program));
  }
  return programs;
}

}  // namespace

ProtonMonitor::ProtonMonitor()
    : placeJudge(std::make_unique<PlaceJudge>()),
      processMemory(std::make_unique<ProcessMemory>()),
      displays(logger, isHostProcess()),
      pendingStarts(logger, orphanedChildren) {}

std::function<bool(const ProcessHandle&)> ProtonMonitor::isHostProcess() {
  return [this](const ProcessHandle& process) { return placeJudge->placeOf(process) == GamePlace::Host; };
}

ProtonMonitor::~ProtonMonitor() = default;

void ProtonMonitor::setFailureReporter(LaunchFailureReporter reporter) { failureReporter = std::move(reporter); }

void ProtonMonitor::setDescriptorWatch(std::function<std::uint32_t(int)> watch,
                                       std::function<void(std::uint32_t)> unwatch) {
  pendingStarts.setDescriptorWatch(std::move(watch), std::move(unwatch));
}

void ProtonMonitor::serviceSandboxStarts() {
  pendingStarts.service(
      [this](const std::string& appId, std::int32_t helperPid) {
        const auto session = sessions.find(appId);
        if (session == sessions.end()) return false;
        // From here on the helper is the companion as far as the session knows: it ends as the companion ends.
        session->second.childPid = helperPid;
        return true;
      },
      failureReporter);
}

void ProtonMonitor::start() {
  logger.log("CurselloLinuxLauncher started");
  displays.logOwnRefusal();
  if (!displays.ownDisplayAvailable()) {
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
      windows, [&](std::int32_t pid) { return isPidInSetOrDescendant(snapshot, pid, pids); }, requireVisible);
}

std::optional<WindowInfo> ProtonMonitor::findGameWindowBy(const std::vector<WindowInfo>& windows,
                                                          const std::function<bool(std::int32_t)>& isGameWindowPid,
                                                          bool requireVisible) {
  for (const WindowInfo& window : windows) {
    if (requireVisible && !window.visible) continue;
    if (window.pid < 1) continue;
    // The companion's own window belongs to the game's processes too; it must never count as the game's.
    if (window.title.find("Cursello") != std::string::npos) continue;
    if (!isGameWindowPid(window.pid)) continue;
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

  for (auto& [appId, prefixWatch] : prefixWatches) {
    if (!prefixWatch.watch || prefixWatch.watch->hasEnded()) continue;
    int status = 0;
    const pid_t result = waitpid(prefixWatch.watch->pid(), &status, WNOHANG);
    if (result == prefixWatch.watch->pid() || (result < 0 && errno == ECHILD)) {
      prefixWatch.watch->reaped();
      // How it ended tells a watcher that Wine could not start from one that saw the game end.
      std::string how;
      if (result == prefixWatch.watch->pid() && WIFEXITED(status)) how = " with status " + std::to_string(WEXITSTATUS(status));
      if (result == prefixWatch.watch->pid() && WIFSIGNALED(status)) how = " on signal " + std::to_string(WTERMSIG(status));
      logger.log("Window watcher for AppID " + appId + " exited" + how);
    }
  }

  // Children of cleared sessions: reaped without a word, so that they do not stay zombies until we exit.
  std::erase_if(orphanedChildren, [](std::int32_t pid) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
  });
}

std::set<std::string> ProtonMonitor::gamesToFollow(const GameTrees& games) {
  std::set<std::string> followed;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::string>> bySandbox;
  for (const auto& [appId, launches] : games.launches()) {
    const std::optional<NamespaceKey> sandbox = games.sandboxOf(appId);
    if (!sandbox) {
      followed.insert(appId);
    } else {
      bySandbox[{sandbox->pidDev, sandbox->pidIno}].push_back(appId);
    }
  }
  for (auto& [sandbox, appIds] : bySandbox) {
    // Games that have a session keep it; new ones take what is left, in AppID order.
    std::stable_partition(appIds.begin(), appIds.end(), [&](const std::string& id) { return sessions.contains(id); });
    const std::size_t taken = std::min(appIds.size(), GameTrees::kMaxGamesPerSandbox);
    followed.insert(appIds.begin(), appIds.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken == appIds.size() || !crowdedSandboxesTold.insert(sandbox).second) continue;
    const std::string passedOver =
        firstFewOf(std::vector<std::string>(appIds.begin() + static_cast<std::ptrdiff_t>(taken), appIds.end()));
    const std::int32_t pid = games.launches().at(appIds.front()).front().process->pid;
    const std::string message = "Passing over Steam launches in the sandbox of pid " + std::to_string(pid) +
                                " for AppIDs " + passedOver + ": at most " +
                                std::to_string(GameTrees::kMaxGamesPerSandbox) +
                                " games of one sandbox are followed at once";
    logger.log(message);
    if (failureReporter) failureReporter({LaunchFailureKind::SandboxCrowded, passedOver, "", message, {}});
  }
  // A sandbox that no longer claims more than it may is told again should it do so later.
  std::erase_if(crowdedSandboxesTold, [&](const auto& sandbox) {
    const auto found = bySandbox.find(sandbox);
    return found == bySandbox.end() || found->second.size() <= GameTrees::kMaxGamesPerSandbox;
  });
  return followed;
}

void ProtonMonitor::poll() {
  serviceSandboxStarts();
  reapChildren();
  const ProcessSnapshot snapshot = scanProcesses();
  // Steam's launches, and below them the games' processes, each read once and only through its own process.
  const GameTrees games(snapshot, *placeJudge, *processMemory, defaultSteamRoots());
  const std::set<std::string> launchAppIds = gamesToFollow(games);
  // The server's pids are asked only when a session may need them, so that an idle pass costs nothing more.
  displays.beginPass();
  const DisplayWatch::Windows windows = displays.scanOwnDisplay(!sessions.empty() || !launchAppIds.empty());

  for (const std::string& appId : launchAppIds) {
    const bool inSandbox = games.sandboxOf(appId).has_value();
    const auto found = sessions.find(appId);
    if (found == sessions.end()) {
      sessions.emplace(appId, SessionState{}).first->second.launchedInSandbox = inSandbox;
      logger.log("Detected Steam launch for AppID " + appId + "; waiting for Proton game window");
    } else if (found->second.launchedInSandbox && !inSandbox) {
      // A sandbox claimed the AppID first: the game that Steam on the host launched takes the session, or the
      // sandbox's claim would keep it from its companion for as long as that claim stands.
      SessionState& state = found->second;
      if (state.childPid > 0 && !state.childGone) orphanedChildren.push_back(state.childPid);
      pendingStarts.drop(appId);
      endWindowWatch(appId);
      state = SessionState{};
      logger.log("Detected Steam launch on the host for AppID " + appId +
                 ", which a sandbox claimed before; following the host's game");
    }
  }

  for (auto it = sessions.begin(); it != sessions.end();) {
    const std::string& appId = it->first;
    SessionState& state = it->second;

    // The game is Steam's tree: its Proton processes and windows are only those below its launch.
    const bool launchSeen = launchAppIds.contains(appId);
    const ProcessInfo* newestProton = launchSeen ? games.newestProton(appId) : nullptr;
    const bool protonSeen = newestProton != nullptr;
    const auto isGameWindowPid = [&](std::int32_t pid) { return games.ownerOfWindow(appId, pid).has_value(); };
    GameDisplay gameDisplay;
    std::optional<WindowInfo> anyWindow;
    std::optional<WindowInfo> readyWindow;
    bool windowsKnown = true;  // without a Proton process, the game has no window
    if (protonSeen && state.driver == WineDisplayDriver::Unknown &&
        (state.phase == SessionPhase::Waiting || state.childGone)) {
      probeDisplayDriver(appId, state, snapshot, games);
    }
    if (state.driver == WineDisplayDriver::Wayland) {
      // The game shows no X11 window: its watcher tells what Wine knows, every window it tells of viewable.
      const std::optional<std::vector<WindowInfo>> wineWindows = wineWindowsOf(appId, state, snapshot, games);
      windowsKnown = wineWindows.has_value();
      if (wineWindows) {
        anyWindow = findGameWindowBy(*wineWindows, isGameWindowPid, true);
        readyWindow = anyWindow;
      }
    } else if (protonSeen) {
      // Only the newest is asked: its judgement is the one kept for its namespaces.
      if (placeJudge->placeOf(ProcessHandle::open(newestProton->pid, startTimeOf(*newestProton))) ==
          GamePlace::Host) {
        gameDisplay = gameDisplayOf(*newestProton, displays.ownDisplayName());
      }
      const DisplayWatch::Windows& gameWindows =
          gameDisplay.other
              ? displays.gameDisplayWindows(*gameDisplay.name, state.gameDisplay != displayKey(*gameDisplay.name))
              : windows;
      windowsKnown = gameWindows.has_value();
      if (gameWindows) {
        anyWindow = findGameWindowBy(*gameWindows, isGameWindowPid, false);
        readyWindow = anyWindow && anyWindow->visible ? anyWindow : findGameWindowBy(*gameWindows, isGameWindowPid, true);
      }
    }
    const bool relaunched = state.phase == SessionPhase::Launched && state.childGone && launchSeen &&
                            readyWindow.has_value() && isDifferentLaunchedWindow(state, *readyWindow);
    if (relaunched) {
      state = relaunchedSession(state);
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
      pendingStarts.drop(appId);
      endWindowWatch(appId);
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
          gameDisplay.other || (gameDisplay.name && sameDisplay(*gameDisplay.name, displays.ownDisplayName()));
      launchForReadyGame(appId, state, *readyWindow, games, windowOnGameDisplay ? gameDisplay.name : std::nullopt);
    }
    ++it;
  }

  displays.endPass();
  placeJudge->endPass();
  processMemory->endPass();
  ++passCount;
}

void ProtonMonitor::probeDisplayDriver(const std::string& appId, SessionState& state, const ProcessSnapshot& snapshot,
                                       const GameTrees& games) {
  // Only the game's own Windows processes map a driver: the others would be read at every pass for nothing.
  const auto candidates = windowsProgramsOf(appId, snapshot, games, nullptr);
  for (std::size_t probe = 0; probe < std::min(kDriverProbesPerPass, candidates.size()); ++probe) {
    const ProcessInfo& info = *candidates[state.driverProbeTurn++ % candidates.size()].first;
    const ProcessHandle process = ProcessHandle::open(info.pid, startTimeOf(info));
    const WineDisplayDriver driver = runsWineLoader(process) ? displayDriverOf(process) : WineDisplayDriver::Unknown;
    if (driver == WineDisplayDriver::Unknown) continue;
    state.driver = driver;
    state.driverPid = info.pid;
    state.driverStartTime = startTimeOf(info);
    if (driver == WineDisplayDriver::Wayland && !state.waylandTold) {
      state.waylandTold = true;
      logger.log("Game AppID " + appId + " uses Wine's Wayland driver; watching its windows from inside its prefix");
    }
    return;
  }
}

std::optional<std::vector<WindowInfo>> ProtonMonitor::wineWindowsOf(const std::string& appId, SessionState& state,
                                                                    const ProcessSnapshot& snapshot,
                                                                    const GameTrees& games) {
  PrefixWatch& prefixWatch = prefixWatches[appId];
  if (prefixWatch.sandboxStart) followSandboxedWindowWatch(prefixWatch);
  if (prefixWatch.sandboxStart) return std::nullopt;
  if (prefixWatch.watch && prefixWatch.watch->hasEnded()) {
    prefixWatch.watch->read();
    prefixWatch.endedAfterStart = prefixWatch.watch->records().started();
    prefixWatch.failedStarts = prefixWatch.endedAfterStart ? 0 : prefixWatch.failedStarts + 1;
    prefixWatch.watch.reset();
    prefixWatch.notBeforePass = passCount + kWatchRestartPasses;
    if (prefixWatch.endedAfterStart) {
      // It ends when only Wine's own processes are left: a relaunch is a new game whose driver is looked at anew.
      state.driver = WineDisplayDriver::Unknown;
      return std::vector<WindowInfo>();
    }
  }
  if (!prefixWatch.watch) {
    if (prefixWatch.failedStarts >= kMaxFailedWatchStarts) {
      if (!prefixWatch.gaveUpTold) {
        prefixWatch.gaveUpTold = true;
        logger.log("Window watcher for AppID " + appId + " failed to start or ended without a word " +
                   std::to_string(kMaxFailedWatchStarts) + " times; the game's windows cannot be seen");
      }
      return std::nullopt;
    }
    if (passCount >= prefixWatch.notBeforePass) startWindowWatch(appId, state, games, prefixWatch);
    if (prefixWatch.sandboxStart) return std::nullopt;
    if (!prefixWatch.watch) return prefixWatch.endedAfterStart ? std::optional(std::vector<WindowInfo>()) : std::nullopt;
  }
  prefixWatch.watch->read();
  if (!prefixWatch.watch->records().started()) return std::nullopt;

  // Wine gives no unix pid of a Windows process: a window is the game's when a Wine process of the game's tree runs
  // a program of that name, the newest such. The processes are named once a pass, whatever the count of windows.
  std::set<std::string> wanted;
  for (const WatchWindowShown& shown : prefixWatch.watch->records().windows()) {
    if (!isWineProgramImage(shown.imagePath)) wanted.insert(windowsProgramName(shown.imagePath));
  }
  wanted.erase("");
  std::vector<WindowInfo> windows;
  if (wanted.empty()) return windows;
  std::map<std::string, const ProcessInfo*> owners;
  for (auto& [info, program] : windowsProgramsOf(appId, snapshot, games, &wanted)) {
    if (runsWineLoader(ProcessHandle::open(info->pid, startTimeOf(*info)))) owners[std::move(program)] = info;
  }
  for (const WatchWindowShown& shown : prefixWatch.watch->records().windows()) {
    if (isWineProgramImage(shown.imagePath)) continue;
    const auto owner = owners.find(windowsProgramName(shown.imagePath));
    if (owner == owners.end()) continue;
    windows.push_back(WindowInfo{shown.window, owner->second->pid, shown.title, true, shown.windowsPid});
  }
  return windows;
}

void ProtonMonitor::startWindowWatch(const std::string& appId, SessionState& state, const GameTrees& games,
                                     PrefixWatch& prefixWatch) {
  const std::filesystem::path exe = executableDir() / kWindowWatchExeName;
  if (!pathExists(exe)) {
    if (!watcherMissingTold) {
      watcherMissingTold = true;
      const std::string message = "Games on Wine's Wayland driver cannot be served by this build: " +
                                  std::string(kWindowWatchExeName) + " was not built (looked for " +
                                  logText(exe.string()) + ")";
      logger.log(message);
      if (failureReporter) failureReporter({LaunchFailureKind::WatcherMissing, appId, "", message, {}});
    }
    return;
  }
  // The game's process that was seen to map the driver, as the pass found it below Steam's launch.
  const ProcessHandle game = ProcessHandle::open(state.driverPid, state.driverStartTime);
  const std::optional<GameWindowOwner> owner = games.ownerOfWindow(appId, state.driverPid);
  if (!game.ok() || !owner || startTimeOf(*owner->chain.front()) != state.driverStartTime) {
    // It has ended: the driver is looked for anew in the game's other processes.
    state.driver = WineDisplayDriver::Unknown;
    return;
  }
  const GamePlace place = placeJudge->placeOf(game);
  if (place == GamePlace::Sandboxed) {
    startSandboxedWindowWatch(appId, game, games, exe, prefixWatch);
    return;
  }
  if (place != GamePlace::Host) {
    // Started from here, the watcher would take whatever the game's process provides for the host's own.
    if (!prefixWatch.gaveUpTold) {
      prefixWatch.gaveUpTold = true;
      logger.log("Cannot watch the windows of AppID " + appId + " on Wine's Wayland driver: whether the game's "
                 "process (pid " + std::to_string(game.pid()) + ") runs in a sandbox cannot be told");
    }
    prefixWatch.failedStarts = kMaxFailedWatchStarts;
    return;
  }
  const std::optional<NativeStart> start = nativeStartOf(appId, state, game, *owner, "");
  if (!start) return;
  const std::filesystem::path prefix = start->context.compatDataPath / "pfx";
  // A wine started before the game's wineserver runs would start one of its own and boot the prefix itself.
  if (!wineserverRuns(prefix)) return;
  std::string error;
  prefixWatch.watch = WineWindowWatch::start(start->context.winePath, exe,
                                             launchEnvironment(start->context, start->environment), error);
  prefixWatch.endedAfterStart = false;
  if (!prefixWatch.watch) {
    ++prefixWatch.failedStarts;
    prefixWatch.notBeforePass = passCount + kWatchRestartPasses;
    logger.log("Failed to start the window watcher for AppID " + appId + ": " + error);
    return;
  }
  logger.log("Started the window watcher for AppID " + appId + " with pid " +
             std::to_string(prefixWatch.watch->pid()) + " in " + logText(prefix.string()));
}

void ProtonMonitor::startSandboxedWindowWatch(const std::string& appId, const ProcessHandle& game,
                                              const GameTrees& games, const std::filesystem::path& exe,
                                              PrefixWatch& prefixWatch) {
  // The helper finds the build and the prefix inside, and starts the watcher only when the game's wineserver serves
  // the prefix there: the sandbox's /tmp, where its socket lies, is not ours to look at. A game's process loads its
  // display driver only after it reached its wineserver, so a helper that finds none is a failed start.
  std::string error;
  std::optional<WatchPipe> pipe = makeWatchPipe(error);
  LaunchFailure failure;
  const std::optional<NamespaceKey> namespaces = namespacesOf(game);
  if (pipe) {
    prefixWatch.sandboxStart = startWatcherInsideSandbox(
        appId, game, namespaces ? games.protonCommandLinesIn(appId, *namespaces) : std::vector<std::string>(), exe,
        pipe->writeEnd.get(), logger, failure);
  } else {
    logger.log("Failed to start the window watcher inside the sandbox of AppID " + appId + ": " + error);
  }
  prefixWatch.endedAfterStart = false;
  if (!prefixWatch.sandboxStart) {
    // Logged as it failed; told to nobody else, since it is tried again and the companion's failure is told anyway.
    ++prefixWatch.failedStarts;
    prefixWatch.notBeforePass = passCount + kWatchRestartPasses;
    return;
  }
  // Our copy of the write end closes here: the pipe then ends when the helper's and the watcher's copies do.
  prefixWatch.sandboxOutput = std::move(pipe->readEnd);
}

void ProtonMonitor::followSandboxedWindowWatch(PrefixWatch& prefixWatch) {
  SandboxStart& start = *prefixWatch.sandboxStart;
  const SandboxStartState outcome = advanceSandboxStart(start, logger, std::chrono::steady_clock::now());
  if (outcome == SandboxStartState::Waiting) return;
  if (outcome == SandboxStartState::Started) {
    // Killing the helper kills the watcher, which it tied to itself; its pid is reaped as the watcher's.
    prefixWatch.watch = WineWindowWatch::adopt(start.helperPid, std::move(prefixWatch.sandboxOutput));
  } else {
    if (!start.reaped) orphanedChildren.push_back(start.helperPid);
    prefixWatch.sandboxOutput = FileDescriptor();
    prefixWatch.notBeforePass = passCount + kWatchRestartPasses;
    ++prefixWatch.failedStarts;
  }
  prefixWatch.sandboxStart.reset();
}

void ProtonMonitor::endWindowWatch(const std::string& appId) {
  const auto found = prefixWatches.find(appId);
  if (found == prefixWatches.end()) return;
  if (std::optional<SandboxStart>& start = found->second.sandboxStart; start && !start->reaped) {
    // The watcher, were it about to start, dies with the helper.
    kill(start->helperPid, SIGKILL);
    orphanedChildren.push_back(start->helperPid);
  }
  if (found->second.watch && !found->second.watch->hasEnded()) {
    found->second.watch->stop();
    orphanedChildren.push_back(found->second.watch->pid());
  }
  prefixWatches.erase(found);
}

void ProtonMonitor::launchForReadyGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                                       const GameTrees& games, const std::optional<std::string>& companionDisplay) {
  state.phase = SessionPhase::Launched;
  state.launchedWindowPid = window.pid;
  state.launchedWindowXid = window.xid;
  logger.log("Launching after stable Proton game window for AppID " + appId + " " + windowLogText(window));

  // The window's process is held from here on, as the process the pass found below Steam's launch: one that took
  // its pid since is never judged, read or entered in its place.
  const std::optional<GameWindowOwner> owner = games.ownerOfWindow(appId, window.pid);
  const ProcessHandle game =
      owner ? ProcessHandle::open(window.pid, startTimeOf(*owner->chain.front())) : ProcessHandle();
  // A game in a sandbox of its own gets its companion inside, never one from here: a wine started outside would
  // miss the game's wineserver and start a second one on the game's prefix.
  const GamePlace place = game.ok() ? placeJudge->placeOf(game) : GamePlace::Uncompared;
  if (place == GamePlace::Sandboxed) {
    LaunchFailure failure;
    const std::optional<NamespaceKey> namespaces = namespacesOf(game);
    std::optional<SandboxStart> start = startInsideSandbox(
        appId, game, namespaces ? games.protonCommandLinesIn(appId, *namespaces) : std::vector<std::string>(),
        curselloExePath(), logger, failure);
    if (!start) {
      failure.appId = appId;
      failure.windowTitle = window.title;
      if (failureReporter) failureReporter(failure);
      return;
    }
    pendingStarts.add(appId, std::move(*start), window.title);
    return;
  }
  if (place != GamePlace::Host) {
    // Served as native, such a game would hand the host's companion whatever its process provides.
    const std::string message = "Cannot start Cursello for AppID " + appId + ": whether the game's process (pid " +
                                std::to_string(window.pid) +
                                ") runs in a sandbox cannot be told, so nothing of its is used";
    logger.log(message);
    if (failureReporter) failureReporter({LaunchFailureKind::PlaceUnknown, appId, window.title, message, {}});
    return;
  }
  launchForNativeGame(appId, state, window, game, *owner, companionDisplay);
}

std::optional<ProtonMonitor::NativeStart> ProtonMonitor::nativeStartOf(const std::string& appId, SessionState& state,
                                                                      const ProcessHandle& game,
                                                                      const GameWindowOwner& owner,
                                                                      const std::string& windowTitle) {
  // Nothing is taken from a process that does not share our /tmp and pids, even below Steam's launch: a wrapper may
  // start the game's tree in a sandbox whose files are not the host's.
  std::set<std::int32_t> passedOver;
  const auto isNative = [&](const ProcessInfo& info) {
    if (placeJudge->placeOf(ProcessHandle::open(info.pid, startTimeOf(info))) == GamePlace::Host) return true;
    passedOver.insert(info.pid);
    return false;
  };

  // The environment is that of Steam's launch process the window descends from, read through a handle of the
  // process the pass found.
  const ProcessInfo& launchInfo = *owner.launch->process;
  const ProcessHandle launch = ProcessHandle::open(launchInfo.pid, startTimeOf(launchInfo));
  const std::optional<std::string> launchEnvironment =
      launch.ok() ? launch.readAtMost("environ", kMaxEnvironmentBytes) : std::nullopt;
  state.inheritedEnvPid = launchEnvironment ? launch.pid() : -1;
  state.inheritedEnv = parseEnvironment(splitNullSeparated(launchEnvironment.value_or(std::string())));

  // The build is named by the processes between the window's and the launch's, nearest first, then by the launch's
  // own command line, which Steam wrote.
  std::vector<std::string> commandLines;
  for (const ProcessInfo* member : owner.chain) {
    if (!isNative(*member)) continue;
    if (std::optional<std::string> words = pinnedCommandLine(*member)) commandLines.push_back(std::move(*words));
  }
  if (std::optional<std::string> words = pinnedCommandLine(launchInfo)) commandLines.push_back(std::move(*words));
  auto context = findLaunchContext(appId, commandLines, defaultSteamRoots(), FileRoot::host());
  if (!passedOver.empty() && !state.passedOverReported) {
    state.passedOverReported = true;
    logger.log("Passing over processes for AppID " + appId + " that run outside the game's namespaces (pids " +
               firstFewOf(passedOver) + "): nothing of theirs is used for Cursello");
  }
  if (!context) {
    if (!state.noContextReported) {
      state.noContextReported = true;
      const std::string message = "No usable Steam Proton context found for AppID " + appId;
      logger.log(message);
      if (failureReporter) failureReporter({LaunchFailureKind::NoContext, appId, windowTitle, message, {}});
    }
    return std::nullopt;
  }

  // The game's Wine processes run with Proton's sync settings, which Steam's launch process predates; the
  // companion must match them or its wineserver turns it away.
  ProcessInfo gameProcess;
  gameProcess.pid = game.pid();
  gameProcess.environment = game.readAtMost("environ", kMaxEnvironmentBytes).value_or(std::string());
  Environment environment = withGameSyncSettings(state.inheritedEnv, &gameProcess);
  // On Wine's Wayland driver the game chose its display by its own variables, which Steam's launch may not have.
  if (state.driver == WineDisplayDriver::Wayland) environment = withGameDisplayVariables(environment, gameProcess);
  return NativeStart{std::move(*context), std::move(environment)};
}

void ProtonMonitor::launchForNativeGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                                        const ProcessHandle& game, const GameWindowOwner& owner,
                                        const std::optional<std::string>& companionDisplay) {
  std::optional<NativeStart> start = nativeStartOf(appId, state, game, owner, window.title);
  if (!start) return;
  if (companionDisplay) start->environment.insert_or_assign("DISPLAY", *companionDisplay);
  LaunchFailure failure;
  if (!spawnCursello(appId, start->context, curselloExePath(), start->environment, state.inheritedEnvPid, logger,
                     state.childPid, &failure) &&
      failureReporter) {
    failure.appId = appId;
    failure.windowTitle = window.title;
    failureReporter(failure);
  }
}

}  // namespace cs
