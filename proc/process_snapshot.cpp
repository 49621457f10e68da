#include "proc/process_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <sstream>
#include <system_error>

#include "proc/process_handle.h"

namespace cs {

namespace {

// An ancestor walk looks at the pid and at most this many pids in all; it also ends a cycle of parent links.
constexpr int kMaxWalkedPids = 64;

// Accepts a /proc entry name that is a process directory: only decimal digits, parsed whole, greater than 0
// and within a 32-bit pid. Names such as "self", "+1", " 1", "1a" or a number past 2^31-1 are not pids.
std::optional<std::int32_t> pidFromEntryName(std::string_view name) {
  if (name.empty() || name[0] < '0' || name[0] > '9') return std::nullopt;
  std::int32_t pid = 0;
  const char* end = name.data() + name.size();
  const auto [next, error] = std::from_chars(name.data(), end, pid);
  if (error != std::errc() || next != end || pid <= 0) return std::nullopt;
  return pid;
}

// "<pid>/<file>", relative to /proc, in a fixed buffer: a pass forms one or two of these per process, and a path
// object or a formatted print for each would cost more than the open.
class ProcFilePath {
 public:
  ProcFilePath(std::int32_t pid, std::string_view file) {
    char* end = std::to_chars(text, text + 16, pid).ptr;
    *end++ = '/';
    end = std::copy(file.begin(), file.end(), end);
    *end = '\0';
  }
  const char* c_str() const { return text; }

 private:
  char text[48];
};

// /proc, opened once for the program's life: every per-process file is opened relative to it, which spares the
// kernel one path step per open. Close-on-exec, so that no companion inherits it; retried while it fails.
int procDirectory() {
  static int fd = -1;
  if (fd < 0) fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// The one read buffer of the program's /proc reads, reused by every pass: one byte more than the longest file that
// is ever read whole, and never more.
std::string& readBuffer() {
  static std::string buffer(std::max(kMaxCommandLineBytes, std::size_t{4096}) + 1, '\0');
  return buffer;
}

// Reads the open file into the read buffer, at most maxBytes + 1 of it, and returns a view of its bytes; no value
// when it holds more than maxBytes. A procfs file answers a read with all it holds up to the size asked for, so a
// short read is its end: that saves a second read per file. What a read costs the kernel grows with what is asked,
// so a gigabyte-long command line costs no more than one of the cap.
std::optional<std::string_view> readAtMost(int fd, std::size_t maxBytes) {
  std::string& buffer = readBuffer();
  const std::size_t wanted = std::min(maxBytes + 1, buffer.size());
  std::size_t used = 0;
  for (;;) {
    const ssize_t count = read(fd, buffer.data() + used, wanted - used);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // end of file, or a read error that ends the content here
    used += static_cast<std::size_t>(count);
    if (used >= wanted) break;
  }
  if (used > maxBytes) return std::nullopt;
  return std::string_view(buffer.data(), used);
}

// Reads /proc/<pid>/<file> whole when it is short; empty when it cannot be opened (the process has ended, or is not
// ours) or is longer than maxBytes.
std::string_view readProcFile(std::int32_t pid, std::string_view file, std::size_t maxBytes) {
  const int fd = openat(procDirectory(), ProcFilePath(pid, file).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const std::optional<std::string_view> bytes = readAtMost(fd, maxBytes);
  close(fd);
  return bytes.value_or(std::string_view());
}

// A stat line is a few hundred bytes; the command name in it is at most 64.
constexpr std::size_t kMaxStatBytes = 4096;

// Reads the parent pid and the start time together, once: the first read of anything but the command line.
void readStatFields(const ProcessInfo& info) {
  if (info.parentPid) return;
  const std::optional<StatFields> fields =
      info.fromProc ? statFieldsFrom(readProcFile(info.pid, "stat", kMaxStatBytes)) : std::nullopt;
  info.parentPid = fields ? fields->parentPid : -1;
  info.startTime = fields ? fields->startTime : 0;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

ProcessSnapshot scanProcesses() {
  const int procFd = procDirectory();
  if (procFd < 0) return {};
  // A listing of its own each pass: /proc changes under it, and a fresh descriptor starts at its beginning.
  const std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
  if (!dir) return {};
  const uid_t user = getuid();
  std::vector<ProcessInfo> processes;
  processes.reserve(512);
  // Processes come and go while /proc is listed: each read that finds nothing just leaves that part out.
  while (const dirent* entry = readdir(dir.get())) {
    const std::optional<std::int32_t> pid = pidFromEntryName(entry->d_name);
    if (!pid) continue;
    // The owner is asked of the open cmdline: procfs gives every file of a process the owner of its directory,
    // and one open then serves both the owner check and the read.
    const int fd = openat(procFd, ProcFilePath(*pid, "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat status {};
    if (fstat(fd, &status) != 0 || status.st_uid != user) {
      close(fd);
      continue;
    }
    const std::optional<std::string_view> bytes = readAtMost(fd, kMaxCommandLineBytes);
    std::string commandLine = bytes ? joinNullSeparated(*bytes) : std::string();
    close(fd);
    // Kernel threads, zombies and processes that have just ended have no command line. One longer than the cap
    // stays in the snapshot, without its words: processes below it still find their ancestors.
    if (bytes && commandLine.empty()) continue;
    ProcessInfo& info = processes.emplace_back();
    info.pid = *pid;
    info.commandLine = std::move(commandLine);
    info.commandLineTooLong = !bytes;
    info.fromProc = true;
  }
  return snapshotOf(std::move(processes));
}

ProcessSnapshot snapshotOf(std::vector<ProcessInfo> processes) {
  ProcessSnapshot snapshot;
  snapshot.processes = std::move(processes);
  snapshot.indexByPid.reserve(snapshot.processes.size());
  for (std::size_t i = 0; i < snapshot.processes.size(); ++i) {
    snapshot.indexByPid.emplace_back(snapshot.processes[i].pid, i);
  }
  // /proc lists pids in ascending order, so this is nearly free; the position breaks ties, first one first.
  std::sort(snapshot.indexByPid.begin(), snapshot.indexByPid.end());
  return snapshot;
}

const ProcessInfo* findProcess(const ProcessSnapshot& snapshot, std::int32_t pid) {
  const auto found = std::lower_bound(snapshot.indexByPid.begin(), snapshot.indexByPid.end(), pid,
                                      [](const auto& entry, std::int32_t wanted) { return entry.first < wanted; });
  if (found == snapshot.indexByPid.end() || found->first != pid || found->second >= snapshot.processes.size()) {
    return nullptr;
  }
  return &snapshot.processes[found->second];
}

std::int32_t parentPidOf(const ProcessInfo& info) {
  readStatFields(info);
  return *info.parentPid;
}

std::uint64_t startTimeOf(const ProcessInfo& info) {
  readStatFields(info);
  return info.startTime;
}

const std::string& environmentBytes(const ProcessInfo& info) {
  if (info.environment) return *info.environment;
  info.environment.emplace();
  if (!info.fromProc) return *info.environment;
  // Through a handle of the process whose start time the pass holds: a process that took the pid since gives
  // nothing, so that no rule mixes its environment with what was read of the first one.
  const ProcessHandle process = ProcessHandle::open(info.pid, startTimeOf(info));
  if (!process.ok()) return *info.environment;
  std::optional<std::string> bytes = process.readAtMost("environ", kMaxEnvironmentBytes);
  if (bytes) {
    info.environment = std::move(*bytes);
  } else {
    info.environmentTooLong = true;
  }
  return *info.environment;
}

std::optional<std::string> envValue(const ProcessInfo& info, const std::string& name) {
  const std::optional<std::string_view> value = environmentValueIn(environmentBytes(info), name);
  if (!value) return std::nullopt;
  return std::string(*value);
}

Environment environmentOf(const ProcessInfo& info) {
  return parseEnvironment(splitNullSeparated(environmentBytes(info)));
}

bool isPidInSetOrDescendant(const ProcessSnapshot& snapshot, std::int32_t pid, const std::set<std::int32_t>& pids) {
  return isPidOrAncestorWanted(snapshot, pid, [&](std::int32_t current) { return pids.contains(current); });
}

bool isPidOrAncestorWanted(const ProcessSnapshot& snapshot, std::int32_t pid,
                           const std::function<bool(std::int32_t)>& isWanted) {
  std::int32_t current = pid;
  // A parent of 0 (pid 1's) or -1 (unreadable stat) ends the walk.
  for (int step = 0; step < kMaxWalkedPids && current > 0; ++step) {
    if (isWanted(current)) return true;
    const ProcessInfo* info = findProcess(snapshot, current);
    if (info == nullptr) return false;
    current = parentPidOf(*info);
  }
  return false;
}

bool isCurrentUserProcess(std::int32_t pid) {
  struct stat status {};
  if (pid <= 0 || fstatat(procDirectory(), std::to_string(pid).c_str(), &status, 0) != 0) return false;
  return status.st_uid == getuid();
}

std::optional<std::int32_t> readProcParentPid(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  return parentPidFromStat(readProcFile(pid, "stat", kMaxStatBytes));
}

// Reads the parent pid from /proc/<pid>/stat, whose fields (proc(5)) begin
//   (1) pid  (2) comm in parentheses  (3) state, one character  (4) ppid  (5) pgrp ...
// e.g. "123 (a) b) S 45 123 ...". The command name may hold spaces and ")" itself, so it ends at the last ")";
// the fields after it are separated by single spaces.
std::optional<std::int32_t> parentPidFromStat(std::string_view statText) {
  const std::size_t close = statText.rfind(')');
  if (close == std::string_view::npos || close + 2 >= statText.size()) return std::nullopt;
  std::istringstream fields(std::string(statText.substr(close + 2)));
  char state = '\0';
  std::int32_t parentPid = -1;
  // Extraction into a 32-bit integer fails on a value out of its range, as on missing digits.
  if (!(fields >> state >> parentPid)) return std::nullopt;
  return parentPid;
}

// The fields after the command name, as for parentPidFromStat: (3) state (4) ppid ... (22) starttime. Each is
// one run of non-blank bytes; the kernel writes them with single spaces.
std::optional<StatFields> statFieldsFrom(std::string_view statText) {
  const std::optional<std::int32_t> parentPid = parentPidFromStat(statText);
  if (!parentPid) return std::nullopt;
  std::string_view rest = statText.substr(statText.rfind(')') + 2);
  constexpr int kStartTimeField = 22;
  constexpr int kFirstFieldAfterName = 3;
  for (int field = kFirstFieldAfterName; field < kStartTimeField; ++field) {
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(blank + 1);
  }
  rest = rest.substr(0, rest.find_first_of(" \n"));
  StatFields fields;
  fields.parentPid = *parentPid;
  const auto [next, error] = std::from_chars(rest.data(), rest.data() + rest.size(), fields.startTime);
  if (error != std::errc() || next != rest.data() + rest.size() || rest.empty()) return std::nullopt;
  return fields;
}

// Splits the contents of cmdline or environ: items end with a NUL byte, the last one possibly without it (a
// truncated read). "a\0\0b" and "\0a\0" hold the items a and b, and a alone; empty items are dropped.
std::vector<std::string> splitNullSeparated(std::string_view text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) items.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

// Joins the items of a cmdline as splitNullSeparated and joinArgs would: "a\0\0b\0" gives "a b", "\0a" gives "a".
std::string joinNullSeparated(std::string_view text) {
  std::string joined;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) {
      if (!joined.empty()) joined.push_back(' ');
      joined.append(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return joined;
}

// Turns NAME=VALUE items into a map: the name runs to the first "=" and may be empty ("=x"); the value may be
// empty ("A=") or hold further "=" ("A=b=c"). An item without "=" is no variable.
Environment parseEnvironment(const std::vector<std::string>& items) {
  Environment environment;
  environment.reserve(items.size());
  for (const std::string& item : items) {
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) continue;
    // emplace leaves an existing name alone, so the first occurrence wins, as getenv would find it.
    environment.emplace(item.substr(0, equals), item.substr(equals + 1));
  }
  return environment;
}

// Finds NAME=VALUE in environ bytes without splitting them: the first item that begins with the name followed by
// "=" holds the value, which runs to the next NUL or the end. An item begins at the start or after a NUL, so an
// occurrence inside a value ("A=NAME=x") or an item without "=" ("NAME") is passed over, as the map would.
std::optional<std::string_view> environmentValueIn(std::string_view items, std::string_view name) {
  for (std::size_t pos = items.find(name); pos != std::string_view::npos; pos = items.find(name, pos + 1)) {
    const std::size_t equals = pos + name.size();
    if ((pos != 0 && items[pos - 1] != '\0') || equals >= items.size() || items[equals] != '=') continue;
    const std::size_t valueStart = equals + 1;
    const std::size_t end = items.find('\0', valueStart);
    return items.substr(valueStart, end == std::string_view::npos ? std::string_view::npos : end - valueStart);
  }
  return std::nullopt;
}

}  // namespace cs
