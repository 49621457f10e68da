#include "steam/proton_processes.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

#include "common/text.h"
#include "steam/steam_launch.h"

namespace cs {

namespace {

constexpr const char* kCompatDataPart = "/steamapps/compatdata/";

// The lower half of the 64-bit game id that Steam gives a program the user added to the library himself.
constexpr std::uint64_t kShortcutGameIdLow = 0x02000000;

// Accepts Steam's 64-bit game id of a library shortcut: at most 20 decimal digits within 64 bits, the lower 32
// bits 0x02000000 and the upper 32 bits the shortcut's AppID, e.g. 10739533279498600448 for AppID 2500492446.
// The AppID must be the upper half written plainly, without leading zeros.
bool isShortcutGameIdOf(const std::string& gameId, const std::string& appId) {
  if (gameId.empty() || gameId.size() > 20) return false;
  std::uint64_t value = 0;
  const char* end = gameId.data() + gameId.size();
  const auto [next, error] = std::from_chars(gameId.data(), end, value);
  // from_chars takes no sign and no blanks, and reports a value past 64 bits as out of range.
  if (error != std::errc() || next != end) return false;
  if ((value & 0xFFFFFFFFu) != kShortcutGameIdLow) return false;
  return std::to_string(value >> 32) == appId;
}

// The AppID variables can only veto: Proton's helpers often run without them, so their absence proves nothing.
bool appIdVariablesAllow(const std::optional<std::string>& steamAppId, const std::optional<std::string>& gameId,
                         const std::string& appId) {
  if (steamAppId && *steamAppId == appId) return true;
  // Steam runs a program the user added to the library with SteamAppId "0", which names no store app: the game
  // id, or else the paths, decide for it.
  if (steamAppId && *steamAppId != "0") return false;
  if (gameId) return *gameId == appId || isShortcutGameIdOf(*gameId, appId);
  return true;
}

// The last element of the path, without trailing slashes, when the elements before it end in
// "/steamapps/compatdata": compatPathMatchesAppId(path, id) holds exactly for that id, which has no slash.
std::string compatDataAppIdOf(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  constexpr std::string_view kFolder = "/steamapps/compatdata";
  if (slash == std::string_view::npos || slash + 1 == path.size() || !path.substr(0, slash).ends_with(kFolder)) {
    return {};
  }
  return std::string(path.substr(slash + 1));
}

}  // namespace

ProtonClaim protonClaimOf(const ProcessInfo& info) {
  ProtonClaim claim;
  claim.companion = isCurselloChild(info);
  if (claim.companion) return claim;
  const std::string& environment = environmentBytes(info);
  if (const auto compat = environmentValueIn(environment, "STEAM_COMPAT_DATA_PATH")) {
    claim.compatAppId = compatDataAppIdOf(*compat);
  }
  if (const auto prefix = environmentValueIn(environment, "WINEPREFIX")) {
    std::string_view path = *prefix;
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.ends_with("/pfx")) claim.prefixAppId = compatDataAppIdOf(path.substr(0, path.size() - 4));
    // "…/compatdata/730//pfx" names no prefix of 730: the slashes before "pfx" are not trailing ones.
    if (!claim.prefixAppId.empty() && path.substr(0, path.size() - 4).ends_with('/')) claim.prefixAppId.clear();
  }
  if (claim.compatAppId.empty() && claim.prefixAppId.empty()) return claim;
  if (const auto value = environmentValueIn(environment, "SteamAppId")) claim.steamAppId = std::string(*value);
  if (const auto value = environmentValueIn(environment, "SteamGameId")) claim.steamGameId = std::string(*value);
  return claim;
}

bool claimsProtonOf(const ProtonClaim& claim, const std::string& appId) {
  if (claim.companion || appId.empty()) return false;
  if (claim.compatAppId != appId && claim.prefixAppId != appId) return false;
  return appIdVariablesAllow(claim.steamAppId, claim.steamGameId, appId);
}

bool compatPathMatchesAppId(const std::string& path, const std::string& appId) {
  return endsWith(withoutTrailingSlashes(path), kCompatDataPart + appId);
}

bool winePrefixMatchesAppId(const std::string& path, const std::string& appId) {
  return endsWith(withoutTrailingSlashes(path), kCompatDataPart + appId + "/pfx");
}

bool isProtonCompatProcess(const ProcessInfo& info, const std::string& appId) {
  return claimsProtonOf(protonClaimOf(info), appId);
}

}  // namespace cs
