// Finds the user's Steam installation and the libraries it lists.
#ifndef CS_STEAM_LIBRARY_ROOTS_H
#define CS_STEAM_LIBRARY_ROOTS_H

#include <filesystem>
#include <string>
#include <vector>

#include "common/file_root.h"

namespace cs {

// Returns ~/.steam/debian-installation and ~/.local/share/Steam, in that order, whether or not they exist.
std::vector<std::filesystem::path> defaultSteamRoots();

// Returns the unescaped values of every quoted "path" key in the text of a libraryfolders.vdf, in text order.
// Linear in the length of the text.
std::vector<std::filesystem::path> libraryPathsFromVdfText(const std::string& text);

// Returns libraryPathsFromVdfText of the file's content; a missing or unreadable file gives the empty list.
std::vector<std::filesystem::path> parseLibraryFolderPaths(const std::filesystem::path& vdfPath,
                                                           const FileRoot& files = FileRoot::host());

// Returns each root and the libraries its steamapps/libraryfolders.vdf lists, lexically normal, each once,
// in first-seen order, the first 256 of them. Nothing is tested for existence.
std::vector<std::filesystem::path> steamLibraryRoots(const std::vector<std::filesystem::path>& roots,
                                                     const FileRoot& files = FileRoot::host());

}  // namespace cs

#endif  // CS_STEAM_LIBRARY_ROOTS_H
