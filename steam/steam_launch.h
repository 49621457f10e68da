// Recognises the processes through which Steam launches a game, and the companion's own processes.
#ifndef CS_STEAM_STEAM_LAUNCH_H
#define CS_STEAM_STEAM_LAUNCH_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "proc/process_snapshot.h"

namespace cs {

// Returns the AppID of the leftmost "SteamLaunch<white space>AppId=<digits>" in the command line, or no value
// when there is none or it is the companion product's own AppID. Linear in the length of the line.
std::optional<std::string> extractAppId(const std::string& commandLine);

// Returns whether the process is one of the companion's own (its command line names Cursello.exe or
// --proton-child).
bool isCurselloChild(const ProcessInfo& info);

// Returns a copy of the first Steam launch process of the AppID in snapshot order that `usable` allows (asked of
// launch processes of the AppID only), or no value.
std::optional<ProcessInfo> steamLaunchProcessForAppId(const ProcessSnapshot& snapshot, const std::string& appId,
                                                      const ProcessFilter& usable = {});

// Returns the pid of the nearest Steam launch process of the AppID among the process and its ancestors inside the
// snapshot (at most 64 looked at), or no value.
std::optional<std::int32_t> steamLaunchAncestorOf(const ProcessSnapshot& snapshot, std::int32_t pid,
                                                  const std::string& appId);

// Returns the AppIDs of all Steam launch processes, ordered byte-wise.
std::set<std::string> steamLaunchAppIds(const ProcessSnapshot& snapshot);

}  // namespace cs

#endif  // CS_STEAM_STEAM_LAUNCH_H
