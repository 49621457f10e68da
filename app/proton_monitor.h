// Watches the user's processes and windows once a second and starts the companion for each Proton game.
#ifndef CS_APP_PROTON_MONITOR_H
#define CS_APP_PROTON_MONITOR_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/session_state.h"
#include "common/logger.h"
#include "launch/launch_failure.h"
#include "launch/pending_sandbox_starts.h"
#include "launch/wine_window_watch.h"
#include "steam/launch_context.h"
#include "proc/process_snapshot.h"
#include "x11/display_watch.h"
#include "x11/window_scanner.h"

namespace cs {

class GameTrees;
class PlaceJudge;
class ProcessMemory;
class ProcessHandle;
struct GameWindowOwner;
struct NamespaceKey;

class ProtonMonitor {
 public:
  ProtonMonitor();
  ~ProtonMonitor();
  ProtonMonitor(const ProtonMonitor&) = delete;
  ProtonMonitor& operator=(const ProtonMonitor&) = delete;

  // Sets who is told, besides the log, when the companion cannot be started for a game or no display can be
  // watched. Unset, nobody is.
  void setFailureReporter(LaunchFailureReporter reporter);
  // Sets how the descriptor of a companion start inside a sandbox is watched: watch(fd) returns an id, and
  // serviceSandboxStarts is to be called when the descriptor becomes readable until unwatch(id). Unset, the starts
  // are followed once per pass only.
  void setDescriptorWatch(std::function<std::uint32_t(int)> watch, std::function<void(std::uint32_t)> unwatch);
  // Reads, without waiting, what the helpers of pending starts inside sandboxes said, and settles those it can.
  void serviceSandboxStarts();
  // Logs the start line, and a warning when no X11 display could be opened.
  void start();
  // Logs the exit line; sessions and children are left as they are.
  void stop();
  // One pass: reap, scan processes and windows, open, evaluate, clear and launch sessions.
  void poll();

  // Returns the first window (visible, when asked) that is not the companion's and belongs to one of the pids
  // or a descendant of one.
  std::optional<WindowInfo> findGameWindow(const ProcessSnapshot& snapshot, const std::vector<WindowInfo>& windows,
                                           const std::set<std::int32_t>& pids, bool requireVisible) const;
  std::optional<WindowInfo> findReadyGameWindow(const ProcessSnapshot& snapshot,
                                                const std::vector<WindowInfo>& windows,
                                                const std::set<std::int32_t>& pids) const;

 private:
  // The first window (visible, when asked) that is not the companion's and whose process isGameWindowPid takes.
  static std::optional<WindowInfo> findGameWindowBy(const std::vector<WindowInfo>& windows,
                                                    const std::function<bool(std::int32_t)>& isGameWindowPid,
                                                    bool requireVisible);
  // The AppIDs whose launches the pass follows: every game launched on the host, and at most a few of each
  // sandbox, those with a session first. The rest of a sandbox's are told once.
  std::set<std::string> gamesToFollow(const GameTrees& games);
  void reapChildren();
  // Whether the process lives outside any sandbox, as placeJudge says: what a display's server must be when it is
  // the user's.
  std::function<bool(const ProcessHandle&)> isHostProcess();
  // companionDisplay: the DISPLAY the companion gets, as the game names the display its window was found on; no
  // value keeps the inherited one.
  void launchForReadyGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                          const GameTrees& games, const std::optional<std::string>& companionDisplay);
  // The companion of a game judged native, whose window's process is `game`: it takes the environment of Steam's
  // launch process and the build named between the two, from native processes only.
  void launchForNativeGame(const std::string& appId, SessionState& state, const WindowInfo& window,
                           const ProcessHandle& game, const GameWindowOwner& owner,
                           const std::optional<std::string>& companionDisplay);

  // Where and how a program starts beside a native game: the build and prefix, and the environment the companion
  // gets. No value (told once a session) when no build is found.
  struct NativeStart {
    LaunchContext context;
    Environment environment;
  };
  std::optional<NativeStart> nativeStartOf(const std::string& appId, SessionState& state, const ProcessHandle& game,
                                           const GameWindowOwner& owner, const std::string& windowTitle);

  // Games on Wine's Wayland driver show no X11 window; a watcher of ours inside the game's prefix tells their windows.
  struct PrefixWatch {
    std::unique_ptr<WineWindowWatch> watch;
    // A watcher being started inside the game's sandbox, and our end of its output pipe, until the helper tells.
    std::optional<SandboxStart> sandboxStart;
    FileDescriptor sandboxOutput;
    int failedStarts = 0;             // watchers in a row that failed to start or ended without a word
    std::uint64_t notBeforePass = 0;  // when the next may start
    bool endedAfterStart = false;     // the last one ended once the game had: it has no windows
    bool gaveUpTold = false;
  };
  // Looks, a few processes a pass, at which display driver the game's Windows processes map.
  void probeDisplayDriver(const std::string& appId, SessionState& state, const ProcessSnapshot& snapshot,
                          const GameTrees& games);
  // The game's windows as its watcher tells them, each tied to the game's process that runs its program; no value
  // while they are not known (no watcher yet, or one that has not said it started).
  std::optional<std::vector<WindowInfo>> wineWindowsOf(const std::string& appId, SessionState& state,
                                                       const ProcessSnapshot& snapshot, const GameTrees& games);
  void startWindowWatch(const std::string& appId, SessionState& state, const GameTrees& games, PrefixWatch& watch);
  // Begins the watcher's start inside the sandbox of the game's process, through the helper.
  void startSandboxedWindowWatch(const std::string& appId, const ProcessHandle& game, const GameTrees& games,
                                 const std::filesystem::path& exe, PrefixWatch& watch);
  // Reads what the helper of a watcher's start inside a sandbox said; once it has told, the watcher is followed, or
  // the start counts as failed.
  void followSandboxedWindowWatch(PrefixWatch& watch);
  // Ends the game's watcher, if it has one, and forgets it; its process is reaped later.
  void endWindowWatch(const std::string& appId);

  Logger logger;
  LaunchFailureReporter failureReporter;
  // Where the processes the pass asks about live (native, or in a sandbox), judged once per namespace; the servers
  // of the displays too, so it is made before them. Held apart, so that this header brings no enumerator named None
  // to files that include Xlib.
  std::unique_ptr<PlaceJudge> placeJudge;
  // What is judged of each process once in its life: whether it is Steam's launch, what its environment claims.
  std::unique_ptr<ProcessMemory> processMemory;
  // The launcher's own display and the games' displays, scanned under one deadline per pass.
  DisplayWatch displays;
  std::unordered_map<std::string, SessionState> sessions;
  // Companions whose session was cleared while they still ran, and helpers of starts forgotten before they told
  // how they went: waited for quietly until they end, so that none is left a zombie for the rest of the day.
  std::vector<std::int32_t> orphanedChildren;
  // Starts inside sandboxes whose helper has not yet told how they went.
  PendingSandboxStarts pendingStarts;
  // The sandboxes (by pid namespace) whose launches past the few followed were told, kept while they claim more.
  std::set<std::pair<std::uint64_t, std::uint64_t>> crowdedSandboxesTold;
  std::unordered_map<std::string, PrefixWatch> prefixWatches;
  bool watcherMissingTold = false;  // this build has no watcher: told at the first game that needed it
  std::uint64_t passCount = 0;
};

}  // namespace cs

#endif  // CS_APP_PROTON_MONITOR_H
