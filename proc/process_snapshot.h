// The current user's processes, read from /proc once per poll.
#ifndef CS_PROC_PROCESS_SNAPSHOT_H
#define CS_PROC_PROCESS_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace cs {

// One process as /proc showed it.
struct ProcessInfo {
  std::int32_t pid = -1;
  std::int32_t parentPid = -1;  // -1 when stat could not be read
  std::string commandLine;      // arguments joined by single spaces
  std::unordered_map<std::string, std::string> environment;  // first occurrence of a name wins
};

// The processes of the current user at one moment, in /proc listing order.
struct ProcessSnapshot {
  std::vector<ProcessInfo> processes;
  std::unordered_map<std::int32_t, std::size_t> indexByPid;
};

// Reads every process of the real user that has a command line; one that ends mid-read is left out or left
// incomplete. An unreadable /proc gives the empty snapshot.
ProcessSnapshot scanProcesses();

// Returns the value of the variable in the process's environment; an empty value is a present value.
std::optional<std::string> envValue(const ProcessInfo& info, const std::string& name);

// Returns true when pid, or one of its ancestors inside the snapshot, is in pids; at most 64 pids are looked at.
bool isPidInSetOrDescendant(const ProcessSnapshot& snapshot, std::int32_t pid, const std::set<std::int32_t>& pids);

// Returns whether /proc/<pid> exists and is owned by the real user id.
bool isCurrentUserProcess(std::int32_t pid);

// Returns the parent pid from /proc/<pid>/stat, or no value when it cannot be read.
std::optional<std::int32_t> readProcParentPid(std::int32_t pid);

// Returns the parent pid from the text of a stat file, or no value when the text does not hold one.
std::optional<std::int32_t> parentPidFromStat(const std::string& statText);

// Splits NUL-separated bytes into items; empty items are dropped.
std::vector<std::string> splitNullSeparated(const std::string& text);

// Turns NAME=VALUE items into a map; items without "=" are skipped and the first occurrence of a name wins.
std::unordered_map<std::string, std::string> parseEnvironment(const std::vector<std::string>& items);

}  // namespace cs

#endif  // CS_PROC_PROCESS_SNAPSHOT_H
