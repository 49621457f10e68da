// Why the companion could not be started for a game, for whoever tells the user: the log says it too.
#ifndef CS_LAUNCH_LAUNCH_FAILURE_H
#define CS_LAUNCH_LAUNCH_FAILURE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace cs {

enum class LaunchFailureKind : std::int32_t {
  NoDisplay,          // no X11 display: no game window can be seen, so nothing is ever started
  NoContext,          // no Proton build, or no compatdata folder of the game in any Steam library
  CurselloMissing,    // no Cursello.exe beside the launcher nor in the user's data directory
  CompatDataMissing,  // the compatdata folder went away
  PrefixMissing,      // the compatdata folder holds no Wine prefix
  WineMissing,        // the Proton build has no wine loader
  SpawnFailed,        // the wine loader could not be started
  SnapUnreachable,    // the game runs in Steam's Snap, whose confinement the user cannot enter
  SandboxClosed,      // the game's sandbox belongs to root or another user, or its namespaces cannot be opened
  SandboxJoinFailed,  // a step of entering the game's sandbox, or of starting the companion there, failed
};

struct LaunchFailure {
  LaunchFailureKind kind = LaunchFailureKind::NoContext;
  std::string appId;                  // empty for NoDisplay
  std::string windowTitle;            // the title of the game's ready window; empty for NoDisplay
  std::string message;                // the log line's message, exactly as logged
  std::vector<std::filesystem::path> curselloDirs;  // where Cursello.exe may go; set for CurselloMissing
};

// Told of every failure once, on the thread that polls; must return at once.
using LaunchFailureReporter = std::function<void(const LaunchFailure&)>;

}  // namespace cs

#endif  // CS_LAUNCH_LAUNCH_FAILURE_H
