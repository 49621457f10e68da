#include "launch/cursello_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "common/paths.h"

namespace cs {

namespace {

// Wine's override syntax: load dxgi and d3d11 native first, then built-in, so that Cursello's own hooks win.
constexpr const char* kCurselloDllOverrides = "dxgi=n,b;d3d11=n,b";

// The variables that point the child at the game's prefix; whatever Steam's launch process had for them is
// replaced, because it may name another prefix or carry the game's own overrides.
constexpr std::array<const char*, 4> kControlledNames = {"STEAM_COMPAT_DATA_PATH", "STEAM_COMPAT_CLIENT_INSTALL_PATH",
                                                         "WINEPREFIX", "WINEDLLOVERRIDES"};

// How long the launcher waits for the join helper's word, on the main loop. Entering namespaces and copying a file
// take milliseconds; a helper stuck past this is taken as started, and its end is reaped like any companion's.
constexpr auto kJoinHelperTimeout = std::chrono::seconds(2);

// The synchronisation switches that must match the game's wineserver.
constexpr std::array<const char*, 2> kSyncNames = {"WINEESYNC", "WINEFSYNC"};

bool isControlledName(const std::string& name) {
  for (const char* controlled : kControlledNames) {
    if (name == controlled) return true;
  }
  return false;
}

// Returns the null-terminated pointer array that exec expects; the strings must outlive it.
std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Returns the first line the join helper wrote before its status descriptor closed: empty when the companion's
// wine loader started, else the step that failed. Waits at most kJoinHelperTimeout.
std::string joinHelperWord(int statusFd) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + kJoinHelperTimeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{statusFd, POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    std::array<char, 512> chunk{};
    const ssize_t count = read(statusFd, chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(count));
  }
  return text.substr(0, text.find('\n'));
}

// Returns the join helper's argument vector: the helper, the descriptors it inherits by their numbers (the plan's
// namespaces that are set, the status pipe, Cursello.exe and the environment), its working directory, "--", then
// the companion's.
std::vector<std::string> joinHelperArguments(const std::filesystem::path& helper, const JoinPlan& plan, int statusFd,
                                             int exeFd, int envFd, const std::filesystem::path& workingDir,
                                             const std::vector<std::string>& companionArguments) {
  std::vector<std::string> arguments = {helper.string(), "--status-fd", std::to_string(statusFd)};
  const auto addNamespace = [&](const char* option, const FileDescriptor& fd) {
    if (fd.get() < 0) return;
    arguments.push_back(option);
    arguments.push_back(std::to_string(fd.get()));
  };
  addNamespace("--user-ns", plan.outerUser);
  addNamespace("--pid-ns", plan.pid);
  addNamespace("--mount-ns", plan.mount);
  addNamespace("--inner-user-ns", plan.innerUser);
  arguments.insert(arguments.end(), {"--exe-fd", std::to_string(exeFd), "--env-fd", std::to_string(envFd), "--chdir",
                                     workingDir.string(), "--"});
  arguments.insert(arguments.end(), companionArguments.begin(), companionArguments.end());
  return arguments;
}

// Returns a file in memory that holds the items, each ended by a NUL byte; -1 on failure.
FileDescriptor itemsFile(const std::vector<std::string>& items) {
  FileDescriptor fd(memfd_create("cursello-companion-environment", MFD_CLOEXEC));
  std::string bytes;
  for (const std::string& item : items) bytes.append(item).push_back('\0');
  for (std::size_t done = 0; fd.get() >= 0 && done < bytes.size();) {
    const ssize_t count = write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return FileDescriptor();
    done += static_cast<std::size_t>(count);
  }
  return fd;
}

// Starts the join helper with the descriptors it is to inherit and waits for its word. Returns its pid, or -1 with
// the reason in problem (the helper, when it started, already reaped).
pid_t startJoinHelper(const SandboxEntry& sandbox, const std::filesystem::path& exePath,
                      const std::vector<std::string>& companionArguments, const std::vector<std::string>& environment,
                      std::string& problem) {
  // Opened here, before the helper enters anything, so that it is our Cursello.exe that lands in the sandbox.
  const FileDescriptor exe(open(exePath.c_str(), O_RDONLY | O_CLOEXEC));
  const FileDescriptor environmentFile = itemsFile(environment);
  int pipeFds[2] = {-1, -1};
  if (exe.get() < 0 || environmentFile.get() < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
    problem = (exe.get() < 0 ? "opening " + exePath.string() : std::string("handing over the environment")) + ": " +
              std::strerror(errno);
    return -1;
  }
  const FileDescriptor statusRead(pipeFds[0]);
  FileDescriptor statusWrite(pipeFds[1]);
  std::vector<std::string> arguments =
      joinHelperArguments(sandbox.helper, *sandbox.plan, statusWrite.get(), exe.get(), environmentFile.get(),
                          sandbox.workingDir, companionArguments);
  std::vector<char*> argv = pointersTo(arguments);
  // No environment at all: the game's, which the sandbox controls, goes in a descriptor (see the helper).
  std::array<char*, 1> noEnvironment = {nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // A descriptor put onto itself loses its close-on-exec flag in the child only.
  for (const int fd : {sandbox.plan->outerUser.get(), sandbox.plan->pid.get(), sandbox.plan->mount.get(),
                       sandbox.plan->innerUser.get(), statusWrite.get(), exe.get(), environmentFile.get()}) {
    if (fd >= 0) posix_spawn_file_actions_adddup2(&actions, fd, fd);
  }
  pid_t pid = -1;
  const int error = posix_spawn(&pid, sandbox.helper.c_str(), &actions, nullptr, argv.data(), noEnvironment.data());
  posix_spawn_file_actions_destroy(&actions);
  statusWrite = FileDescriptor();  // ours closed, the pipe ends when the helper's copies do
  if (error != 0) {
    problem = "starting " + sandbox.helper.string() + ": " + std::strerror(error);
    return -1;
  }
  problem = joinHelperWord(statusRead.get());
  if (problem.empty()) return pid;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return -1;
}

}  // namespace

Environment withGameSyncSettings(const Environment& inheritedEnv, const ProcessInfo* gameProcess) {
  Environment result = inheritedEnv;
  if (gameProcess == nullptr) return result;
  for (const char* name : kSyncNames) {
    if (result.count(name) != 0) continue;
    const std::optional<std::string> value = envValue(*gameProcess, name);
    if (value) result.emplace(name, *value);
  }
  return result;
}

std::vector<std::string> launchEnvironment(const LaunchContext& context, const Environment& inheritedEnv) {
  std::vector<std::string> entries;
  entries.reserve(inheritedEnv.size() + kControlledNames.size());
  for (const auto& [name, value] : inheritedEnv) {
    if (isControlledName(name)) continue;
    entries.push_back(name + "=" + value);
  }
  entries.push_back("WINEPREFIX=" + (context.compatDataPath / "pfx").string());
  entries.push_back("STEAM_COMPAT_DATA_PATH=" + context.compatDataPath.string());
  entries.push_back("STEAM_COMPAT_CLIENT_INSTALL_PATH=" + context.libraryRoot.string());
  entries.push_back(std::string("WINEDLLOVERRIDES=") + kCurselloDllOverrides);
  return entries;
}

std::vector<std::string> launchArguments(const std::string& appId, const LaunchContext& context,
                                         const std::filesystem::path& exePath) {
  return {context.winePath.string(), exePath.string(), "--proton-child", "--target-appid", appId};
}

bool spawnCursello(const std::string& appId, const LaunchContext& context, const std::filesystem::path& exePath,
                   const Environment& inheritedEnv, std::int32_t inheritedEnvPid, Logger& logger,
                   std::int32_t& childPid, LaunchFailure* failure, const SandboxEntry* sandbox) {
  // Logs the failure's one line and hands the same text to the caller.
  const auto fail = [&](LaunchFailureKind kind, const std::string& message) {
    logger.log(message);
    if (failure != nullptr) {
      failure->kind = kind;
      failure->message = message;
    }
    return false;
  };
  if (!pathExists(exePath)) {
    // Named with every other place the launcher looks, so that the user learns where the file may go.
    std::vector<std::filesystem::path> places = {exePath};
    for (const auto& place : curselloExePlaces()) {
      if (place != exePath) places.push_back(place);
    }
    std::string listed;
    for (const auto& place : places) {
      listed += (listed.empty() ? "" : " or ") + place.string();
      if (failure != nullptr) failure->curselloDirs.push_back(place.parent_path());
    }
    return fail(LaunchFailureKind::CurselloMissing, "Cursello.exe not found: " + listed);
  }
  const FileRoot hostFiles = FileRoot::host();
  const FileRoot& files = sandbox != nullptr ? *sandbox->gameFiles : hostFiles;
  if (!files.exists(context.compatDataPath)) {
    return fail(LaunchFailureKind::CompatDataMissing, "Compatdata path not found: " + context.compatDataPath.string());
  }
  const std::filesystem::path prefix = context.compatDataPath / "pfx";
  if (!files.exists(prefix)) return fail(LaunchFailureKind::PrefixMissing, "Wine prefix not found: " + prefix.string());
  if (!files.exists(context.winePath)) {
    return fail(LaunchFailureKind::WineMissing, "Proton wine loader not found: " + context.winePath.string());
  }
  // In a sandbox the companion runs the copy in the game's /tmp.
  const std::filesystem::path& exeShown = sandbox != nullptr ? sandbox->exeInside : exePath;

  logger.log("Launching Cursello for AppID " + appId + " inherited_env_pid=" + std::to_string(inheritedEnvPid) +
             " compatdata=\"" + context.compatDataPath.string() + "\" proton_dir=\"" + context.protonDir.string() +
             "\" wine=\"" + context.winePath.string() + "\" wineprefix=\"" + prefix.string() + "\" exe=\"" +
             exeShown.string() + "\" WINEDLLOVERRIDES=\"" + kCurselloDllOverrides + "\"");
  logger.log("WINEDLLOVERRIDES is applied only to the Cursello child process");

  std::vector<std::string> arguments = launchArguments(appId, context, exeShown);
  std::vector<std::string> environment = launchEnvironment(context, inheritedEnv);
  if (sandbox != nullptr) {
    std::string problem;
    const pid_t helperPid = startJoinHelper(*sandbox, exePath, arguments, environment, problem);
    if (helperPid < 0) {
      return fail(LaunchFailureKind::SandboxJoinFailed,
                  "Failed to start Cursello inside the sandbox of AppID " + appId + ": " + problem);
    }
    childPid = static_cast<std::int32_t>(helperPid);
    logger.log("Launched Cursello for AppID " + appId + " with child pid " + std::to_string(childPid));
    return true;
  }

  // The string lists own the characters the pointer arrays point into; both live until posix_spawn returns.
  std::vector<char*> argv = pointersTo(arguments);
  std::vector<char*> envp = pointersTo(environment);

  // No file actions: the child shares the launcher's standard output and error, so wine's messages land among
  // the log lines. Nothing of ours leaks into it: every file the launcher reads is opened and closed inside one
  // function, and the descriptors that live longer (the X11 connection, GLib's and GTK's) are opened
  // close-on-exec by their libraries.
  pid_t pid = -1;
  const std::string file = context.winePath.string();
  const int error = posix_spawn(&pid, file.c_str(), nullptr, nullptr, argv.data(), envp.data());
  if (error != 0) {
    return fail(LaunchFailureKind::SpawnFailed,
                "Failed to launch Proton wine for AppID " + appId + ": " + std::strerror(error));
  }
  childPid = static_cast<std::int32_t>(pid);
  logger.log("Launched Cursello for AppID " + appId + " with child pid " + std::to_string(childPid));
  return true;
}

}  // namespace cs
