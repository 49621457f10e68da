// File-system helpers shared by every subsystem. None of them throws, logs or keeps state: a missing file,
// an unset variable or an unreadable directory gives an empty or absent result.
#ifndef CS_COMMON_PATHS_H
#define CS_COMMON_PATHS_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace cs {

// Returns $HOME unchanged, or the empty path when it is unset or empty.
std::filesystem::path homePath();

// Expands "~" and a leading "~/" with homePath(); any other text comes back as a path, unchanged.
std::filesystem::path expandHome(const std::string& text);

// Returns true when the path's status (soft links followed) can be read and it exists; false on any error.
bool pathExists(const std::filesystem::path& path);

// Returns the directory that holds the running executable, else the current directory, else the empty path.
std::filesystem::path executableDir();

// Returns where Cursello.exe is looked for, in this order: beside the running executable, then in the user's data
// directory, $XDG_DATA_HOME/CurselloLinuxLauncher/ (~/.local/share/CurselloLinuxLauncher/ when XDG_DATA_HOME is
// unset, empty or relative; left out when HOME is unset too).
std::vector<std::filesystem::path> curselloExePlaces();

// Returns the first of curselloExePlaces() that exists, else the first of them.
std::filesystem::path curselloExePath();

// Returns every byte of the file, NUL bytes included; the empty string when it cannot be opened.
std::string readFile(const std::filesystem::path& path);

// Returns the modification time of the path (soft links followed), or no value on any error.
std::optional<std::filesystem::file_time_type> lastWriteTime(const std::filesystem::path& path);

}  // namespace cs

#endif  // CS_COMMON_PATHS_H
