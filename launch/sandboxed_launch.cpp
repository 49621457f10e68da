#include "launch/sandboxed_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/paths.h"
#include "common/text.h"
#include "launch/cursello_launch.h"
#include "launch/join_protocol.h"
#include "sandbox/game_namespaces.h"

namespace cs {

namespace {

constexpr const char* kJoinHelperName = "CurselloSandboxJoin";

// More than the helper ever says; a helper that says more is not ours to believe.
constexpr std::size_t kMaxHelperWords = 64 * 1024;

// The program's name in log lines.
std::string nameOf(SandboxProgram program) {
  return program == SandboxProgram::Watcher ? "the window watcher" : "Cursello";
}

// Returns the kind and the log line for a sandbox the user cannot enter. The Snap's name is the one its control
// group was given from outside: the sandbox's own SNAP_NAME says whatever a program in there wants.
std::pair<LaunchFailureKind, std::string> refusal(const std::string& appId, const ProcessHandle& game,
                                                  const JoinVerdict& verdict, SandboxProgram program) {
  const std::string head = "Cannot start " + nameOf(program) + " for AppID " + appId + ": ";
  const std::string sandbox = "the game's sandbox (pid " + std::to_string(game.pid()) + ")";
  if (verdict.obstacle == JoinObstacle::SharedMounts) {
    return {LaunchFailureKind::MountsShared,
            head + sandbox + " has pids of its own but the launcher's mounts, where Cursello is never started"};
  }
  if (const std::optional<std::string> snap = snapNameFromCgroup(game.read("cgroup"))) {
    return {LaunchFailureKind::SnapUnreachable,
            head + "the game runs in Steam's Snap (" + logText(*snap) +
                "), which the launcher cannot reach from outside; Steam from the distribution's package or from "
                "Flathub works with it"};
  }
  if (verdict.obstacle == JoinObstacle::Unreadable) {
    return {LaunchFailureKind::SandboxUnreadable,
            head + "the namespaces of " + sandbox + " cannot be opened: " + std::strerror(verdict.error)};
  }
  if (userNamespacesSwitchedOff()) {
    return {LaunchFailureKind::UserNamespacesOff,
            head + sandbox + " was made with root's rights, since unprivileged user namespaces are switched off"};
  }
  return {LaunchFailureKind::SandboxClosed, head + sandbox + " belongs to root or to another user"};
}

// Returns a file in memory that holds the items, each ended by a NUL byte; -1 on failure.
FileDescriptor itemsFile(const char* name, const std::vector<std::string>& items) {
  FileDescriptor fd(memfd_create(name, MFD_CLOEXEC));
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

// Splits a record into its kind and fields, each with its control bytes escaped: the helper escaped them already,
// but a record is bytes that came through the sandbox's reach.
std::vector<std::string> recordFields(std::string_view line) {
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(logText(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start)));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

void setFailure(SandboxStart& start, Logger& logger, LaunchFailureKind kind, const std::string& message) {
  if (start.failure) return;
  logger.log(message);
  LaunchFailure failure;
  failure.kind = kind;
  failure.appId = start.appId;
  failure.message = message;
  start.failure = std::move(failure);
}

void failStep(SandboxStart& start, Logger& logger, const std::string& detail) {
  setFailure(start, logger, LaunchFailureKind::SandboxJoinFailed,
             "Failed to start " + nameOf(start.program) + " inside the sandbox of AppID " + start.appId + ": " + detail);
}

// Acts on one whole record of the helper's.
void takeRecord(SandboxStart& start, Logger& logger, std::string_view line) {
  const std::vector<std::string> fields = recordFields(line);
  const std::string& kind = fields.front();
  const auto field = [&](std::size_t i) { return i < fields.size() ? fields[i] : std::string(); };
  const bool watcher = start.program == SandboxProgram::Watcher;
  if (start.started && kind != kJoinFail) {
    failStep(start, logger, "the helper spoke after the program started: " + field(0));
  } else if (kind == kJoinStep) {
    start.step = field(1);
  } else if (kind == kJoinNote) {
    logger.log("Game AppID " + start.appId + ": " + field(1));
  } else if (kind == kJoinLaunching && watcher) {
    logger.log("Starting the window watcher for AppID " + start.appId + " inside its sandbox: wine=\"" + field(3) +
               "\" wineprefix=\"" + field(4) + "\" exe=\"" + field(5) + "\"");
  } else if (kind == kJoinLaunching) {
    LaunchContext context;
    context.compatDataPath = field(1);
    context.protonDir = field(2);
    context.winePath = field(3);
    logger.log(launchLogLine(start.appId, start.gamePid, context, field(4), field(5)));
    logger.log("WINEDLLOVERRIDES is applied only to the Cursello child process");
  } else if (kind == kJoinStarted) {
    start.started = true;
  } else if (kind == kJoinFail && field(1) == kJoinFailWineserver) {
    failStep(start, logger, "no wineserver serves " + field(2) + " in the game's sandbox");
  } else if (kind == kJoinFail && field(1) == kJoinFailNoContext) {
    setFailure(start, logger, LaunchFailureKind::NoContext,
               "No usable Steam Proton context found for AppID " + start.appId);
  } else if (kind == kJoinFail && field(1) == kJoinFailCompatData) {
    setFailure(start, logger, LaunchFailureKind::CompatDataMissing, "Compatdata path not found: " + field(2));
  } else if (kind == kJoinFail && field(1) == kJoinFailPrefix) {
    setFailure(start, logger, LaunchFailureKind::PrefixMissing, "Wine prefix not found: " + field(2));
  } else if (kind == kJoinFail && field(1) == kJoinFailWine) {
    setFailure(start, logger, LaunchFailureKind::WineMissing, "Proton wine loader not found: " + field(2));
  } else if (kind == kJoinFail) {
    failStep(start, logger, field(2));
  } else {
    failStep(start, logger, "the helper said what it never says: " + field(0));
  }
}

// Reads what is there without waiting; marks the end of the pipe.
void readAvailable(SandboxStart& start, Logger& logger) {
  std::array<char, 4096> chunk{};
  while (!start.ended) {
    const ssize_t count = read(start.status.get(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (count <= 0) {
      start.ended = true;
      break;
    }
    start.received.append(chunk.data(), static_cast<std::size_t>(count));
    if (start.received.size() > kMaxHelperWords) {
      failStep(start, logger, "the helper said more than it ever says");
      start.received.clear();
      start.ended = true;
      kill(start.helperPid, SIGKILL);
      return;
    }
    for (std::size_t newline; (newline = start.received.find('\n')) != std::string::npos;) {
      takeRecord(start, logger, std::string_view(start.received).substr(0, newline));
      start.received.erase(0, newline + 1);
    }
  }
}

// The step a helper that ended without a word stopped at, by its exit status; no value while it still runs.
std::optional<std::string> stepOfEndedHelper(SandboxStart& start) {
  int status = 0;
  pid_t result = -1;
  do {
    result = waitpid(start.helperPid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return std::nullopt;
  start.reaped = true;
  if (result < 0)
    return (start.step.empty() ? "starting the sandbox helper" : start.step) + ": it cannot be waited for";
  if (WIFSIGNALED(status)) {
    return (start.step.empty() ? "starting the sandbox helper" : start.step) + ": ended by signal " +
           std::to_string(WTERMSIG(status));
  }
  const std::string_view step = joinStepOfExitStatus(WEXITSTATUS(status));
  return (step.empty() ? std::string("the sandbox helper") : std::string(step)) + ": ended with status " +
         std::to_string(WEXITSTATUS(status)) + " without a word";
}

}  // namespace

Environment companionEnvironmentFromGame(const Environment& gameEnv) {
  Environment environment = gameEnv;
  environment.erase("WINESERVERSOCKET");
  environment.erase("WINEPRELOADRESERVE");
  return environment;
}

std::vector<std::filesystem::path> steamRootsOfGame(const Environment& gameEnv) {
  const auto home = gameEnv.find("HOME");
  if (home == gameEnv.end() || home->second.empty() || home->second.front() != '/') return {};
  std::vector<std::filesystem::path> roots = {std::filesystem::path(home->second) / ".steam/debian-installation",
                                              std::filesystem::path(home->second) / ".local/share/Steam"};
  const auto data = gameEnv.find("XDG_DATA_HOME");
  if (data != gameEnv.end() && !data->second.empty() && data->second.front() == '/') {
    roots.push_back(std::filesystem::path(data->second) / "Steam");
  }
  return roots;
}

namespace {

std::optional<SandboxStart> startProgramInside(const std::string& appId, const ProcessHandle& game,
                                               const std::vector<std::string>& protonCommandLines,
                                               const std::filesystem::path& exePath, SandboxProgram program,
                                               int outputFd, Logger& logger, LaunchFailure& failure) {
  const auto fail = [&](LaunchFailureKind kind, const std::string& message) -> std::optional<SandboxStart> {
    logger.log(message);
    failure.kind = kind;
    failure.message = message;
    return std::nullopt;
  };
  const std::int32_t gamePid = game.pid();
  const std::string programName = nameOf(program);
  logger.log("Game AppID " + appId + " runs in a sandbox (pid " + std::to_string(gamePid) + "); starting " +
             programName + " inside it");
  // Root may enter any user's sandbox, and its companion would run that user's programs as a capless root that
  // still owns root's files.
  if (geteuid() == 0) {
    return fail(LaunchFailureKind::LauncherIsRoot,
                "Cannot start " + programName + " for AppID " + appId +
                    ": the launcher runs as root, which enters no game's sandbox; start it as the user who plays");
  }
  const Environment gameEnv =
      parseEnvironment(splitNullSeparated(game.readAtMost("environ", kMaxEnvironmentBytes).value_or(std::string())));
  const JoinVerdict verdict = planJoin(game);
  if (!verdict.plan) {
    const auto [kind, message] = refusal(appId, game, verdict, program);
    return fail(kind, message);
  }
  const JoinPlan& plan = *verdict.plan;
  const std::string head = "Failed to start " + programName + " inside the sandbox of AppID " + appId + ": ";
  if (program == SandboxProgram::Companion && !pathExists(exePath)) {
    reportCurselloMissing(exePath, logger, &failure);
    return std::nullopt;
  }

  // Opened here, before the helper enters anything, so that it is our program that lands in the sandbox.
  const FileDescriptor exe(open(exePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (exe.get() < 0)
    return fail(LaunchFailureKind::SandboxJoinFailed,
                head + "opening " + exePath.string() + ": " + std::strerror(errno));
  const FileDescriptor environment = itemsFile("cursello-companion-environment", [&] {
    std::vector<std::string> items;
    for (const auto& [name, value] : companionEnvironmentFromGame(gameEnv)) items.push_back(name + "=" + value);
    return items;
  }());
  if (environment.get() < 0) {
    return fail(LaunchFailureKind::SandboxJoinFailed, head + "handing over the environment: " + std::strerror(errno));
  }
  const FileDescriptor proton = itemsFile("cursello-proton-command-lines", protonCommandLines);
  if (proton.get() < 0) {
    return fail(LaunchFailureKind::SandboxJoinFailed,
                head + "handing over the Proton command lines: " + std::strerror(errno));
  }
  int pipeFds[2] = {-1, -1};
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    return fail(LaunchFailureKind::SandboxJoinFailed,
                head + "making the helper's status pipe: " + std::strerror(errno));
  }
  FileDescriptor statusRead(pipeFds[0]);
  FileDescriptor statusWrite(pipeFds[1]);

  const std::filesystem::path helper = executableDir() / kJoinHelperName;
  std::vector<std::string> arguments = {helper.string(), "--status-fd", std::to_string(statusWrite.get())};
  const auto addDescriptor = [&](const char* option, int fd) {
    if (fd < 0) return;
    arguments.push_back(option);
    arguments.push_back(std::to_string(fd));
  };
  addDescriptor("--user-ns", plan.outerUser.get());
  addDescriptor("--pid-ns", plan.pid.get());
  addDescriptor("--mount-ns", plan.mount.get());
  addDescriptor("--inner-user-ns", plan.innerUser.get());
  addDescriptor("--exe-fd", exe.get());
  addDescriptor("--env-fd", environment.get());
  addDescriptor("--proton-fd", proton.get());
  arguments.insert(arguments.end(), {"--uid", std::to_string(getuid()), "--appid", appId, "--program",
                                     program == SandboxProgram::Watcher ? "watcher" : "companion"});
  std::vector<char*> argv = pointersTo(arguments);
  // No environment at all: the game's, which the sandbox controls, goes in a descriptor. Standard streams on
  // /dev/null: the helper says everything over its status pipe, and the launcher's terminal and log are not the
  // sandbox's to write to. The watcher's output alone is a pipe, which only the launcher reads.
  std::array<char*, 1> noEnvironment = {nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // First, in case the pipe took a standard stream's number in a launcher started without one.
  if (outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outputFd < 0) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // A descriptor put onto itself loses its close-on-exec flag in the child only.
  for (const int fd : {plan.outerUser.get(), plan.pid.get(), plan.mount.get(), plan.innerUser.get(), statusWrite.get(),
                       exe.get(), environment.get(), proton.get()}) {
    if (fd >= 0) posix_spawn_file_actions_adddup2(&actions, fd, fd);
  }
  pid_t pid = -1;
  const int error = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv.data(), noEnvironment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0)
    return fail(LaunchFailureKind::SandboxJoinFailed,
                head + "starting " + helper.string() + ": " + std::strerror(error));
  // Ours closed right away (the user's Cursello.exe among them): the pipe ends when the helper's copies do.
  fcntl(statusRead.get(), F_SETFL, fcntl(statusRead.get(), F_GETFL) | O_NONBLOCK);
  SandboxStart start;
  start.appId = appId;
  start.program = program;
  start.helperPid = pid;
  start.gamePid = gamePid;
  start.status = std::move(statusRead);
  start.deadline = std::chrono::steady_clock::now() + kSandboxStartTimeout;
  return start;
}

}  // namespace

std::optional<SandboxStart> startInsideSandbox(const std::string& appId, const ProcessHandle& game,
                                               const std::vector<std::string>& protonCommandLines,
                                               const std::filesystem::path& exePath, Logger& logger,
                                               LaunchFailure& failure) {
  return startProgramInside(appId, game, protonCommandLines, exePath, SandboxProgram::Companion, -1, logger, failure);
}

std::optional<SandboxStart> startWatcherInsideSandbox(const std::string& appId, const ProcessHandle& game,
                                                      const std::vector<std::string>& protonCommandLines,
                                                      const std::filesystem::path& exePath, int outputFd,
                                                      Logger& logger, LaunchFailure& failure) {
  if (outputFd < 0) {
    const std::string message = "Failed to start the window watcher inside the sandbox of AppID " + appId +
                                ": no pipe for its output";
    logger.log(message);
    failure = LaunchFailure{LaunchFailureKind::SandboxJoinFailed, appId, "", message, {}};
    return std::nullopt;
  }
  return startProgramInside(appId, game, protonCommandLines, exePath, SandboxProgram::Watcher, outputFd, logger,
                            failure);
}

SandboxStartState advanceSandboxStart(SandboxStart& start, Logger& logger, std::chrono::steady_clock::time_point now) {
  if (!start.failure) readAvailable(start, logger);
  if (start.failure) return SandboxStartState::Failed;
  if (start.ended) {
    if (!start.received.empty()) {
      failStep(start, logger, "the helper's last word was cut off");
      return SandboxStartState::Failed;
    }
    if (start.started && start.program == SandboxProgram::Watcher) {
      logger.log("Started the window watcher for AppID " + start.appId + " with pid " +
                 std::to_string(start.helperPid) + " inside its sandbox");
      return SandboxStartState::Started;
    }
    if (start.started) {
      logger.log("Launched Cursello for AppID " + start.appId + " with child pid " + std::to_string(start.helperPid));
      return SandboxStartState::Started;
    }
    // Ended without a word: the exit status names the step, once the helper is gone.
    if (const std::optional<std::string> step = stepOfEndedHelper(start)) {
      failStep(start, logger, *step);
      return SandboxStartState::Failed;
    }
  }
  if (now < start.deadline) return SandboxStartState::Waiting;
  // The program, were it about to start, dies with the helper.
  kill(start.helperPid, SIGKILL);
  failStep(start, logger,
           (start.step.empty() ? std::string("starting the sandbox helper") : start.step) + ": no word within " +
               std::to_string(kSandboxStartTimeout.count()) + " s");
  return SandboxStartState::Failed;
}

}  // namespace cs
