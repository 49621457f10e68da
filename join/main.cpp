// The launcher's helper for a game in a sandbox of its own (Flatpak Steam, a container inside Steam's Snap): it
// enters the game's namespaces, finds the game's Steam files as the game sees them, puts the program into the
// game's /tmp and starts it there with the game's wine, then waits for it and ends as it ended, so that the
// launcher, whose child this is, sees the program end. The program is the companion (Cursello.exe), or the window
// watcher (CurselloWindowWatch.exe) of a game on Wine's Wayland driver.
//
//   CurselloSandboxJoin --status-fd N [--user-ns N] [--pid-ns N] --mount-ns N [--inner-user-ns N]
//                       --exe-fd N --env-fd N --proton-fd N --uid UID --appid ID [--program companion|watcher]
//
// Every N is a descriptor inherited from the launcher, which opened them all before anything was entered, so that
// nothing is looked up in a world that has just changed. The namespaces are entered in the order above. The bytes
// of the program are read from --exe-fd. Its environment (the game's) comes in --env-fd and the command lines of
// the game's Proton processes in --proton-fd, each as NUL-terminated items: the helper itself starts with no
// environment, since the game's, which the sandbox controls, could name libraries for the dynamic loader to load
// into it while it is still outside. What it has to say goes to the status descriptor (launch/join_protocol.h);
// standard input and error are /dev/null. Standard output goes on to the program as the launcher gave it: /dev/null
// for the companion, the launcher's pipe for the watcher, which writes its records there. The watcher is started
// only once the game's wineserver serves the prefix, as seen inside: a wine started before would boot the prefix
// with a server of its own.
//
// Whatever the sandbox provides is read only after this process has entered it and dropped every capability: the
// Steam files, the paths and the environment are then no more than the sandbox itself could read or do.
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_root.h"
#include "common/runtime_dir.h"
#include "common/text.h"
#include "launch/cursello_launch.h"
#include "launch/join_protocol.h"
#include "launch/sandboxed_launch.h"
#include "launch/wine_window_watch.h"
#include "steam/launch_context.h"

#ifndef SYS_close_range
#define SYS_close_range 436  // Linux 5.9, the same number on every architecture
#endif
#ifndef MFD_NOEXEC_SEAL
#define MFD_NOEXEC_SEAL 0x0008U  // Linux 6.3: the memfd can never be made executable
#endif

extern char** environ;

namespace cs {
namespace {

struct Options {
  int statusFd = -1;
  int userNamespace = -1;
  int pidNamespace = -1;
  int mountNamespace = -1;
  int innerUserNamespace = -1;
  int exeFd = -1;
  int envFd = -1;
  int protonFd = -1;
  long uid = -1;
  std::string appId;
  bool watcher = false;  // the window watcher, not the companion
};

int statusFd = -1;

// Writes one record; a launcher that stopped listening is no reason to stop.
void say(std::string_view kind, const std::vector<std::string>& fields = {}) {
  std::string line(kind);
  for (const std::string& field : fields) {
    line += '\t';
    line += logText(field);
  }
  line += "\n";
  for (std::size_t done = 0; statusFd >= 0 && done < line.size();) {
    const ssize_t count = write(statusFd, line.data() + done, line.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<std::size_t>(count);
  }
}

[[noreturn]] void fail(JoinExitStatus status, const std::string& step, int error) {
  say(kJoinFail, {std::string(kJoinFailStep), step + (error != 0 ? std::string(": ") + std::strerror(error) : "")});
  _exit(status);
}

// A fail record of its own kind (no context, a missing path): the launcher logs it as it logs a native game's.
[[noreturn]] void failMissing(std::string_view what, const std::string& path, JoinExitStatus status = kJoinContext) {
  say(kJoinFail, {std::string(what), path});
  _exit(status);
}

// The file name the program gets in the game's /tmp.
std::string exeName(const Options& options) {
  return options.watcher ? std::string(kWindowWatchExeName) : std::string("Cursello.exe");
}

bool parseNumber(std::string_view text, long& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

bool parseDescriptor(std::string_view text, int& fd) {
  long value = -1;
  if (!parseNumber(text, value) || value > 1 << 20) return false;
  fd = static_cast<int>(value);
  return true;
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    if (name == "--appid") {
      options.appId = argv[i + 1];
      continue;
    }
    if (name == "--program") {
      const std::string_view program = argv[i + 1];
      if (program != "companion" && program != "watcher") return std::nullopt;
      options.watcher = program == "watcher";
      continue;
    }
    if (name == "--uid") {
      if (!parseNumber(argv[i + 1], options.uid)) return std::nullopt;
      continue;
    }
    int* fd = name == "--status-fd"       ? &options.statusFd
              : name == "--user-ns"       ? &options.userNamespace
              : name == "--pid-ns"        ? &options.pidNamespace
              : name == "--mount-ns"      ? &options.mountNamespace
              : name == "--inner-user-ns" ? &options.innerUserNamespace
              : name == "--exe-fd"        ? &options.exeFd
              : name == "--env-fd"        ? &options.envFd
              : name == "--proton-fd"     ? &options.protonFd
                                          : nullptr;
    if (fd == nullptr || !parseDescriptor(argv[i + 1], *fd)) return std::nullopt;
  }
  // Entering less than the game's mount namespace would run a wine named by the sandbox from the host's files.
  if (options.statusFd < 0 || options.mountNamespace < 0 || options.exeFd < 0 || options.envFd < 0 ||
      options.protonFd < 0 || options.uid < 0 || options.appId.empty()) {
    return std::nullopt;
  }
  return options;
}

// Closes the descriptors from first to last. close_range through syscall(): its glibc wrapper is newer than some
// systems this builds for; a kernel older than 5.9 gets them closed one by one, as far as any is likely to be open.
void closeRange(unsigned first, unsigned last) {
  if (syscall(SYS_close_range, first, last, 0) == 0 || errno != ENOSYS) return;
  for (unsigned fd = first; fd <= last && fd < 65536; ++fd) close(static_cast<int>(fd));
}

// Closes every descriptor above standard error but the ones given: whatever else the launcher's libraries left open
// without close-on-exec must not reach the sandbox.
void closeOthers(std::vector<int> kept) {
  std::sort(kept.begin(), kept.end());
  unsigned first = 3;
  for (const int fd : kept) {
    if (fd < static_cast<int>(first)) continue;
    if (static_cast<unsigned>(fd) > first) closeRange(first, static_cast<unsigned>(fd) - 1);
    first = static_cast<unsigned>(fd) + 1;
  }
  closeRange(first, ~0U);
}

void enter(int fd, int type, JoinExitStatus status, const char* step) {
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

// Copies every byte from one descriptor to another, reading by offset. Returns 0, or the errno of the failing step.
int copyBytes(int from, int to) {
  std::array<char, 65536> buffer{};
  for (off_t offset = 0;;) {
    const ssize_t count = pread(from, buffer.data(), buffer.size(), offset);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) return 0;
    if (!writeAll(to, buffer.data(), static_cast<std::size_t>(count))) return errno;
    offset += count;
  }
}

// Returns a sealed copy in memory of the user's program: from here on nothing can change what lands in the
// sandbox, and the user's own file is no longer open in a process that the sandbox might reach.
int sealedCopy(int exeFd, const std::string& name) {
  int memory = memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_NOEXEC_SEAL);
  // Kernels before 6.3 refuse the flag they do not know.
  if (memory < 0 && errno == EINVAL) memory = memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory < 0) fail(kJoinSeal, "sealing a copy of " + name, errno);
  if (const int error = copyBytes(exeFd, memory); error != 0) fail(kJoinSeal, "reading " + name, error);
  if (fcntl(memory, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    fail(kJoinSeal, "sealing a copy of " + name, errno);
  }
  close(exeFd);
  return memory;
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
  return splitNullSeparated(bytes);
}

// Copies the bytes to a temporary name in the directory and renames the copy into place: a running program may
// have the old file mapped, and nobody sees a half-written one. Returns 0, or the errno of the failing step.
int copyInto(int from, const PrivateDir& dir, const std::string& name) {
  const std::string temporary = "." + name + "." + std::to_string(getpid());
  unlinkat(dir.fd.get(), temporary.c_str(), 0);  // left by a copy that was killed
  const int to = openat(dir.fd.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to < 0) return errno;
  int error = copyBytes(from, to);
  if (close(to) != 0 && error == 0) error = errno;
  if (error == 0 && renameat(dir.fd.get(), temporary.c_str(), dir.fd.get(), name.c_str()) != 0) error = errno;
  if (error != 0) unlinkat(dir.fd.get(), temporary.c_str(), 0);
  return error;
}

// The user namespaces just entered gave every capability in the sandbox; the program gets none, and
// no_new_privs keeps exec from giving any back, even to a user mapped to root in there.
void dropCapabilities() {
  // EINVAL past the last capability the kernel knows; EPERM without CAP_SETPCAP, when there is nothing to drop.
  for (int capability = 0; capability < 64; ++capability) prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
    fail(kJoinCapabilities, "clearing the ambient capabilities", errno);
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> none{};
  if (syscall(SYS_capset, &header, none.data()) != 0) fail(kJoinCapabilities, "dropping the capabilities", errno);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail(kJoinCapabilities, "setting no_new_privs", errno);
}

// The game's Steam files, looked up as the game sees them; a missing piece ends the helper with its own record.
LaunchContext lookUpContext(const Options& options, const Environment& gameEnv) {
  say(kJoinStep, {"looking up the game's Steam files"});
  const std::optional<std::vector<std::string>> commandLines = readItems(options.protonFd);
  close(options.protonFd);
  if (!commandLines) fail(kJoinContext, "reading the game's Proton command lines", errno);
  // Through a root of "/": only regular files are read, and only their first mebibyte, whatever the sandbox put there.
  const FileRoot files = FileRoot::at("/");
  const std::optional<LaunchContext> context =
      findLaunchContext(options.appId, *commandLines, steamRootsOfGame(gameEnv), files);
  if (!context) failMissing(kJoinFailNoContext, "");
  if (!files.exists(context->compatDataPath)) failMissing(kJoinFailCompatData, context->compatDataPath.string());
  if (!files.exists(context->compatDataPath / "pfx")) {
    failMissing(kJoinFailPrefix, (context->compatDataPath / "pfx").string());
  }
  if (!files.exists(context->winePath)) failMissing(kJoinFailWine, context->winePath.string());
  // The socket is looked for in the game's /tmp and under the uid that the game's wine has in here.
  if (options.watcher && !wineserverRuns(context->compatDataPath / "pfx")) {
    failMissing(kJoinFailWineserver, (context->compatDataPath / "pfx").string(), kJoinNoWineserver);
  }
  return *context;
}

[[noreturn]] void startProgram(Options& options, int exeCopy, pid_t helper) {
  // The program must not outlive a helper that the launcher ended: the launcher counts the helper as its child.
  // The parent may have gone already; a reaper of the sandbox has then taken us in.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) fail(kJoinFork, "tying the program to the helper", errno);
  if (const pid_t parent = getppid(); parent != helper && parent != 0) _exit(kJoinFork);
  // From here on this process can do no more in the sandbox than the sandbox itself.
  dropCapabilities();
  // A session of its own: the program can neither signal the launcher's process group nor reach its terminal.
  setsid();

  const std::optional<std::vector<std::string>> items = readItems(options.envFd);
  close(options.envFd);
  if (!items) fail(kJoinEnvironment, "reading the program's environment", errno);
  const Environment gameEnv = parseEnvironment(*items);
  const LaunchContext context = lookUpContext(options, gameEnv);

  std::vector<std::string> environment = launchEnvironment(context, gameEnv);
  std::vector<char*> envp = pointersTo(environment);
  // The game's own: its XDG_RUNTIME_DIR is the fallback below.
  environ = envp.data();
  // The same safe steps, and the same fallback, as the launcher's own directory, now in the game's /tmp and as
  // the game's user, named for the launcher's user: an unmapped user would read as the overflow id in here.
  const std::string name = exeName(options);
  say(kJoinStep, {"copying " + name + " into the game's /tmp"});
  const uid_t uid = static_cast<uid_t>(options.uid);
  const PrivateDir dir = openIconDir(uid);
  if (!dir.ok()) fail(kJoinPrivateDir, "making a private directory in the game's /tmp", 0);
  if (const int error = copyInto(exeCopy, dir, name); error != 0) {
    fail(kJoinCopy, "copying " + name + " into " + dir.path.string(), error);
  }
  close(exeCopy);
  if (dir.path != tmpRuntimeDirPath(uid)) {
    say(kJoinNote,
        {tmpRuntimeDirPath(uid).string() + " is taken in the game's sandbox; " + name + " is in " + dir.path.string()});
  }
  const std::filesystem::path exe = dir.path / name;
  // The watcher is an ordinary Windows program: it takes none of the companion's arguments.
  std::vector<std::string> arguments = options.watcher ? std::vector<std::string>{context.winePath.string(), exe.string()}
                                                       : launchArguments(options.appId, context, exe);
  const auto home = gameEnv.find("HOME");
  if ((home == gameEnv.end() || chdir(home->second.c_str()) != 0) && chdir("/") != 0) {
    fail(kJoinExec, "changing to /", errno);
  }
  say(kJoinLaunching, {context.compatDataPath.string(), context.protonDir.string(), context.winePath.string(),
                       (context.compatDataPath / "pfx").string(), exe.string()});

  std::vector<char*> argv = pointersTo(arguments);
  // The launcher ignores nothing of the program's: a broken pipe ends it as it ends any program.
  std::signal(SIGPIPE, SIG_DFL);
  // Closed by the exec: with "started" before it and nothing after, the launcher's sign that the program runs.
  say(kJoinStarted);
  execve(argv[0], argv.data(), envp.data());
  fail(kJoinExec, "starting " + arguments[0], errno);
}

int run(int argc, char** argv) {
  // A launcher that stopped reading must not end us by a signal: a write error says the same.
  std::signal(SIGPIPE, SIG_IGN);
  std::optional<Options> options = parseOptions(argc, argv);
  if (!options) return kJoinUsage;
  statusFd = options->statusFd;
  const std::vector<int> given = {
      options->statusFd,           options->userNamespace, options->pidNamespace, options->mountNamespace,
      options->innerUserNamespace, options->exeFd,         options->envFd,        options->protonFd};
  closeOthers(given);
  // Inherited without close-on-exec, which the program's exec must close: the status pipe's end is the sign.
  for (const int fd : given) {
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  const int exeCopy = sealedCopy(options->exeFd, exeName(*options));

  // The outermost user namespace first: it owns the sandbox's pid and mount namespaces, and entering it gives
  // every capability there. The game's own, nested one last, since it gives none in its parents.
  say(kJoinStep, {"entering the game's sandbox"});
  enter(options->userNamespace, CLONE_NEWUSER, kJoinUserNamespace, "entering the sandbox's user namespace");
  enter(options->pidNamespace, CLONE_NEWPID, kJoinPidNamespace, "entering the game's pid namespace");
  enter(options->mountNamespace, CLONE_NEWNS, kJoinMountNamespace, "entering the game's mount namespace");
  enter(options->innerUserNamespace, CLONE_NEWUSER, kJoinInnerUserNamespace, "entering the game's own user namespace");

  // A pid namespace takes in only the children of whoever entered it.
  const pid_t self = getpid();
  const pid_t child = fork();
  if (child < 0) fail(kJoinFork, "forking into the game's pid namespace", errno);
  if (child == 0) startProgram(*options, exeCopy, self);
  close(statusFd);
  close(exeCopy);
  close(options->envFd);
  close(options->protonFd);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) _exit(kJoinFork);
  }
  // _exit, not exit: nothing of this process is to run after the program.
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
    _exit(128 + WTERMSIG(status));
  }
  _exit(WEXITSTATUS(status));
}

}  // namespace
}  // namespace cs

int main(int argc, char** argv) {
  // Before anything else: a process that is not dumpable has its /proc files (fd, mem, environ) closed to every
  // process of the user's but root's, so nothing in a sandbox that sees our pids can write through our descriptors.
  // The flag holds across setns and fork; the exec of the wine loader clears it for the program.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  return cs::run(argc, argv);
}
