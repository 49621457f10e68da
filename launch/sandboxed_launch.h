// The companion of a game that runs in a sandbox of its own (Flatpak Steam, a container inside Steam's Snap): it
// is started inside, through the join helper, or, where the user cannot enter the sandbox, not at all, and the
// player is told why.
#ifndef CS_LAUNCH_SANDBOXED_LAUNCH_H
#define CS_LAUNCH_SANDBOXED_LAUNCH_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/logger.h"
#include "launch/launch_failure.h"
#include "proc/process_handle.h"
#include "proc/process_snapshot.h"

namespace cs {

// Returns the game's environment less the variables Wine gives each of its processes, WINESERVERSOCKET (one of
// that process's descriptors) and WINEPRELOADRESERVE: a wine that inherits them fails with "Bad server socket".
Environment companionEnvironmentFromGame(const Environment& gameEnv);

// Returns the Steam roots as the game sees them: ~/.steam/debian-installation and ~/.local/share/Steam under its
// own HOME, then $XDG_DATA_HOME/Steam, where older Flatpak installs keep Steam. Empty without an absolute HOME.
std::vector<std::filesystem::path> steamRootsOfGame(const Environment& gameEnv);

// Starts the companion inside the sandbox of the game's process (the window's, held since its pid was read): judges
// whether the user can enter it, finds the launch context among the game's own files and processes, and starts it
// through the join helper beside the launcher. Returns true and sets childPid (the helper's pid) when it started;
// otherwise the one line logged is in failure, with its kind.
bool startInsideSandbox(const std::string& appId, const ProcessHandle& game, const ProcessSnapshot& snapshot,
                        Logger& logger, std::int32_t& childPid, LaunchFailure& failure);

}  // namespace cs

#endif  // CS_LAUNCH_SANDBOXED_LAUNCH_H
