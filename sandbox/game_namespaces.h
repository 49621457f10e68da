// Where a game's process lives, seen from the launcher: whether it shares the launcher's /tmp, where Wine keeps
// the socket of the game's wineserver and X keeps its display sockets.
#ifndef CS_SANDBOX_GAME_NAMESPACES_H
#define CS_SANDBOX_GAME_NAMESPACES_H

#include <cstdint>
#include <optional>

namespace cs {

// Returns whether the process sees the launcher's own /tmp: the device and inode of /proc/<pid>/root/tmp against
// those of our /tmp. No value when the process's root cannot be read (it ended, or a setuid sandbox hides it).
std::optional<bool> sharesLauncherTmp(std::int32_t pid);

}  // namespace cs

#endif  // CS_SANDBOX_GAME_NAMESPACES_H
