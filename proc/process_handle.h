// One process, held from the moment its pid is read: every later read about it goes through a descriptor of its
// /proc directory, so that once it has ended nothing more is read, even when a new process has taken its pid.
#ifndef CS_PROC_PROCESS_HANDLE_H
#define CS_PROC_PROCESS_HANDLE_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/runtime_dir.h"

namespace cs {

class ProcessHandle {
 public:
  ProcessHandle() = default;
  // Opens /proc/<pid>; not ok() when there is no such process.
  static ProcessHandle open(std::int32_t pid);
  // Opens /proc/<pid> for the process that started at startTime (clock ticks after boot, as its stat says); not
  // ok() when the pid is held by another process by now, or by none.
  static ProcessHandle open(std::int32_t pid, std::uint64_t startTime);

  bool ok() const { return directory.get() >= 0; }
  std::int32_t pid() const { return processId; }
  // The descriptor of /proc/<pid>; -1 when not ok().
  int fd() const { return directory.get(); }

  // Opens the file at the path below /proc/<pid> ("environ", "ns/mnt", "root") with the flags (close-on-exec
  // added); -1 once the process has ended, or when the file cannot be opened.
  FileDescriptor openAt(const char* path, int flags) const;
  // The status of the file at the path below /proc/<pid>, soft links followed (so "root/tmp" is the process's
  // /tmp); no value on any error.
  std::optional<struct stat> statAt(const char* path) const;
  // Every byte of the file below /proc/<pid>, up to 1 MiB; empty once the process has ended or on any error.
  std::string read(const char* path) const;
  // Every byte of the file below /proc/<pid> when it holds at most maxBytes: no value when it holds more (nothing
  // longer is ever taken as whole, nor buffered); empty once the process has ended or on any error.
  std::optional<std::string> readAtMost(const char* path, std::size_t maxBytes) const;
  // The start time in the process's stat (clock ticks after boot); 0 once it has ended or on any error.
  std::uint64_t startTime() const;

 private:
  std::int32_t processId = -1;
  FileDescriptor directory;
};

}  // namespace cs

#endif  // CS_PROC_PROCESS_HANDLE_H
