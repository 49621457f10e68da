#include "proc/process_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace cs {

namespace {

// A process's environment or status is a few kilobytes; a sandbox may make its own larger, and no more is read.
constexpr std::size_t kMaxReadBytes = 1 << 20;

}  // namespace

ProcessHandle ProcessHandle::open(std::int32_t pid) {
  ProcessHandle handle;
  if (pid <= 0) return handle;
  handle.processId = pid;
  // The directory's files are looked up in the process the directory was opened for: once that one has ended,
  // every lookup through the descriptor fails, whatever process holds the pid by then.
  handle.directory = FileDescriptor(::open(("/proc/" + std::to_string(pid)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return handle;
}

FileDescriptor ProcessHandle::openAt(const char* path, int flags) const {
  if (!ok()) return FileDescriptor();
  return FileDescriptor(openat(directory.get(), path, flags | O_CLOEXEC));
}

std::optional<struct stat> ProcessHandle::statAt(const char* path) const {
  struct stat info {};
  if (!ok() || fstatat(directory.get(), path, &info, 0) != 0) return std::nullopt;
  return info;
}

std::string ProcessHandle::read(const char* path) const {
  const FileDescriptor file = openAt(path, O_RDONLY);
  std::string bytes;
  if (file.get() < 0) return bytes;
  char chunk[16384];
  while (bytes.size() < kMaxReadBytes) {
    const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
  if (bytes.size() > kMaxReadBytes) bytes.resize(kMaxReadBytes);
  return bytes;
}

}  // namespace cs
