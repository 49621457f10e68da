#include "launch/cursello_launch.h"

#include <spawn.h>
#include <sys/types.h>

#include <array>
#include <cstring>
#include <optional>

#include "common/paths.h"
#include "common/text.h"

namespace cs {

namespace {

// Wine's override syntax: load dxgi and d3d11 native first, then built-in, so that Cursello's own hooks win.
constexpr const char* kCurselloDllOverrides = "dxgi=n,b;d3d11=n,b";

// The variables that point the child at the game's prefix; whatever Steam's launch process had for them is
// replaced, because it may name another prefix or carry the game's own overrides.
constexpr std::array<const char*, 4> kControlledNames = {"STEAM_COMPAT_DATA_PATH", "STEAM_COMPAT_CLIENT_INSTALL_PATH",
                                                         "WINEPREFIX", "WINEDLLOVERRIDES"};

// The synchronisation switches that must match the game's wineserver.
constexpr std::array<const char*, 2> kSyncNames = {"WINEESYNC", "WINEFSYNC"};

bool isControlledName(const std::string& name) {
  for (const char* controlled : kControlledNames) {
    if (name == controlled) return true;
  }
  return false;
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

Environment withGameDisplayVariables(const Environment& environment, const ProcessInfo& gameProcess) {
  Environment result = environment;
  for (const char* name : {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DISPLAY"}) {
    if (const std::optional<std::string> value = envValue(gameProcess, name)) {
      result.insert_or_assign(name, *value);
    } else {
      result.erase(name);
    }
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

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string launchLogLine(const std::string& appId, std::int32_t inheritedEnvPid, const LaunchContext& context,
                          const std::filesystem::path& prefix, const std::filesystem::path& exe) {
  const auto quoted = [](const std::filesystem::path& path) {
    std::string text = "\"";
    text += logText(path.string());
    return text + "\"";
  };
  return "Launching Cursello for AppID " + appId + " inherited_env_pid=" + std::to_string(inheritedEnvPid) +
         " compatdata=" + quoted(context.compatDataPath) + " proton_dir=" + quoted(context.protonDir) +
         " wine=" + quoted(context.winePath) + " wineprefix=" + quoted(prefix) + " exe=" + quoted(exe) +
         " WINEDLLOVERRIDES=\"" + kCurselloDllOverrides + "\"";
}

bool reportCurselloMissing(const std::filesystem::path& exePath, Logger& logger, LaunchFailure* failure) {
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
  const std::string message = "Cursello.exe not found: " + listed;
  logger.log(message);
  if (failure != nullptr) {
    failure->kind = LaunchFailureKind::CurselloMissing;
    failure->message = message;
  }
  return false;
}

bool spawnCursello(const std::string& appId, const LaunchContext& context, const std::filesystem::path& exePath,
                   const Environment& inheritedEnv, std::int32_t inheritedEnvPid, Logger& logger,
                   std::int32_t& childPid, LaunchFailure* failure) {
  // Logs the failure's one line and hands the same text to the caller.
  const auto fail = [&](LaunchFailureKind kind, const std::string& message) {
    logger.log(message);
    if (failure != nullptr) {
      failure->kind = kind;
      failure->message = message;
    }
    return false;
  };
  if (!pathExists(exePath)) return reportCurselloMissing(exePath, logger, failure);
  if (!pathExists(context.compatDataPath)) {
    return fail(LaunchFailureKind::CompatDataMissing,
                "Compatdata path not found: " + logText(context.compatDataPath.string()));
  }
  const std::filesystem::path prefix = context.compatDataPath / "pfx";
  if (!pathExists(prefix))
    return fail(LaunchFailureKind::PrefixMissing, "Wine prefix not found: " + logText(prefix.string()));
  if (!pathExists(context.winePath)) {
    return fail(LaunchFailureKind::WineMissing, "Proton wine loader not found: " + logText(context.winePath.string()));
  }

  // The paths come from other processes' command lines and files: written escaped, they cannot forge a line.
  logger.log(launchLogLine(appId, inheritedEnvPid, context, prefix, exePath));
  logger.log("WINEDLLOVERRIDES is applied only to the Cursello child process");

  std::vector<std::string> arguments = launchArguments(appId, context, exePath);
  std::vector<std::string> environment = launchEnvironment(context, inheritedEnv);

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
