#include "tests/support/test_support.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace cs::test {

std::filesystem::path launcherBinary() { return CS_LAUNCHER_BINARY; }
std::filesystem::path joinHelperBinary() { return CS_JOIN_HELPER_BINARY; }
std::filesystem::path fakeProcessBinary() { return CS_FAKE_PROCESS_BINARY; }

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& parent) {
  std::string pattern = (parent / "cs-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) root = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!root.empty()) std::filesystem::remove_all(root, ec);
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  return env;
}

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

Subprocess::Subprocess(const Options& options) {
  std::vector<std::string> argv = options.argv.empty() ? std::vector<std::string>{options.program.string()}
                                                       : options.argv;
  std::vector<std::string> env = options.env;
  auto argvPointers = pointersTo(argv);
  auto envPointers = pointersTo(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.output) {
    posix_spawn_file_actions_addopen(&actions, 1, options.output->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  if (options.workingDir) posix_spawn_file_actions_addchdir_np(&actions, options.workingDir->c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, options.program.c_str(), &actions, nullptr, argvPointers.data(), envPointers.data()) == 0) {
    childPid = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

Subprocess::~Subprocess() { kill(); }

void Subprocess::signal(int sig) const {
  if (childPid > 0 && !reaped) ::kill(childPid, sig);
}

std::optional<int> Subprocess::wait(std::chrono::milliseconds timeout) {
  if (childPid <= 0 || reaped) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(childPid, &status, WNOHANG);
    if (r == childPid) {
      reaped = true;
      return status;
    }
    if (r < 0 && errno != EINTR) {
      reaped = true;
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Subprocess::kill() {
  if (childPid <= 0 || reaped) return;
  ::kill(childPid, SIGKILL);
  int status = 0;
  while (waitpid(childPid, &status, 0) < 0 && errno == EINTR) {
  }
  reaped = true;
}

std::filesystem::path programInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::filesystem::path candidate = std::filesystem::path(dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

Subprocess::Options withOwnRunUser(Subprocess::Options options, const std::filesystem::path& runUserDir) {
  const std::string uid = std::to_string(getuid());
  std::error_code ec;
  if (runUserDir.empty() && !std::filesystem::exists("/run/user/" + uid, ec)) return options;
  // $1: the directory to show as /run/user/$2, or empty for none.
  const std::string script =
      "mount -t tmpfs -o mode=0755 cs-run-user /run/user && { [ -z \"$1\" ] || { mkdir -m 0700 /run/user/$2 && "
      "mount --bind \"$1\" /run/user/$2; }; } && shift 2 && exec \"$@\"";
  std::vector<std::string> argv = {"unshare", "--mount", "--", "/bin/sh", "-c", script, "sh", runUserDir.string(), uid};
  // Only root may mount: another user becomes root of a user namespace of its own, then itself again inside.
  if (uid != "0") {
    argv.insert(argv.begin() + 1, "--map-root-user");
    const std::string gid = std::to_string(getgid());
    argv.insert(argv.end(), {"unshare", "--user", "--map-user=" + uid, "--map-group=" + gid, "--"});
  }
  argv.push_back(options.program.string());
  if (!options.argv.empty()) argv.insert(argv.end(), options.argv.begin() + 1, options.argv.end());
  options.program = programInPath("unshare");
  options.argv = std::move(argv);
  return options;
}

// fork rather than posix_spawn: the child must ask for SIGTERM on the test process's death before it runs the
// helper. Only async-signal-safe calls run between fork and exec.
pid_t startDaemon(const std::filesystem::path& program, std::vector<std::string> argv, std::vector<std::string> env,
                  const std::filesystem::path& logPath, int passFd, int targetFd) {
  auto argvPointers = pointersTo(argv);
  auto envPointers = pointersTo(env);
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (devNull < 0 || log < 0) {
    if (devNull >= 0) close(devNull);
    if (log >= 0) close(log);
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the test process died before the request took effect
    dup2(devNull, 0);
    dup2(log, 1);
    dup2(log, 2);
    if (passFd >= 0 && targetFd >= 0) {
      dup2(passFd, targetFd);
      fcntl(targetFd, F_SETFD, 0);  // dup2 onto itself would leave close-on-exec set
    }
    execve(program.c_str(), argvPointers.data(), envPointers.data());
    _exit(127);
  }
  close(devNull);
  close(log);
  return pid;
}

bool daemonExited(pid_t& pid) {
  if (pid <= 0) return true;
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) return false;
  pid = -1;
  return true;
}

void stopDaemon(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!daemonExited(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value)
    : variable(std::move(name)) {
  if (const char* old = std::getenv(variable.c_str())) previous = old;
  if (value) {
    setenv(variable.c_str(), value->c_str(), 1);
  } else {
    unsetenv(variable.c_str());
  }
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (previous) {
    setenv(variable.c_str(), previous->c_str(), 1);
  } else {
    unsetenv(variable.c_str());
  }
}

std::optional<TestUser> sandboxTestUser() {
  constexpr const char* kName = "cs-sandbox-test";
  if (getpwnam(kName) == nullptr) {
    Subprocess useradd({.program = programInPath("useradd"),
                        .argv = {"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                                 "/nonexistent", "--shell", "/usr/sbin/nologin", kName},
                        .env = currentEnvironment(),
                        .output = std::nullopt,
                        .workingDir = std::nullopt});
    useradd.wait(std::chrono::seconds(30));
    // Another test may be making the user at the same time, which makes this useradd fail on the lock it holds.
    waitUntil([&] { return getpwnam(kName) != nullptr; }, std::chrono::seconds(10));
  }
  const passwd* entry = getpwnam(kName);
  if (entry == nullptr) return std::nullopt;
  return TestUser{entry->pw_uid, entry->pw_gid};
}

std::vector<std::string> asUser(const TestUser& user, const std::vector<std::string>& argv) {
  std::vector<std::string> full = {programInPath("setpriv").string(), "--reuid=" + std::to_string(user.uid),
                                   "--regid=" + std::to_string(user.gid), "--clear-groups", "--"};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

void giveTo(const TestUser& user, const std::filesystem::path& path) {
  std::error_code ec;
  lchown(path.c_str(), user.uid, user.gid);
  for (std::filesystem::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    lchown(it->path().c_str(), user.uid, user.gid);
  }
}

std::string environBytes(const Environment& environment) {
  std::string bytes;
  for (const auto& [name, value] : environment) {
    bytes += name + "=" + value;
    bytes.push_back('\0');
  }
  return bytes;
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::filesystem::path bindWineserverSocket(const std::filesystem::path& prefix, const std::filesystem::path& tmp,
                                           std::optional<uid_t> uid) {
  struct stat folder {};
  if (stat(prefix.c_str(), &folder) != 0) return {};
  char name[128];
  std::snprintf(name, sizeof name, ".wine-%u/server-%llx-%llx", static_cast<unsigned>(uid.value_or(getuid())),
                static_cast<unsigned long long>(folder.st_dev), static_cast<unsigned long long>(folder.st_ino));
  const std::filesystem::path dir = tmp / name;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (dir / "socket").string();
  if (path.size() >= sizeof address.sun_path) return {};
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return bound ? dir : std::filesystem::path();
}

}  // namespace cs::test
