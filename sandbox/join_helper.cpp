// The launcher's helper for a game in a sandbox of its own (Flatpak Steam, a container inside Steam's Snap): it
// enters the game's namespaces, puts Cursello.exe into the game's /tmp and starts the companion there, then waits
// for it and ends as it ended, so that the launcher, whose child this is, sees the companion end.
//
//   CurselloSandboxJoin --status-fd N [--user-ns N] [--pid-ns N] [--mount-ns N] [--inner-user-ns N]
//                       --exe-fd N --env-fd N --chdir DIR -- WINE EXE ARG...
//
// Every N is a descriptor inherited from the launcher, which opened them all before anything was entered, so that
// nothing is looked up in a world that has just changed. The namespaces are entered in the order above; the bytes
// of Cursello.exe are read from --exe-fd; EXE is replaced by the path of the copy. The companion's environment
// comes in --env-fd as NUL-terminated NAME=VALUE items: the helper itself starts with none, since the game's, which
// the sandbox controls, could name libraries for the dynamic loader to load into it while it is still outside. A
// step that fails writes one line, "<step>: <reason>", to the status descriptor and ends the helper with that
// step's status (ExitStatus); the status descriptor closes silently once the wine loader runs.
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/runtime_dir.h"

extern char** environ;

namespace cs {
namespace {

// The helper's own failures, clear of the small statuses that wine and Windows programs end with.
enum ExitStatus : int {
  kUsage = 110,
  kUserNamespace = 111,
  kPidNamespace = 112,
  kMountNamespace = 113,
  kInnerUserNamespace = 114,
  kFork = 115,
  kPrivateDir = 116,
  kCopy = 117,
  kCapabilities = 118,
  kExec = 119,
  kEnvironment = 120,
};

struct Options {
  int statusFd = -1;
  int userNamespace = -1;
  int pidNamespace = -1;
  int mountNamespace = -1;
  int innerUserNamespace = -1;
  int exeFd = -1;
  int envFd = -1;
  std::string workingDir = "/";
  std::vector<std::string> command;  // WINE EXE ARG...
};

int statusFd = -1;

[[noreturn]] void fail(ExitStatus status, const std::string& step, int error) {
  const std::string line = step + (error != 0 ? std::string(": ") + std::strerror(error) : "") + "\n";
  if (statusFd >= 0 && write(statusFd, line.data(), line.size()) < 0) {
    // The launcher stopped listening; the status still tells.
  }
  _exit(status);
}

bool parseDescriptor(std::string_view text, int& fd) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
  return error == std::errc() && end == text.data() + text.size() && fd >= 0;
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && std::string_view(argv[i]) != "--"; i += 2) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    if (name == "--chdir") {
      options.workingDir = argv[i + 1];
      continue;
    }
    int* fd = name == "--status-fd"       ? &options.statusFd
              : name == "--user-ns"       ? &options.userNamespace
              : name == "--pid-ns"        ? &options.pidNamespace
              : name == "--mount-ns"      ? &options.mountNamespace
              : name == "--inner-user-ns" ? &options.innerUserNamespace
              : name == "--exe-fd"        ? &options.exeFd
              : name == "--env-fd"        ? &options.envFd
                                          : nullptr;
    if (fd == nullptr || !parseDescriptor(argv[i + 1], *fd)) return std::nullopt;
  }
  for (++i; i < argc; ++i) options.command.emplace_back(argv[i]);
  if (options.statusFd < 0 || options.exeFd < 0 || options.envFd < 0 || options.command.size() < 2) {
    return std::nullopt;
  }
  return options;
}

void enter(int fd, int type, ExitStatus status, const char* step) {
  if (fd < 0) return;
  if (setns(fd, type) != 0) fail(status, step, errno);
  close(fd);
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Returns the NUL-terminated items of the file, or no value when it cannot be read.
std::optional<std::vector<std::string>> readItems(int fd) {
  std::string bytes;
  std::array<char, 65536> buffer{};
  for (;;) {
    const ssize_t count = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(bytes.size()));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(count));
  }
  std::vector<std::string> items;
  for (std::size_t start = 0, end; start < bytes.size(); start = end + 1) {
    end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    if (end > start) items.push_back(bytes.substr(start, end - start));
  }
  return items;
}

// Copies the bytes to a temporary name in the directory and renames the copy into place: a running companion may
// have the old file mapped, and nobody sees a half-written one. Returns 0, or the errno of the failing step.
int copyInto(int from, const PrivateDir& dir) {
  const std::string temporary = ".Cursello.exe." + std::to_string(getpid());
  unlinkat(dir.fd.get(), temporary.c_str(), 0);  // left by a copy that was killed
  const int to = openat(dir.fd.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to < 0) return errno;
  std::array<char, 65536> buffer{};
  int error = 0;
  for (off_t offset = 0;;) {
    const ssize_t count = pread(from, buffer.data(), buffer.size(), offset);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count < 0) error = errno;
      break;
    }
    if (!writeAll(to, buffer.data(), static_cast<std::size_t>(count))) {
      error = errno;
      break;
    }
    offset += count;
  }
  if (close(to) != 0 && error == 0) error = errno;
  if (error == 0 && renameat(dir.fd.get(), temporary.c_str(), dir.fd.get(), "Cursello.exe") != 0) error = errno;
  if (error != 0) unlinkat(dir.fd.get(), temporary.c_str(), 0);
  return error;
}

// The user namespaces just entered gave every capability in the sandbox; the companion gets none, and
// no_new_privs keeps exec from giving any back, even to a user mapped to root in there.
void dropCapabilities() {
  // EINVAL past the last capability the kernel knows; EPERM without CAP_SETPCAP, when there is nothing to drop.
  for (int capability = 0; capability < 64; ++capability) prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
    fail(kCapabilities, "clearing the ambient capabilities", errno);
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> none{};
  if (syscall(SYS_capset, &header, none.data()) != 0) fail(kCapabilities, "dropping the capabilities", errno);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail(kCapabilities, "setting no_new_privs", errno);
}

[[noreturn]] void startCompanion(Options& options, std::vector<std::string>& environment) {
  // From here on this process can do no more in the sandbox than the sandbox itself.
  dropCapabilities();
  std::vector<char*> envp;
  for (std::string& item : environment) envp.push_back(item.data());
  envp.push_back(nullptr);
  // The game's own: its XDG_RUNTIME_DIR is the fallback below.
  environ = envp.data();
  // The same safe steps, and the same fallback, as the launcher's own directory, now in the game's /tmp and as
  // the game's user: a soft link planted there is refused, not followed.
  const PrivateDir dir = openIconDir();
  if (!dir.ok()) fail(kPrivateDir, "making a private directory in the game's /tmp", 0);
  if (const int error = copyInto(options.exeFd, dir); error != 0) {
    fail(kCopy, "copying Cursello.exe into " + dir.path.string(), error);
  }
  close(options.exeFd);
  if (dir.path != tmpRuntimeDirPath()) {
    std::printf("CurselloSandboxJoin: %s is taken in the game's sandbox; Cursello.exe is in %s\n",
                tmpRuntimeDirPath().c_str(), dir.path.c_str());
    std::fflush(stdout);
  }
  options.command[1] = (dir.path / "Cursello.exe").string();
  if (chdir(options.workingDir.c_str()) != 0 && chdir("/") != 0) fail(kExec, "changing to /", errno);

  std::vector<char*> argv;
  for (std::string& word : options.command) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Closed by the exec: the launcher's sign that the companion runs.
  fcntl(statusFd, F_SETFD, FD_CLOEXEC);
  execve(argv[0], argv.data(), envp.data());
  fail(kExec, "starting " + options.command[0], errno);
}

int run(int argc, char** argv) {
  std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    std::fputs(
        "usage: CurselloSandboxJoin --status-fd N [--user-ns N] [--pid-ns N] [--mount-ns N] "
        "[--inner-user-ns N] --exe-fd N --env-fd N --chdir DIR -- WINE EXE ARG...\n",
        stderr);
    return kUsage;
  }
  statusFd = options->statusFd;
  std::optional<std::vector<std::string>> environment = readItems(options->envFd);
  if (!environment) fail(kEnvironment, "reading the companion's environment", errno);
  close(options->envFd);
  // The outermost user namespace first: it owns the sandbox's pid and mount namespaces, and entering it gives
  // every capability there. The game's own, nested one last, since it gives none in its parents.
  enter(options->userNamespace, CLONE_NEWUSER, kUserNamespace, "entering the sandbox's user namespace");
  enter(options->pidNamespace, CLONE_NEWPID, kPidNamespace, "entering the game's pid namespace");
  enter(options->mountNamespace, CLONE_NEWNS, kMountNamespace, "entering the game's mount namespace");
  enter(options->innerUserNamespace, CLONE_NEWUSER, kInnerUserNamespace, "entering the game's own user namespace");

  // A pid namespace takes in only the children of whoever entered it.
  const pid_t child = fork();
  if (child < 0) fail(kFork, "forking into the game's pid namespace", errno);
  if (child == 0) startCompanion(*options, *environment);
  close(statusFd);
  close(options->exeFd);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) _exit(kFork);
  }
  // _exit, not exit: nothing of this process is to run after the companion.
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
    _exit(128 + WTERMSIG(status));
  }
  _exit(WEXITSTATUS(status));
}

}  // namespace
}  // namespace cs

int main(int argc, char** argv) { return cs::run(argc, argv); }
