// Recognises the processes through which Steam launches a game, and the companion's own processes.
#ifndef CS_STEAM_STEAM_LAUNCH_H
#define CS_STEAM_STEAM_LAUNCH_H

#include <optional>
#include <string>

#include "proc/process_snapshot.h"

namespace cs {

// Returns the AppID of the leftmost "SteamLaunch<white space>AppId=<digits>" in the command line, or no value
// when there is none or it is the companion product's own AppID. Linear in the length of the line.
std::optional<std::string> extractAppId(const std::string& commandLine);

// Returns whether the process is one of the companion's own (its command line names Cursello.exe or
// --proton-child).
bool isCurselloChild(const ProcessInfo& info);

}  // namespace cs

#endif  // CS_STEAM_STEAM_LAUNCH_H
