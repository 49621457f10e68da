// Decides, by their environment, which processes belong to the Proton run of a game.
#ifndef CS_STEAM_PROTON_PROCESSES_H
#define CS_STEAM_PROTON_PROCESSES_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "proc/process_snapshot.h"

namespace cs {

// Returns false only when SteamAppId (or, without it or when it is "0", SteamGameId) is present and names
// another game. A SteamGameId also names the AppID when it is the 64-bit game id of a library shortcut.
bool steamAppIdMatchesIfPresent(const ProcessInfo& info, const std::string& appId);

// Returns whether the path, without trailing slashes, ends in "/steamapps/compatdata/<appId>".
bool compatPathMatchesAppId(const std::string& path, const std::string& appId);

// Returns whether the path, without trailing slashes, ends in "/steamapps/compatdata/<appId>/pfx".
bool winePrefixMatchesAppId(const std::string& path, const std::string& appId);

// Returns whether the process is a Proton process of the AppID: not a companion, no contradicting AppID
// variable, and a matching STEAM_COMPAT_DATA_PATH or WINEPREFIX.
bool isProtonCompatProcess(const ProcessInfo& info, const std::string& appId);

// What a process's environment says of the game it belongs to, read once and asked for any AppID: a pass with
// many sessions reads no environment more than once.
struct ProtonClaim {
  bool companion = false;   // one of the companion's own processes, which never counts as a game's
  std::string compatAppId;  // what STEAM_COMPAT_DATA_PATH ends in after "/steamapps/compatdata/"; empty for none
  std::string prefixAppId;  // the same of WINEPREFIX, before its "/pfx"
  std::optional<std::string> steamAppId;
  std::optional<std::string> steamGameId;
};

// Returns the claim of the process's environment.
ProtonClaim protonClaimOf(const ProcessInfo& info);

// Returns isProtonCompatProcess of the process whose claim it is.
bool claimsProtonOf(const ProtonClaim& claim, const std::string& appId);

// Returns the pids of the AppID's Proton processes, ascending; empty when there are none.
std::set<std::int32_t> protonProcessPidsForAppId(const ProcessSnapshot& snapshot, const std::string& appId);

// The AppID's Proton processes in a snapshot, as protonProcessPidsForAppId finds them, but judged one process at a
// time and only when asked: a pass needs to know whether there is one at all and whether a window's process or an
// ancestor of it is one, and for that most processes' environments need not be read. Each judgement is kept for
// the life of the matcher, which must not outlive the snapshot.
class ProtonProcessMatcher {
 public:
  ProtonProcessMatcher(const ProcessSnapshot& snapshot, std::string appId);

  // Returns whether the AppID has a Proton process: protonProcessPidsForAppId is not empty.
  bool any() const;
  // Returns the newest of the AppID's Proton processes (the last in the snapshot's order), or null when none.
  const ProcessInfo* newest() const;
  // Returns whether pid is in protonProcessPidsForAppId.
  bool contains(std::int32_t pid) const;

 private:
  bool matchesAt(std::size_t index) const;

  const ProcessSnapshot& snapshot;
  std::string appId;
  mutable std::vector<std::int8_t> verdicts;  // per position in processes: -1 not judged yet, else 0 or 1
};

}  // namespace cs

#endif  // CS_STEAM_PROTON_PROCESSES_H
