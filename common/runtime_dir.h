// The launcher's private runtime directory, which holds its icon, and the lock that keeps one launcher per user.
// Nothing here logs or throws: a place that cannot be had gives a result that is not ok().
#ifndef CS_COMMON_RUNTIME_DIR_H
#define CS_COMMON_RUNTIME_DIR_H

#include <sys/types.h>

#include <filesystem>

namespace cs {

// A descriptor that is closed when its owner goes out of scope; -1 for none.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd; }

 private:
  int fd = -1;
};

// A directory of the real user that nobody else may write to, opened without following a soft link, with the
// path it was opened by. Files are written through the descriptor, so the directory checked is the one written to.
struct PrivateDir {
  std::filesystem::path path;
  FileDescriptor fd;

  bool ok() const { return fd.get() >= 0; }
};

// Returns the fixed per-user directory under /tmp: "CurselloLinuxLauncher-" followed by the real user id, or by
// nameUid: inside a game's sandbox the launcher's user may read as another id, or as the overflow id when unmapped.
std::filesystem::path tmpRuntimeDirPath();
std::filesystem::path tmpRuntimeDirPath(uid_t nameUid);

// Returns $XDG_RUNTIME_DIR opened when it is an absolute path to a private directory of the real user, else a
// result that is not ok().
PrivateDir openXdgRuntimeDir();

// Returns the directory for the icon: tmpRuntimeDirPath() (created when missing) when it is a directory of the
// real user, made private first when the group or others may write to it; otherwise
// $XDG_RUNTIME_DIR/CurselloLinuxLauncher when openXdgRuntimeDir() is ok, else a private directory under /tmp
// whose name starts with the fixed one and a dot: one that an earlier start made, else a fresh one made by
// mkdtemp. Not ok() when none of them can be had. The names under /tmp end in nameUid when it is given.
PrivateDir openIconDir();
PrivateDir openIconDir(uid_t nameUid);

// What became of the attempt to be the user's only launcher.
enum class InstanceLock {
  kHeld,         // this process holds the lock until it ends
  kHeldByOther,  // another process holds it
  kNoGuard,      // no private place for the lock: run unguarded
};

// Takes the advisory lock that keeps one launcher per user and machine, whatever the environment says:
// "CurselloLinuxLauncher.lock" in /run/user/<uid> when that is a private directory of the real user, else
// "CurselloLinuxLauncher-<host name>.lock" in the user's cache directory, $HOME/.cache (HOME, else the home the
// user database names), when that is a private directory of the real user. A lock file that is not a regular file
// of the real user guards nothing. On kHeld the descriptor lands in `holder`; it is close-on-exec, so companions
// started later do not keep the lock after the launcher ends, and the kernel drops it when the process dies
// however it ends.
InstanceLock lockInstance(FileDescriptor& holder);

}  // namespace cs

#endif  // CS_COMMON_RUNTIME_DIR_H
