// Decides, by their environment, which processes belong to the Proton run of a game.
#ifndef CS_STEAM_PROTON_PROCESSES_H
#define CS_STEAM_PROTON_PROCESSES_H

#include <optional>
#include <string>

#include "proc/process_snapshot.h"

namespace cs {

// What a process's environment says of the game it belongs to, read once and asked for any AppID: a pass with
// many sessions reads no environment more than once.
struct ProtonClaim {
  bool companion = false;   // one of the companion's own processes, which never counts as a game's
  std::string compatAppId;  // what STEAM_COMPAT_DATA_PATH ends in after "/steamapps/compatdata/"; empty for none
  std::string prefixAppId;  // the same of WINEPREFIX, before its "/pfx"
  std::optional<std::string> steamAppId;
  std::optional<std::string> steamGameId;
};

// Returns whether the path, without trailing slashes, ends in "/steamapps/compatdata/<appId>".
bool compatPathMatchesAppId(const std::string& path, const std::string& appId);

// Returns whether the path, without trailing slashes, ends in "/steamapps/compatdata/<appId>/pfx".
bool winePrefixMatchesAppId(const std::string& path, const std::string& appId);

// Returns the claim of the process's environment.
ProtonClaim protonClaimOf(const ProcessInfo& info);

// Returns whether the claim makes its process a Proton process of the AppID: not a companion, a
// STEAM_COMPAT_DATA_PATH or WINEPREFIX of the AppID, and no AppID variable naming another game. SteamAppId decides
// when present and not "0"; otherwise a SteamGameId names the AppID itself or, for a library shortcut, its 64-bit
// game id.
bool claimsProtonOf(const ProtonClaim& claim, const std::string& appId);

// Returns claimsProtonOf the process's claim.
bool isProtonCompatProcess(const ProcessInfo& info, const std::string& appId);

}  // namespace cs

#endif  // CS_STEAM_PROTON_PROCESSES_H
