#include "proc/process_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "proc/process_snapshot.h"

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

ProcessHandle ProcessHandle::open(std::int32_t pid, std::uint64_t startTime) {
  ProcessHandle handle = open(pid);
  // Asked through the descriptor just opened: what it reads from here on is this process's, or nothing.
  if (handle.ok() && (startTime == 0 || handle.startTime() != startTime)) handle.directory = FileDescriptor();
  return handle;
}

std::uint64_t ProcessHandle::startTime() const {
  const std::optional<std::string> stat = readAtMost("stat", 4096);
  if (!stat) return 0;
  const std::optional<StatFields> fields = statFieldsFrom(*stat);
  return fields ? fields->startTime : 0;
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

std::optional<std::string> ProcessHandle::readAtMost(const char* path, std::size_t maxBytes) const {
  const FileDescriptor file = openAt(path, O_RDONLY);
  std::string bytes;
  if (file.get() < 0) return bytes;
  // Read in chunks: a process's environment is a few kilobytes, and a buffer of the cap made for each read would
  // cost every read the cap. One byte past the cap tells a longer file from one of exactly the cap; the text never
  // grows past it.
  char chunk[16384];
  while (bytes.size() <= maxBytes) {
    const std::size_t wanted = std::min(sizeof chunk, maxBytes + 1 - bytes.size());
    const ssize_t count = ::read(file.get(), chunk, wanted);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    // Past the first chunk the file is a long one: room for the rest at once, not a copy at every doubling.
    if (!bytes.empty() && bytes.capacity() < maxBytes + 1) bytes.reserve(maxBytes + 1);
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
  if (bytes.size() > maxBytes) return std::nullopt;
  return bytes;
}

}  // namespace cs
