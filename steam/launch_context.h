// Gathers where and under which Proton build the companion of a game is to run.
#ifndef CS_STEAM_LAUNCH_CONTEXT_H
#define CS_STEAM_LAUNCH_CONTEXT_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/file_root.h"
#include "proc/process_snapshot.h"

namespace cs {

// The four locations of one launch attempt.
struct LaunchContext {
  std::filesystem::path libraryRoot;     // the library holding the game's compatdata folder, lexically normal
  std::filesystem::path compatDataPath;  // libraryRoot/steamapps/compatdata/<AppID>
  std::filesystem::path protonDir;       // the Proton build, lexically normal
  std::filesystem::path winePath;        // protonDir/files/bin/wine, lexically normal
};

// Returns the launch context of the AppID: the running game's build (else the fallback build) and the first
// library that holds its compatdata folder; no value when either is missing. Paths are looked up in files and
// come back as they name the files there. The running game's build is taken only from processes `usable` allows.
std::optional<LaunchContext> findLaunchContext(const std::string& appId, const ProcessSnapshot& snapshot,
                                               const std::vector<std::filesystem::path>& roots,
                                               const FileRoot& files = FileRoot::host(),
                                               const ProcessFilter& usable = {});

// findLaunchContext with the running build named by the command lines of the game's Proton processes, in order:
// for a lookup made where no snapshot of the game's processes can be taken.
std::optional<LaunchContext> findLaunchContextForCommandLines(const std::string& appId,
                                                              const std::vector<std::string>& protonCommandLines,
                                                              const std::vector<std::filesystem::path>& roots,
                                                              const FileRoot& files = FileRoot::host());

}  // namespace cs

#endif  // CS_STEAM_LAUNCH_CONTEXT_H
