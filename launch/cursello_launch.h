// Starts Cursello.exe through a Proton build's own wine loader, inside a game's wine prefix.
#ifndef CS_LAUNCH_CURSELLO_LAUNCH_H
#define CS_LAUNCH_CURSELLO_LAUNCH_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/logger.h"
#include "common/file_root.h"
#include "launch/launch_failure.h"
#include "proc/process_snapshot.h"
#include "sandbox/game_namespaces.h"
#include "steam/launch_context.h"

namespace cs {

// How the companion of a game in a sandbox of its own starts: through the join helper beside the launcher, which
// enters the game's namespaces, copies Cursello.exe into the game's /tmp and starts wine in there.
struct SandboxEntry {
  const FileRoot* gameFiles = nullptr;  // the game's files, in which the context's paths are checked
  const JoinPlan* plan = nullptr;       // the namespaces to enter
  std::filesystem::path helper;         // the join helper
  std::filesystem::path exeInside;      // where Cursello.exe goes, as the game sees it
  std::filesystem::path workingDir;     // the companion's working directory, as the game sees it
};

// Returns the inherited environment with WINEESYNC and WINEFSYNC added from the game's process where the
// inherited one lacks them: a Wine client whose sync mode differs from its wineserver's exits at once, and
// Proton sets both only after Steam's launch process has started. gameProcess may be null.
Environment withGameSyncSettings(const Environment& inheritedEnv, const ProcessInfo* gameProcess);

// Returns the child's environment as NAME=VALUE strings: the inherited variables, then WINEPREFIX,
// STEAM_COMPAT_DATA_PATH, STEAM_COMPAT_CLIENT_INSTALL_PATH and WINEDLLOVERRIDES, each once and last.
std::vector<std::string> launchEnvironment(const LaunchContext& context, const Environment& inheritedEnv);

// Returns the child's argument vector: wine, Cursello.exe, "--proton-child", "--target-appid", the AppID.
std::vector<std::string> launchArguments(const std::string& appId, const LaunchContext& context,
                                         const std::filesystem::path& exePath);

// Checks the four paths, logs the launch and starts the wine loader without waiting for it. Returns true and
// sets childPid when the child was started; otherwise logs why, leaves childPid alone and, when failure is not
// null, fills in its kind, the logged message and (for a missing Cursello.exe) the directory it belongs in.
// With a sandbox, the context's paths are those inside it, and the join helper is the child: it has started the
// companion in there when this returns true, and ends with it.
bool spawnCursello(const std::string& appId, const LaunchContext& context, const std::filesystem::path& exePath,
                   const Environment& inheritedEnv, std::int32_t inheritedEnvPid, Logger& logger,
                   std::int32_t& childPid, LaunchFailure* failure = nullptr, const SandboxEntry* sandbox = nullptr);

}  // namespace cs

#endif  // CS_LAUNCH_CURSELLO_LAUNCH_H
