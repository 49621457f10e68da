#include "sandbox/game_namespaces.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "common/paths.h"

namespace cs {

namespace {

// Deeper nesting than this is no sandbox anyone makes; the walk stops rather than trust it.
constexpr int kMaxUserNamespaceDepth = 32;

// A namespace is known by the device and inode of its file, never by the text of the link.
struct NamespaceId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const NamespaceId&) const = default;
};

std::optional<NamespaceId> idOf(int fd) {
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) return std::nullopt;
  return NamespaceId{info.st_dev, info.st_ino};
}

std::string namespacePath(const std::string& process, const char* kind) { return "/proc/" + process + "/ns/" + kind; }

FileDescriptor openNamespace(const std::string& process, const char* kind) {
  return FileDescriptor(open(namespacePath(process, kind).c_str(), O_RDONLY | O_CLOEXEC));
}

// Whether the two paths name one file, by device and inode; no value when either cannot be looked at.
std::optional<bool> sameFile(const std::string& theirs, const std::string& ours) {
  struct stat a {};
  struct stat b {};
  if (stat(theirs.c_str(), &a) != 0 || stat(ours.c_str(), &b) != 0) return std::nullopt;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<bool> sharesNamespace(std::int32_t pid, const char* kind) {
  return sameFile(namespacePath(std::to_string(pid), kind), namespacePath("self", kind));
}

// Root, or a launcher given the capability, may enter any namespace.
bool holdsSysAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

bool isZeroSetting(const char* path) {
  const std::string text = readFile(path);
  return text == "0" || text == "0\n";
}

JoinVerdict refused(JoinObstacle obstacle, int error = 0) {
  JoinVerdict verdict;
  verdict.obstacle = obstacle;
  verdict.error = error;
  return verdict;
}

}  // namespace

std::optional<bool> sharesLauncherTmp(std::int32_t pid) {
  // A sandbox (Flatpak, Snap) mounts a /tmp of its own, while the Steam Linux Runtime's container binds ours: the
  // mount namespace alone says nothing, the directory itself does.
  return sameFile("/proc/" + std::to_string(pid) + "/root/tmp", "/tmp");
}

GamePlace judgeGamePlace(std::int32_t pid) {
  const std::optional<bool> tmp = sharesLauncherTmp(pid);
  const std::optional<bool> pids = sharesNamespace(pid, "pid");
  if ((tmp.has_value() && !*tmp) || (pids.has_value() && !*pids)) return GamePlace::Sandboxed;
  if (tmp.has_value() && pids.has_value()) return GamePlace::Host;
  const std::string dir = "/proc/" + std::to_string(pid);
  if (nsPidCount(readFile(dir + "/status")) > 1 || inSandboxScope(readFile(dir + "/cgroup"))) {
    return GamePlace::Sandboxed;
  }
  return GamePlace::Uncompared;
}

// Accepts the text of /proc/<pid>/status, whose NSpid line lists the process's pid in each pid namespace from the
// reader's down to its own, separated by tabs:
//     Name:\tgame.exe\n ... NSpid:\t48213\t7\n ...
int nsPidCount(std::string_view statusText) {
  constexpr std::string_view kKey = "NSpid:";
  std::size_t at = statusText.starts_with(kKey) ? 0 : statusText.find("\nNSpid:");
  if (at == std::string_view::npos) return 0;
  at += statusText[at] == '\n' ? kKey.size() + 1 : kKey.size();
  const std::string_view line = statusText.substr(at, statusText.find('\n', at) - at);
  int count = 0;
  bool inWord = false;
  for (const char c : line) {
    const bool space = c == ' ' || c == '\t';
    if (!space && !inWord) ++count;
    inWord = !space;
  }
  return count;
}

// Accepts the text of /proc/<pid>/cgroup, one "id:controllers:path" line per hierarchy, for example
//     0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-flatpak-com.valvesoftware.Steam-4242.scope
//     0::/user.slice/user-1000.slice/user@1000.service/app.slice/snap.steam.steam-0b1c.scope
// A path element is what follows a "/".
bool inSandboxScope(std::string_view cgroupText) {
  return cgroupText.find("/app-flatpak-") != std::string_view::npos ||
         cgroupText.find("/snap.") != std::string_view::npos;
}

JoinVerdict planJoin(std::int32_t pid) {
  const std::string process = std::to_string(pid);
  FileDescriptor theirUser = openNamespace(process, "user");
  FileDescriptor theirPid = openNamespace(process, "pid");
  FileDescriptor theirMount = openNamespace(process, "mnt");
  if (theirUser.get() < 0 || theirPid.get() < 0 || theirMount.get() < 0) {
    return refused(JoinObstacle::Unreadable, errno);
  }
  const std::optional<NamespaceId> ourUser = idOf(openNamespace("self", "user").get());
  const bool pidDiffers = idOf(theirPid.get()) != idOf(openNamespace("self", "pid").get());
  const bool mountDiffers = idOf(theirMount.get()) != idOf(openNamespace("self", "mnt").get());
  const bool privileged = holdsSysAdmin();

  // The user namespaces from the game's own up to the one just below ours. Entering the outermost first gives
  // every capability in all of them, since the user owns it; entering the game's own first would leave none in
  // the outer one that owns its pid and mount namespaces, as Flatpak nests them.
  std::vector<FileDescriptor> chain;
  if (idOf(theirUser.get()) != ourUser) {
    chain.push_back(std::move(theirUser));
    for (;;) {
      FileDescriptor parent(ioctl(chain.back().get(), NS_GET_PARENT));
      // EPERM: the parent lies outside our own user namespace, so the game's is not below ours.
      if (parent.get() < 0) return refused(JoinObstacle::NotTheUsers);
      if (idOf(parent.get()) == ourUser) break;
      if (chain.size() >= kMaxUserNamespaceDepth) return refused(JoinObstacle::NotTheUsers);
      chain.push_back(std::move(parent));
    }
    uid_t owner = 0;
    if (ioctl(chain.back().get(), NS_GET_OWNER_UID, &owner) != 0) return refused(JoinObstacle::NotTheUsers);
    if (owner != geteuid() && !privileged) return refused(JoinObstacle::NotTheUsers);
  }

  // A pid or mount namespace can be entered only with CAP_SYS_ADMIN in the user namespace it belongs to: one on
  // the chain, or ours for root. A Snap's confinement belongs to root's.
  const auto enterable = [&](const FileDescriptor& ns) {
    const FileDescriptor owner(ioctl(ns.get(), NS_GET_USERNS));
    const std::optional<NamespaceId> id = idOf(owner.get());
    if (!id) return false;
    if (*id == ourUser) return privileged;
    return std::any_of(chain.begin(), chain.end(), [&](const FileDescriptor& user) { return idOf(user.get()) == id; });
  };
  if ((pidDiffers && !enterable(theirPid)) || (mountDiffers && !enterable(theirMount))) {
    return refused(JoinObstacle::NotTheUsers);
  }

  JoinPlan plan;
  if (pidDiffers) plan.pid = std::move(theirPid);
  if (mountDiffers) plan.mount = std::move(theirMount);
  if (chain.size() > 1) plan.innerUser = std::move(chain.front());
  if (!chain.empty()) plan.outerUser = std::move(chain.back());
  JoinVerdict verdict;
  verdict.plan = std::move(plan);
  return verdict;
}

bool userNamespacesSwitchedOff() {
  return isZeroSetting("/proc/sys/kernel/unprivileged_userns_clone") ||
         isZeroSetting("/proc/sys/user/max_user_namespaces");
}

}  // namespace cs
