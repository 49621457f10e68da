// Finds the Proton build a game runs under, and that build's wine loader.
#ifndef CS_STEAM_PROTON_RUNTIME_H
#define CS_STEAM_PROTON_RUNTIME_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/file_root.h"

namespace cs {

// Returns the build's wine loader, protonDir/files/bin/wine; not normalised, not tested.
std::filesystem::path winePathForProtonDir(const std::filesystem::path& protonDir);

// Returns everything in front of the first "/proton" that ends a word and has "/steamapps/common/" at or
// before it, verbatim; no value when there is none.
std::optional<std::filesystem::path> protonDirFromCmdline(const std::string& commandLine);

// Returns the lexically normal build directory that one Proton process's command line names, when that build's wine
// loader exists in files, looking past an interpreter in front of the script; no value otherwise.
std::optional<std::filesystem::path> protonDirFromCommandLine(const std::string& commandLine,
                                                              const FileRoot& files = FileRoot::host());

// Returns whether a steamapps/common entry name may be a Proton build ("Proton..." or "GE-Proton...").
bool isCandidateProtonDirName(const std::string& name);

// Returns the lexically normal wine loader of the preferred installed build: the first "Proton - Experimental",
// else the most recently modified build; no value when no library holds a build with a wine loader.
std::optional<std::filesystem::path> findFallbackWinePath(const std::vector<std::filesystem::path>& roots,
                                                          const FileRoot& files = FileRoot::host());

}  // namespace cs

#endif  // CS_STEAM_PROTON_RUNTIME_H
