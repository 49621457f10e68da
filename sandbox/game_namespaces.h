// Where a game's process lives, seen from the launcher: whether it shares the launcher's /tmp, where Wine keeps
// the socket of the game's wineserver and X keeps its display sockets, and its pids; and, for a game in a sandbox,
// whether and how the user's companion can be started inside it.
#ifndef CS_SANDBOX_GAME_NAMESPACES_H
#define CS_SANDBOX_GAME_NAMESPACES_H

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/runtime_dir.h"
#include "proc/process_handle.h"

namespace cs {

enum class GamePlace : std::int32_t {
  Host,        // our /tmp and our pids: native Steam, also inside the Steam Linux Runtime's container
  Uncompared,  // its /tmp or pids could not be compared and nothing anyone may read says sandbox: not served
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
  Unreadable,    // its namespace files cannot be opened
  NotTheUsers,   // a namespace to enter belongs to root (a Snap's confinement) or to another user
  SharedMounts,  // pids of its own but the launcher's mounts: a wine started there would be the host's files
};

struct JoinVerdict {
  std::optional<JoinPlan> plan;  // set exactly when obstacle is None
  JoinObstacle obstacle = JoinObstacle::None;
  int error = 0;  // the errno of an Unreadable namespace
};

// The mount and pid namespaces of a process, by the device and inode of their files.
struct NamespaceKey {
  dev_t mountDev = 0;
  ino_t mountIno = 0;
  dev_t pidDev = 0;
  ino_t pidIno = 0;
  auto operator<=>(const NamespaceKey&) const = default;
};

// Returns the process's namespaces; no value when they cannot be read (it ended, or it is not ours to look at).
std::optional<NamespaceKey> namespacesOf(const ProcessHandle& process);

// Where a path lies, by a mount table: the device of the mount that holds it and the path inside that file system.
struct MountedPlace {
  std::string device;  // "major:minor"
  std::string path;
  bool operator==(const MountedPlace&) const = default;
};

// Returns where the absolute path lies by the text of a /proc/<pid>/mountinfo: the last mount whose mount point is
// the longest that holds the path; no value when no line is a mount that holds it.
std::optional<MountedPlace> placeInMountTable(std::string_view mountinfo, std::string_view path);

// Returns whether the process sees the launcher's own /tmp: where /tmp lies by its mount table against where ours
// does. The table is the kernel's own text, so nothing the process mounted (a FUSE file system that never answers)
// is asked anything. No value when the table cannot be read (the process ended, or a setuid sandbox hides it).
std::optional<bool> sharesLauncherTmp(const ProcessHandle& process);

// Judges the process by its /tmp and pid namespace; when either cannot be read, by what anyone may read: more
// than one pid on its NSpid line, or a Flatpak or Snap scope among its control groups, means Sandboxed.
GamePlace judgeGamePlace(const ProcessHandle& process);

// judgeGamePlace, made once per pair of mount and pid namespaces: looking at a process's /tmp walks into its
// mounts, where a FUSE file system of a sandbox's may never answer, so it is done at the first sight of a
// namespace and not at every pass. A judgement holds its namespaces open, so that their numbers cannot pass to new
// namespaces while it is kept; one that no pass asked for lately is let go.
class PlaceJudge {
 public:
  PlaceJudge() = default;
  PlaceJudge(const PlaceJudge&) = delete;
  PlaceJudge& operator=(const PlaceJudge&) = delete;

  // Returns where the process lives; Uncompared, never kept, when it cannot be judged.
  GamePlace placeOf(const ProcessHandle& process);
  GamePlace placeOf(std::int32_t pid) { return placeOf(ProcessHandle::open(pid)); }
  // Ends a pass: the judgements no call has asked for in the last minute of passes are dropped.
  void endPass();

 private:
  struct Judgement {
    FileDescriptor mount;
    FileDescriptor pid;
    GamePlace place = GamePlace::Uncompared;
    std::uint64_t lastPass = 0;
  };
  std::map<NamespaceKey, Judgement> judgements;
  std::uint64_t pass = 0;
};

// Returns the number of pids on the "NSpid:" line of a /proc/<pid>/status text; 0 without one.
int nsPidCount(std::string_view statusText);

// Returns whether a /proc/<pid>/cgroup text holds a path element of a Flatpak app ("app-flatpak-...") or a Snap
// ("snap....").
bool inSandboxScope(std::string_view cgroupText);

// Returns the name of the Snap whose scope is among the control groups of a /proc/<pid>/cgroup text (the "steam"
// of ".../snap.steam.steam-0b1c.scope"), or no value without one.
std::optional<std::string> snapNameFromCgroup(std::string_view cgroupText);

// Opens the namespaces of the game's process (a sandboxed one's) that differ from ours and decides whether this
// process, as what it is, may enter them: each user namespace on the way must be one the user made, below ours,
// unless we hold CAP_SYS_ADMIN, and the game's mount namespace must be one of them.
JoinVerdict planJoin(const ProcessHandle& game);

// Returns whether unprivileged user namespaces are switched off (Debian's kernel.unprivileged_userns_clone, or
// user.max_user_namespaces at 0): sandboxes are then made with root's rights, which the user cannot enter.
bool userNamespacesSwitchedOff();

}  // namespace cs

#endif  // CS_SANDBOX_GAME_NAMESPACES_H
