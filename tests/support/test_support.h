// Helpers for tests that use real processes and real files: temporary directories, child processes and
// waiting with a deadline instead of fixed sleeps.
#ifndef CS_TESTS_SUPPORT_TEST_SUPPORT_H
#define CS_TESTS_SUPPORT_TEST_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "proc/process_snapshot.h"

namespace cs::test {

// Paths of the programs the build made, for tests that start them.
std::filesystem::path launcherBinary();     // the launcher itself
std::filesystem::path joinHelperBinary();   // its helper for games in a sandbox, which it finds beside itself
std::filesystem::path fakeProcessBinary();  // tests/support/fake_process.cpp

// A fresh directory under the system's temporary directory (or under parent), removed with everything in it on
// destruction.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return root; }

 private:
  std::filesystem::path root;
};

// Writes the bytes to the file, creating its parent directories.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Returns the bytes of the file, or the empty string.
std::string slurp(const std::filesystem::path& path);

// The environment of this test process as NAME=VALUE strings.
std::vector<std::string> currentEnvironment();

// Sets (or, with no value, unsets) an environment variable of this test process and restores the old state on
// destruction: for code under test that reads DISPLAY from its own environment.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string variable;
  std::optional<std::string> previous;
};

// A child process started with an exact argument vector and environment. It is killed (SIGKILL) and reaped on
// destruction unless it was waited for.
class Subprocess {
 public:
  struct Options {
    std::filesystem::path program;            // executed as given, no PATH search
    std::vector<std::string> argv;            // argv[0] included; empty means {program}
    std::vector<std::string> env;             // NAME=VALUE
    std::optional<std::filesystem::path> output;  // stdout and stderr appended here; else inherited
    std::optional<std::filesystem::path> workingDir;
  };
  explicit Subprocess(const Options& options);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return childPid; }
  bool started() const { return childPid > 0; }
  void signal(int sig) const;
  // Waits for the child to end; returns its raw wait status, or no value on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // Sends SIGKILL and reaps.
  void kill();

 private:
  pid_t childPid = -1;
  bool reaped = false;
};

// Returns the first executable called `name` in the directories of PATH, or an empty path.
std::filesystem::path programInPath(const std::string& name);

// Returns the options changed to run the program in a mount namespace with a /run/user of its own: empty, or
// holding runUserDir as /run/user/<uid>. As they are without runUserDir on a machine without /run/user/<uid>.
// Launchers of tests that run side by side must not share the user's runtime directory, and with it one lock.
// Everything on the way execs, so the program keeps the pid.
Subprocess::Options withOwnRunUser(Subprocess::Options options, const std::filesystem::path& runUserDir = {});

// Starts a long-running helper of a test (a server, a bus) with its output appended to logPath and, when passFd
// is not -1, that descriptor as the helper's descriptor targetFd. The helper gets SIGTERM when the test process
// dies, so that a crashed test leaves none behind. Returns its pid, or -1.
pid_t startDaemon(const std::filesystem::path& program, std::vector<std::string> argv, std::vector<std::string> env,
                  const std::filesystem::path& logPath, int passFd = -1, int targetFd = -1);

// Returns whether the helper has ended, reaping it and setting pid to -1 then; true for pid -1.
bool daemonExited(pid_t& pid);

// Ends the helper: SIGTERM, then SIGKILL if it is still there after 5 s; always reaps and sets pid to -1.
void stopDaemon(pid_t& pid);

// An ordinary user, for what root would pass unchecked (entering namespaces): "cs-sandbox-test", made with useradd
// when it is missing. Tests that run anything as it share its fixed paths, such as its
// /tmp/CurselloLinuxLauncher-<uid>, and hold the CTest lock cs_sandbox_user.
struct TestUser {
  uid_t uid = 0;
  gid_t gid = 0;
};
std::optional<TestUser> sandboxTestUser();

// Returns argv prefixed with setpriv, so that it runs as the user without supplementary groups.
std::vector<std::string> asUser(const TestUser& user, const std::vector<std::string>& argv);

// Makes the user the owner of the path and of everything below it.
void giveTo(const TestUser& user, const std::filesystem::path& path);

// Returns the variables as environ bytes (NAME=VALUE items, each ended by a NUL), for hand-made process records.
std::string environBytes(const Environment& environment);

// Binds a socket where every wine run as uid looks for the prefix's server, as a running wineserver of the prefix
// has it, below tmp (the /tmp that wine sees; another directory stands for a sandbox's own). Returns its directory,
// for the caller to remove; empty when it could not be made.
std::filesystem::path bindWineserverSocket(const std::filesystem::path& prefix,
                                           const std::filesystem::path& tmp = "/tmp",
                                           std::optional<uid_t> uid = std::nullopt);

// Calls the predicate every 20 ms until it is true or the timeout passes; returns its last answer.
bool waitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace cs::test

#endif  // CS_TESTS_SUPPORT_TEST_SUPPORT_H
