#include "common/file_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "common/paths.h"

namespace cs {

namespace {

// Far more than any file of Steam's that is read through a root (libraryfolders.vdf holds a few kilobytes).
constexpr std::size_t kMaxReadBytes = 1 << 20;

// glibc has no wrapper for openat2.
int openInRoot(int rootFd, const std::filesystem::path& path, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  // RESOLVE_IN_ROOT treats rootFd as "/" for the path and for every soft link met on the way: a link that a
  // sandboxed program planted, pointing at an absolute path, names a file of the sandbox, never one of ours. It
  // also refuses /proc's magic links, which could lead out of the root.
  how.resolve = RESOLVE_IN_ROOT;
  for (;;) {
    const long fd = syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
    // EAGAIN: a rename raced with the walk, which the kernel asks us to retry.
    if (fd < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return static_cast<int>(fd);
  }
}

}  // namespace

FileRoot FileRoot::host() {
  FileRoot files;
  files.isHost = true;
  return files;
}

FileRoot FileRoot::at(const std::filesystem::path& dir) {
  FileRoot files;
  files.root = FileDescriptor(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return files;
}

FileDescriptor FileRoot::open(const std::filesystem::path& path, int flags) const {
  if (root.get() < 0 || path.empty()) return FileDescriptor();
  return FileDescriptor(openInRoot(root.get(), path, flags));
}

bool FileRoot::exists(const std::filesystem::path& path) const {
  if (isHost) return pathExists(path);
  return open(path, O_PATH).get() >= 0;
}

bool FileRoot::isDirectory(const std::filesystem::path& path) const {
  if (isHost) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec) && !ec;
  }
  return open(path, O_PATH | O_DIRECTORY).get() >= 0;
}

std::string FileRoot::read(const std::filesystem::path& path) const {
  if (isHost) return readFile(path);
  // What lies in another root belongs to whoever made it: a FIFO there must not hang us on open or read, nor a
  // huge file fill our memory. Only a regular file is read, and only so far.
  const FileDescriptor fd = open(path, O_RDONLY | O_NONBLOCK);
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  std::string content;
  std::array<char, 4096> chunk{};
  while (content.size() < kMaxReadBytes) {
    const ssize_t count = ::read(fd.get(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    content.append(chunk.data(), static_cast<std::size_t>(count));
  }
  return content;
}

std::optional<std::filesystem::file_time_type> FileRoot::lastWriteTime(const std::filesystem::path& path) const {
  if (isHost) return cs::lastWriteTime(path);
  const FileDescriptor fd = open(path, O_PATH);
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0) return std::nullopt;
  const auto since = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
  return std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(since));
}

std::vector<std::string> FileRoot::entryNames(const std::filesystem::path& path) const {
  std::vector<std::string> names;
  if (isHost) {
    std::error_code ec;
    std::filesystem::directory_iterator it(path, ec);
    // An error while stepping ends the list: the iterator's position after it is not to be trusted.
    for (; !ec && it != std::filesystem::directory_iterator() && names.size() < kMaxEntryNames; it.increment(ec)) {
      names.push_back(it->path().filename().string());
    }
    return names;
  }
  if (root.get() < 0 || path.empty()) return names;
  // The stream takes the descriptor over and closes it.
  const int fd = openInRoot(root.get(), path, O_RDONLY | O_DIRECTORY);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return names;
  }
  while (names.size() < kMaxEntryNames) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

}  // namespace cs
