// Starts Cursello.exe through a Proton build's own wine loader, inside a game's wine prefix.
#ifndef CS_LAUNCH_CURSELLO_LAUNCH_H
#define CS_LAUNCH_CURSELLO_LAUNCH_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/logger.h"
#include "launch/launch_failure.h"
#include "proc/process_snapshot.h"
#include "steam/launch_context.h"

namespace cs {

// Returns the inherited environment with WINEESYNC and WINEFSYNC added from the game's process where the
// inherited one lacks them: a Wine client whose sync mode differs from its wineserver's exits at once, and
// Proton sets both only after Steam's launch process has started. gameProcess may be null.
Environment withGameSyncSettings(const Environment& inheritedEnv, const ProcessInfo* gameProcess);

// Returns the environment with the game's own display variables in place of its: WAYLAND_DISPLAY, XDG_RUNTIME_DIR
// and DISPLAY as the game's process has them, each left out where the game has none. A game on Wine's Wayland driver
// took it because of them (DISPLAY unset, most often), and a Wine process shows itself where its variables say.
Environment withGameDisplayVariables(const Environment& environment, const ProcessInfo& gameProcess);

// Returns the child's environment as NAME=VALUE strings: the inherited variables, then WINEPREFIX,
// STEAM_COMPAT_DATA_PATH, STEAM_COMPAT_CLIENT_INSTALL_PATH and WINEDLLOVERRIDES, each once and last.
std::vector<std::string> launchEnvironment(const LaunchContext& context, const Environment& inheritedEnv);

// Returns the child's argument vector: wine, Cursello.exe, "--proton-child", "--target-appid", the AppID.
std::vector<std::string> launchArguments(const std::string& appId, const LaunchContext& context,
                                         const std::filesystem::path& exePath);

// Returns the null-terminated pointer array that exec expects; the strings must outlive it.
std::vector<char*> pointersTo(std::vector<std::string>& strings);

// Returns the line that tells where and how the companion starts: "Launching Cursello for AppID <id>
// inherited_env_pid=<pid> compatdata="..." proton_dir="..." wine="..." wineprefix="..." exe="..."
// WINEDLLOVERRIDES="...""; the paths with their control bytes escaped.
std::string launchLogLine(const std::string& appId, std::int32_t inheritedEnvPid, const LaunchContext& context,
                          const std::filesystem::path& prefix, const std::filesystem::path& exe);

// Logs that Cursello.exe is missing at exePath, naming every other place it is looked for too, and, when failure is
// not null, fills in its kind, the message and the directories. Returns false.
bool reportCurselloMissing(const std::filesystem::path& exePath, Logger& logger, LaunchFailure* failure);

// Checks the four paths, logs the launch and starts the wine loader without waiting for it. Returns true and
// sets childPid when the child was started; otherwise logs why, leaves childPid alone and, when failure is not
// null, fills in its kind, the logged message and (for a missing Cursello.exe) the directory it belongs in.
bool spawnCursello(const std::string& appId, const LaunchContext& context, const std::filesystem::path& exePath,
                   const Environment& inheritedEnv, std::int32_t inheritedEnvPid, Logger& logger,
                   std::int32_t& childPid, LaunchFailure* failure = nullptr);

}  // namespace cs

#endif  // CS_LAUNCH_CURSELLO_LAUNCH_H
