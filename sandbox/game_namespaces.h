// Where a game's process lives, seen from the launcher: whether it shares the launcher's /tmp, where Wine keeps
// the socket of the game's wineserver and X keeps its display sockets, and its pids; and, for a game in a sandbox,
// whether and how the user's companion can be started inside it.
#ifndef CS_SANDBOX_GAME_NAMESPACES_H
#define CS_SANDBOX_GAME_NAMESPACES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/runtime_dir.h"

namespace cs {

enum class GamePlace : std::int32_t {
  Host,        // our /tmp and our pids: native Steam, also inside the Steam Linux Runtime's container
  Uncompared,  // its /tmp could not be compared and nothing anyone may read says sandbox: served as Host
  Sandboxed,   // a /tmp or pids of its own (Flatpak, Snap): the companion must start inside
};

// The game's namespaces the companion enters, opened before anything is entered, in the order they are entered;
// a descriptor is -1 for a namespace the launcher already shares.
struct JoinPlan {
  FileDescriptor outerUser;  // the outermost user namespace between ours and the game's
  FileDescriptor pid;
  FileDescriptor mount;
  FileDescriptor innerUser;  // the game's own user namespace, when it is not the outer one
};

// Why a sandboxed game cannot be entered.
enum class JoinObstacle : std::int32_t {
  None,
  Unreadable,   // its namespace files cannot be opened
  NotTheUsers,  // a namespace to enter belongs to root (a Snap's confinement) or to another user
};

struct JoinVerdict {
  std::optional<JoinPlan> plan;  // set exactly when obstacle is None
  JoinObstacle obstacle = JoinObstacle::None;
  int error = 0;  // the errno of an Unreadable namespace
};

// Returns whether the process sees the launcher's own /tmp: the device and inode of /proc/<pid>/root/tmp against
// those of our /tmp. No value when the process's root cannot be read (it ended, or a setuid sandbox hides it).
std::optional<bool> sharesLauncherTmp(std::int32_t pid);

// Judges the process by its /tmp and pid namespace; when either cannot be read, by what anyone may read: more
// than one pid on its NSpid line, or a Flatpak or Snap scope among its control groups, means Sandboxed.
GamePlace judgeGamePlace(std::int32_t pid);

// Returns the number of pids on the "NSpid:" line of a /proc/<pid>/status text; 0 without one.
int nsPidCount(std::string_view statusText);

// Returns whether a /proc/<pid>/cgroup text holds a path element of a Flatpak app ("app-flatpak-...") or a Snap
// ("snap....").
bool inSandboxScope(std::string_view cgroupText);

// Opens the game's namespaces that differ from ours and decides whether this process, as what it is, may enter
// them: each user namespace on the way must be one the user made, below ours, unless we hold CAP_SYS_ADMIN.
JoinVerdict planJoin(std::int32_t pid);

// Returns whether unprivileged user namespaces are switched off (Debian's kernel.unprivileged_userns_clone, or
// user.max_user_namespaces at 0): sandboxes are then made with root's rights, which the user cannot enter.
bool userNamespacesSwitchedOff();

}  // namespace cs

#endif  // CS_SANDBOX_GAME_NAMESPACES_H
