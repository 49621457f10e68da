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

FileDescriptor openOwnNamespace(const char* kind) {
  return FileDescriptor(open((std::string("/proc/self/ns/") + kind).c_str(), O_RDONLY | O_CLOEXEC));
}

std::optional<NamespaceId> idOfStat(const std::optional<struct stat>& info) {
  if (!info) return std::nullopt;
  return NamespaceId{info->st_dev, info->st_ino};
}

std::optional<NamespaceId> ownId(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return std::nullopt;
  return NamespaceId{info.st_dev, info.st_ino};
}

// Whether the process's file (below /proc/<pid>) and ours are one file, by device and inode; no value when either
// cannot be looked at.
std::optional<bool> sameAsOurs(const ProcessHandle& process, const char* theirs, const char* ours) {
  const std::optional<NamespaceId> a = idOfStat(process.statAt(theirs));
  const std::optional<NamespaceId> b = ownId(ours);
  if (!a || !b) return std::nullopt;
  return *a == *b;
}

// A namespace judged a while ago that no pass has asked for in this many passes (about a minute) is let go.
constexpr std::uint64_t kKeptPasses = 60;
// More namespaces than this at once is no desktop's; past it the longest unasked judgement is let go first.
constexpr std::size_t kMaxJudgements = 64;

std::optional<NamespaceKey> keyOf(const FileDescriptor& mount, const FileDescriptor& pid) {
  const std::optional<NamespaceId> m = idOf(mount.get());
  const std::optional<NamespaceId> p = idOf(pid.get());
  if (!m || !p) return std::nullopt;
  return NamespaceKey{m->dev, m->ino, p->dev, p->ino};
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

std::optional<NamespaceKey> namespacesOf(const ProcessHandle& process) {
  const std::optional<NamespaceId> mount = idOfStat(process.statAt("ns/mnt"));
  const std::optional<NamespaceId> pid = idOfStat(process.statAt("ns/pid"));
  if (!mount || !pid) return std::nullopt;
  return NamespaceKey{mount->dev, mount->ino, pid->dev, pid->ino};
}

// Accepts the text of /proc/<pid>/mountinfo, one mount a line, whose third to fifth fields are the device, the
// mount's root inside its file system and its mount point, with blanks and backslashes written as octal escapes:
//     36 25 0:32 / /tmp rw,nosuid,nodev shared:15 - tmpfs tmpfs rw
//     412 380 8:1 /tmp /tmp rw,relatime - ext4 /dev/sda1 rw
std::optional<MountedPlace> placeInMountTable(std::string_view mountinfo, std::string_view path) {
  const auto unescape = [](std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto octal = [&](std::size_t j) { return j < text.size() && text[j] >= '0' && text[j] <= '7'; };
      if (text[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0')));
        i += 3;
      } else {
        out.push_back(text[i]);
      }
    }
    return out;
  };
  std::optional<MountedPlace> place;
  std::size_t longest = 0;
  for (std::size_t start = 0; start < mountinfo.size();) {
    std::size_t end = mountinfo.find('\n', start);
    if (end == std::string_view::npos) end = mountinfo.size();
    const std::string_view line = mountinfo.substr(start, end - start);
    start = end + 1;
    std::string_view fields[5];
    std::size_t at = 0;
    int count = 0;
    for (; count < 5 && at < line.size(); ++count) {
      const std::size_t blank = line.find(' ', at);
      fields[count] = line.substr(at, blank == std::string_view::npos ? std::string_view::npos : blank - at);
      at = blank == std::string_view::npos ? line.size() : blank + 1;
    }
    if (count < 5) continue;
    const std::string mountPoint = unescape(fields[4]);
    const bool holds = mountPoint == "/" || path == mountPoint ||
                       (path.starts_with(mountPoint) && path[mountPoint.size()] == '/');
    if (!holds || mountPoint.size() < longest) continue;
    longest = mountPoint.size();
    const std::string rest(mountPoint == "/" ? path : path.substr(mountPoint.size()));
    std::string root = unescape(fields[3]);
    if (root == "/" && !rest.empty()) root.clear();
    place = MountedPlace{std::string(fields[2]), root + rest};
  }
  return place;
}

std::optional<bool> sharesLauncherTmp(const ProcessHandle& process) {
  // A sandbox (Flatpak, Snap) mounts a /tmp of its own, while the Steam Linux Runtime's container binds ours: the
  // mount namespace alone says nothing, the mount that holds /tmp does. Its mount table is read, never its /tmp,
  // which the sandbox could make a file system that never answers.
  const std::optional<MountedPlace> theirs = placeInMountTable(process.read("mountinfo"), "/tmp");
  const std::optional<MountedPlace> ours = placeInMountTable(readFile("/proc/self/mountinfo"), "/tmp");
  if (!theirs || !ours) return std::nullopt;
  return *theirs == *ours;
}

GamePlace judgeGamePlace(const ProcessHandle& process) {
  const std::optional<bool> tmp = sharesLauncherTmp(process);
  const std::optional<bool> pids = sameAsOurs(process, "ns/pid", "/proc/self/ns/pid");
  if ((tmp.has_value() && !*tmp) || (pids.has_value() && !*pids)) return GamePlace::Sandboxed;
  if (tmp.has_value() && pids.has_value()) return GamePlace::Host;
  if (nsPidCount(process.read("status")) > 1 || inSandboxScope(process.read("cgroup"))) {
    return GamePlace::Sandboxed;
  }
  return GamePlace::Uncompared;
}

GamePlace PlaceJudge::placeOf(const ProcessHandle& process) {
  if (const std::optional<NamespaceKey> key = namespacesOf(process)) {
    if (const auto known = judgements.find(*key); known != judgements.end()) {
      known->second.lastPass = pass;
      return known->second.place;
    }
  }
  Judgement judgement;
  judgement.mount = process.openAt("ns/mnt", O_RDONLY);
  judgement.pid = process.openAt("ns/pid", O_RDONLY);
  const std::optional<NamespaceKey> key = keyOf(judgement.mount, judgement.pid);
  judgement.place = judgeGamePlace(process);
  judgement.lastPass = pass;
  // A process may move to a namespace of its own while it is judged: the judgement is then of the new one, and
  // kept for neither. One that could not be made is asked again next time.
  if (!key || judgement.place == GamePlace::Uncompared || namespacesOf(process) != key) return judgement.place;
  if (judgements.size() >= kMaxJudgements) {
    judgements.erase(std::min_element(judgements.begin(), judgements.end(), [](const auto& a, const auto& b) {
      return a.second.lastPass < b.second.lastPass;
    }));
  }
  const GamePlace place = judgement.place;
  judgements.emplace(*key, std::move(judgement));
  return place;
}

void PlaceJudge::endPass() {
  ++pass;
  std::erase_if(judgements, [&](const auto& entry) { return pass - entry.second.lastPass > kKeptPasses; });
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

// Accepts the text of /proc/<pid>/cgroup as inSandboxScope does; a Snap's scope is the path element
//     snap.<name>.<app>-<id>.scope
// whose name is 1 to 40 lower-case letters, digits and hyphens, as snapd allows. The first such element wins.
std::optional<std::string> snapNameFromCgroup(std::string_view cgroupText) {
  constexpr std::string_view kMark = "/snap.";
  constexpr std::size_t kMaxNameLength = 40;
  for (std::size_t at = cgroupText.find(kMark); at != std::string_view::npos; at = cgroupText.find(kMark, at + 1)) {
    const std::size_t start = at + kMark.size();
    std::size_t end = start;
    while (end < cgroupText.size() && end - start <= kMaxNameLength &&
           ((cgroupText[end] >= 'a' && cgroupText[end] <= 'z') || (cgroupText[end] >= '0' && cgroupText[end] <= '9') ||
            cgroupText[end] == '-')) {
      ++end;
    }
    if (end > start && end - start <= kMaxNameLength && end < cgroupText.size() && cgroupText[end] == '.') {
      return std::string(cgroupText.substr(start, end - start));
    }
  }
  return std::nullopt;
}

JoinVerdict planJoin(const ProcessHandle& game) {
  FileDescriptor theirUser = game.openAt("ns/user", O_RDONLY);
  FileDescriptor theirPid = game.openAt("ns/pid", O_RDONLY);
  FileDescriptor theirMount = game.openAt("ns/mnt", O_RDONLY);
  if (theirUser.get() < 0 || theirPid.get() < 0 || theirMount.get() < 0) {
    return refused(JoinObstacle::Unreadable, errno);
  }
  const std::optional<NamespaceId> ourUser = idOf(openOwnNamespace("user").get());
  const bool pidDiffers = idOf(theirPid.get()) != idOf(openOwnNamespace("pid").get());
  const bool mountDiffers = idOf(theirMount.get()) != idOf(openOwnNamespace("mnt").get());
  // Whatever else is entered, a wine started in our mounts runs the host's files under paths that a sandbox named.
  if (!mountDiffers) return refused(JoinObstacle::SharedMounts);
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
  if ((pidDiffers && !enterable(theirPid)) || !enterable(theirMount)) {
    return refused(JoinObstacle::NotTheUsers);
  }

  JoinPlan plan;
  if (pidDiffers) plan.pid = std::move(theirPid);
  plan.mount = std::move(theirMount);
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
