// Gathers where and under which Proton build the companion of a game is to run.
#ifndef CS_STEAM_LAUNCH_CONTEXT_H
#define CS_STEAM_LAUNCH_CONTEXT_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/file_root.h"

namespace cs {

// The four locations of one launch attempt.
struct LaunchContext {
  std::filesystem::path libraryRoot;     // the library holding the game's compatdata folder, lexically normal
  std::filesystem::path compatDataPath;  // libraryRoot/steamapps/compatdata/<AppID>
  std::filesystem::path protonDir;       // the Proton build, lexically normal
  std::filesystem::path winePath;        // protonDir/files/bin/wine, lexically normal
};

// Returns the launch context of the AppID: the running game's build, which is the first of the command lines of
// its Proton processes (in the order given) that names one, else the fallback build, and the first library that
// holds the AppID's compatdata folder; no value when either is missing. Paths are looked up in files and come back
// as they name the files there.
std::optional<LaunchContext> findLaunchContext(const std::string& appId,
                                               const std::vector<std::string>& protonCommandLines,
                                               const std::vector<std::filesystem::path>& roots,
                                               const FileRoot& files = FileRoot::host());

}  // namespace cs

#endif  // CS_STEAM_LAUNCH_CONTEXT_H
