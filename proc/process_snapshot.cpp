#include "proc/process_snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "common/paths.h"
#include "common/text.h"

namespace cs {

namespace {

// An ancestor walk looks at the pid and at most this many pids in all; it also ends a cycle of parent links.
constexpr int kMaxWalkedPids = 64;

// Accepts a /proc entry name that is a process directory: only decimal digits, parsed whole, greater than 0
// and within a 32-bit pid. Names such as "self", "+1", " 1", "1a" or a number past 2^31-1 are not pids.
std::optional<std::int32_t> pidFromEntryName(const std::string& name) {
  if (name.empty() || name[0] < '0' || name[0] > '9') return std::nullopt;
  std::int32_t pid = 0;
  const char* end = name.data() + name.size();
  const auto [next, error] = std::from_chars(name.data(), end, pid);
  if (error != std::errc() || next != end || pid <= 0) return std::nullopt;
  return pid;
}

std::filesystem::path procPath(std::int32_t pid) { return std::filesystem::path("/proc") / std::to_string(pid); }

}  // namespace

ProcessSnapshot scanProcesses() {
  ProcessSnapshot snapshot;
  std::error_code ec;
  std::filesystem::directory_iterator it(std::filesystem::path("/proc"), ec);
  if (ec) return snapshot;
  // Processes come and go while /proc is listed: each read that finds nothing just leaves that part out.
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    const std::optional<std::int32_t> pid = pidFromEntryName(name);
    if (!pid || !isCurrentUserProcess(*pid)) continue;

    const std::vector<std::string> args = splitNullSeparated(readFile(it->path() / "cmdline"));
    // Kernel threads, zombies and processes that have just ended have no command line.
    if (args.empty()) continue;

    ProcessInfo info;
    info.pid = *pid;
    info.parentPid = readProcParentPid(*pid).value_or(-1);
    info.commandLine = joinArgs(args);
    info.environment = parseEnvironment(splitNullSeparated(readFile(it->path() / "environ")));
    snapshot.indexByPid.emplace(info.pid, snapshot.processes.size());
    snapshot.processes.push_back(std::move(info));
  }
  return snapshot;
}

std::optional<std::string> envValue(const ProcessInfo& info, const std::string& name) {
  const auto found = info.environment.find(name);
  if (found == info.environment.end()) return std::nullopt;
  return found->second;
}

bool isPidInSetOrDescendant(const ProcessSnapshot& snapshot, std::int32_t pid, const std::set<std::int32_t>& pids) {
  std::int32_t current = pid;
  // A parent of 0 (pid 1's) or -1 (unreadable stat) ends the walk.
  for (int step = 0; step < kMaxWalkedPids && current > 0; ++step) {
    if (pids.contains(current)) return true;
    const auto found = snapshot.indexByPid.find(current);
    if (found == snapshot.indexByPid.end()) return false;
    current = snapshot.processes[found->second].parentPid;
  }
  return false;
}

bool isCurrentUserProcess(std::int32_t pid) {
  struct stat status {};
  if (stat(procPath(pid).c_str(), &status) != 0) return false;
  return status.st_uid == getuid();
}

std::optional<std::int32_t> readProcParentPid(std::int32_t pid) {
  return parentPidFromStat(readFile(procPath(pid) / "stat"));
}

// Reads the parent pid from /proc/<pid>/stat, whose fields (proc(5)) begin
//   (1) pid  (2) comm in parentheses  (3) state, one character  (4) ppid  (5) pgrp ...
// e.g. "123 (a) b) S 45 123 ...". The command name may hold spaces and ")" itself, so it ends at the last ")";
// the fields after it are separated by single spaces.
std::optional<std::int32_t> parentPidFromStat(const std::string& statText) {
  const std::size_t close = statText.rfind(')');
  if (close == std::string::npos || close + 2 >= statText.size()) return std::nullopt;
  std::istringstream fields(statText.substr(close + 2));
  char state = '\0';
  std::int32_t parentPid = -1;
  // Extraction into a 32-bit integer fails on a value out of its range, as on missing digits.
  if (!(fields >> state >> parentPid)) return std::nullopt;
  return parentPid;
}

// Splits the contents of cmdline or environ: items end with a NUL byte, the last one possibly without it (a
// truncated read). "a\0\0b" and "\0a\0" hold the items a and b, and a alone; empty items are dropped.
std::vector<std::string> splitNullSeparated(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

// Turns NAME=VALUE items into a map: the name runs to the first "=" and may be empty ("=x"); the value may be
// empty ("A=") or hold further "=" ("A=b=c"). An item without "=" is no variable.
std::unordered_map<std::string, std::string> parseEnvironment(const std::vector<std::string>& items) {
  std::unordered_map<std::string, std::string> environment;
  environment.reserve(items.size());
  for (const std::string& item : items) {
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) continue;
    // emplace leaves an existing name alone, so the first occurrence wins, as getenv would find it.
    environment.emplace(item.substr(0, equals), item.substr(equals + 1));
  }
  return environment;
}

}  // namespace cs
