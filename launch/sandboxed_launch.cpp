#include "launch/sandboxed_launch.h"

#include <cstring>
#include <optional>

#include "common/file_root.h"
#include "common/paths.h"
#include "common/runtime_dir.h"
#include "launch/cursello_launch.h"
#include "sandbox/game_namespaces.h"
#include "steam/launch_context.h"

namespace cs {

namespace {

constexpr const char* kJoinHelperName = "CurselloSandboxJoin";

// Returns the kind and the log line for a sandbox the user cannot enter.
std::pair<LaunchFailureKind, std::string> refusal(const std::string& appId, std::int32_t pid,
                                                  const JoinVerdict& verdict, const Environment& gameEnv) {
  const std::string head = "Cannot start Cursello for AppID " + appId + ": ";
  if (const auto snap = gameEnv.find("SNAP_NAME"); snap != gameEnv.end()) {
    return {LaunchFailureKind::SnapUnreachable,
            head + "the game runs in Steam's Snap (" + snap->second +
                "), which the launcher cannot reach from outside; Steam from the distribution's package or from "
                "Flathub works with it"};
  }
  const std::string sandbox = "the game's sandbox (pid " + std::to_string(pid) + ")";
  if (verdict.obstacle == JoinObstacle::Unreadable) {
    return {LaunchFailureKind::SandboxClosed,
            head + "the namespaces of " + sandbox + " cannot be opened: " + std::strerror(verdict.error)};
  }
  if (userNamespacesSwitchedOff()) {
    return {LaunchFailureKind::SandboxClosed,
            head + sandbox + " was made with root's rights, since unprivileged user namespaces are switched off"};
  }
  return {LaunchFailureKind::SandboxClosed, head + sandbox + " belongs to root or to another user"};
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

bool startInsideSandbox(const std::string& appId, std::int32_t gamePid, const ProcessSnapshot& snapshot, Logger& logger,
                        std::int32_t& childPid, LaunchFailure& failure) {
  const auto fail = [&](LaunchFailureKind kind, const std::string& message) {
    logger.log(message);
    failure.kind = kind;
    failure.message = message;
    return false;
  };
  ProcessInfo unlisted;
  unlisted.pid = gamePid;
  unlisted.fromProc = true;
  const ProcessInfo* listed = findProcess(snapshot, gamePid);
  const Environment gameEnv = environmentOf(listed != nullptr ? *listed : unlisted);
  logger.log("Game AppID " + appId + " runs in a sandbox (pid " + std::to_string(gamePid) +
             "); starting Cursello inside it");

  const JoinVerdict verdict = planJoin(gamePid);
  if (!verdict.plan) {
    const auto [kind, message] = refusal(appId, gamePid, verdict, gameEnv);
    return fail(kind, message);
  }
  // Every path is the game's: read through its root, where a soft link planted inside cannot lead out.
  const FileRoot gameFiles = FileRoot::ofProcess(gamePid);
  const auto context = findLaunchContext(appId, snapshot, steamRootsOfGame(gameEnv), gameFiles);
  if (!context) return fail(LaunchFailureKind::NoContext, "No usable Steam Proton context found for AppID " + appId);

  const auto home = gameEnv.find("HOME");
  SandboxEntry entry;
  entry.gameFiles = &gameFiles;
  entry.plan = &*verdict.plan;
  entry.helper = executableDir() / kJoinHelperName;
  entry.exeInside = tmpRuntimeDirPath() / "Cursello.exe";
  entry.workingDir = home != gameEnv.end() ? home->second : "/";
  return spawnCursello(appId, *context, curselloExePath(), companionEnvironmentFromGame(gameEnv),
                       gamePid, logger, childPid, &failure, &entry);
}

}  // namespace cs
