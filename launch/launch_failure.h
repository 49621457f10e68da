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
  SandboxClosed,      // the game's sandbox belongs to root or to another user
  SandboxUnreadable,  // the namespaces of the game's sandbox cannot be opened
  UserNamespacesOff,  // unprivileged user namespaces are switched off, so the sandbox was made with root's rights
  MountsShared,       // the game has pids of its own but the launcher's mounts: no sandbox to start a wine in
  PlaceUnknown,       // whether the game runs in a sandbox cannot be told, so nothing of its is trusted
  SandboxJoinFailed,  // a step of entering the game's sandbox, or of starting the companion there, failed
  LauncherIsRoot,     // the launcher runs as root, which starts nothing inside a game's sandbox
  SandboxCrowded,     // one sandbox claims more games at once than a player runs: the rest are passed over
  WatcherMissing,     // this build has no window watcher, so games on Wine's Wayland driver cannot be served
};

struct LaunchFailure {
  LaunchFailureKind kind = LaunchFailureKind::NoContext;
  std::string appId;                  // empty for NoDisplay; the AppIDs passed over for SandboxCrowded
  std::string windowTitle;            // the title of the game's ready window; empty for NoDisplay
  std::string message;                // the log line's message, exactly as logged
  std::vector<std::filesystem::path> curselloDirs;  // where Cursello.exe may go; set for CurselloMissing
};

// Told of every failure once, on the thread that polls; must return at once.
using LaunchFailureReporter = std::function<void(const LaunchFailure&)>;

}  // namespace cs

#endif  // CS_LAUNCH_LAUNCH_FAILURE_H
