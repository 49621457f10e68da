// The files as one process sees them: the launcher's own, or those under another process's root directory, where
// every path and soft link resolves inside that root. Nothing here writes, logs or throws.
#ifndef CS_COMMON_FILE_ROOT_H
#define CS_COMMON_FILE_ROOT_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/runtime_dir.h"

namespace cs {

class FileRoot {
 public:
  // The launcher's own files: each question is the plain file-system call of common/paths.h.
  static FileRoot host();
  // The files under dir as if it were "/": absolute paths and absolute soft links start at dir, and ".." stops
  // there. Not ok() when dir cannot be opened.
  static FileRoot at(const std::filesystem::path& dir);

  bool ok() const { return isHost || root.get() >= 0; }

  // Whether the path names anything (soft links followed); false on any error.
  bool exists(const std::filesystem::path& path) const;
  // Whether the path names a directory (soft links followed); false on any error.
  bool isDirectory(const std::filesystem::path& path) const;
  // Every byte of the file; empty when it cannot be read. Under another root, only a regular file is read, and only
  // its first mebibyte.
  std::string read(const std::filesystem::path& path) const;
  // The modification time (soft links followed), or no value on any error.
  std::optional<std::filesystem::file_time_type> lastWriteTime(const std::filesystem::path& path) const;
  // At most this many names come from one directory: a directory of Steam's holds a few hundred, and one with
  // millions, which anyone who may write there can make, must not hold up the caller for long.
  static constexpr std::size_t kMaxEntryNames = 16384;

  // The names in the directory, "." and ".." left out, in the order the directory yields them, at most
  // kMaxEntryNames; a read error ends the list there, and a directory that cannot be opened gives the empty list.
  std::vector<std::string> entryNames(const std::filesystem::path& path) const;

 private:
  // A descriptor of the path resolved inside the root, opened with the flags; -1 on any error.
  FileDescriptor open(const std::filesystem::path& path, int flags) const;

  bool isHost = false;
  FileDescriptor root;
};

}  // namespace cs

#endif  // CS_COMMON_FILE_ROOT_H
