// What the monitor remembers of one game, and the pure rules it applies to it.
#ifndef CS_APP_SESSION_STATE_H
#define CS_APP_SESSION_STATE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "steam/wine_display_driver.h"
#include "x11/window_scanner.h"

namespace cs {

enum class SessionPhase : std::int32_t {
  Waiting = 0,   // no launch attempted yet
  Launched = 1,  // a launch was attempted, whether or not the companion started
};

struct SessionState {
  SessionPhase phase = SessionPhase::Waiting;
  std::int32_t childPid = -1;  // the companion's wine process; kept after it has exited
  bool childGone = false;
  std::int32_t missingEvidencePolls = 0;
  std::int32_t missingWindowPolls = 0;
  bool protonConfirmed = false;
  bool noContextReported = false;
  bool passedOverReported = false;  // the processes outside the game's namespaces were named in the log
  std::int32_t inheritedEnvPid = -1;
  std::int32_t launchedWindowPid = -1;
  std::uint64_t launchedWindowXid = 0;  // 0: no launch made
  std::string gameDisplay;              // the other display the game's windows were announced on; empty for ours
  std::unordered_map<std::string, std::string> inheritedEnv;
  bool launchedInSandbox = false;  // the session follows a launch inside a sandbox, not Steam's on the host
  // The display driver the game's Wine took, as a Windows process of the game maps it; Unknown until one does.
  WineDisplayDriver driver = WineDisplayDriver::Unknown;
  std::int32_t driverPid = -1;  // the process seen to map it, and its start time: the game's, for its watcher
  std::uint64_t driverStartTime = 0;
  std::size_t driverProbeTurn = 0;  // where the next pass goes on looking at the game's processes
  bool waylandTold = false;         // the log said that the game uses Wine's Wayland driver
};

// What a new launch of the same game keeps of its session: its place, and what was found of its Wine.
SessionState relaunchedSession(const SessionState& state);

// Returns true exactly when the phase is Waiting and both Proton processes and a ready window were seen.
bool shouldLaunchCursello(SessionPhase phase, bool protonSeen, bool readyWindowFound);

// Returns the count of consecutive passes in which a launched game whose companion has ended showed no window,
// after this pass. windowSeen: whether the game showed one; no value when the windows of the game's display are
// unknown (the display is late with its answers or cannot be reached), which leaves the count as it was.
std::int32_t countMissingWindowPolls(const SessionState& state, std::optional<bool> windowSeen);

// Returns whether a launch was made and the window differs from it in xid or pid.
bool isDifferentLaunchedWindow(const SessionState& state, const WindowInfo& window);

// Returns `xid=<xid> pid=<pid> title="<title>"`, the title as logText writes it; for a window told of from inside a
// Wine prefix, `hwnd=0x<hwnd> winpid=<Windows pid> title="<title>"`.
std::string windowLogText(const WindowInfo& window);

}  // namespace cs

#endif  // CS_APP_SESSION_STATE_H
