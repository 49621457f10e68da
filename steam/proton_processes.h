// Decides, by their environment, which processes belong to the Proton run of a game.
#ifndef CS_STEAM_PROTON_PROCESSES_H
#define CS_STEAM_PROTON_PROCESSES_H

#include <cstdint>
#include <set>
#include <string>

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

// Returns the pids of the AppID's Proton processes, ascending; empty when there are none.
std::set<std::int32_t> protonProcessPidsForAppId(const ProcessSnapshot& snapshot, const std::string& appId);

}  // namespace cs

#endif  // CS_STEAM_PROTON_PROCESSES_H
