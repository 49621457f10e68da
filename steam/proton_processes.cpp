#include "steam/proton_processes.h"

#include <optional>

#include "common/text.h"
#include "steam/steam_launch.h"

namespace cs {

namespace {

constexpr const char* kCompatDataPart = "/steamapps/compatdata/";

}  // namespace

bool steamAppIdMatchesIfPresent(const ProcessInfo& info, const std::string& appId) {
  // The AppID variables can only veto: Proton's helpers often run without them, so their absence proves nothing.
  if (const std::optional<std::string> value = envValue(info, "SteamAppId")) return *value == appId;
  if (const std::optional<std::string> value = envValue(info, "SteamGameId")) return *value == appId;
  return true;
}

bool compatPathMatchesAppId(const std::string& path, const std::string& appId) {
  return endsWith(withoutTrailingSlashes(path), kCompatDataPart + appId);
}

bool winePrefixMatchesAppId(const std::string& path, const std::string& appId) {
  return endsWith(withoutTrailingSlashes(path), kCompatDataPart + appId + "/pfx");
}

bool isProtonCompatProcess(const ProcessInfo& info, const std::string& appId) {
  // The companion is started with the game's compatdata and prefix variables; it must never count as the game.
  if (isCurselloChild(info)) return false;
  if (!steamAppIdMatchesIfPresent(info, appId)) return false;
  // A compatdata path of another game is no veto: the prefix may still name this one.
  const std::optional<std::string> compatPath = envValue(info, "STEAM_COMPAT_DATA_PATH");
  if (compatPath && compatPathMatchesAppId(*compatPath, appId)) return true;
  const std::optional<std::string> prefix = envValue(info, "WINEPREFIX");
  return prefix && winePrefixMatchesAppId(*prefix, appId);
}

std::set<std::int32_t> protonProcessPidsForAppId(const ProcessSnapshot& snapshot, const std::string& appId) {
  std::set<std::int32_t> pids;
  for (const ProcessInfo& info : snapshot.processes) {
    if (isProtonCompatProcess(info, appId)) pids.insert(info.pid);
  }
  return pids;
}

}  // namespace cs
