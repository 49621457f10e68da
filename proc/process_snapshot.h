// The current user's processes, read from /proc once per poll.
#ifndef CS_PROC_PROCESS_SNAPSHOT_H
#define CS_PROC_PROCESS_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cs {

using Environment = std::unordered_map<std::string, std::string>;

// One process as /proc showed it. The scan reads only the command line, which every pass needs; the parent pid
// and the environment are read from /proc when a rule first asks for them (parentPidOf, envValue,
// environmentOf) and then kept for the rest of the pass, so that a pass without a game reads no more than that.
struct ProcessInfo {
  std::int32_t pid = -1;
  std::string commandLine;  // arguments joined by single spaces
  // No value: not read yet. -1 when stat could not be read.
  mutable std::optional<std::int32_t> parentPid;
  // No value: not read yet. Otherwise the environ bytes as read: NAME=VALUE items separated by NUL bytes.
  mutable std::optional<std::string> environment;
  // Made by scanProcesses, so a part not read yet is read from /proc/<pid>. A record made otherwise has nothing
  // more to read: a part it lacks counts as unreadable.
  bool fromProc = false;
};

// Whether anything (environment, command line) may be taken from the process for a game's companion; an empty
// filter takes from every process.
using ProcessFilter = std::function<bool(const ProcessInfo&)>;

// The processes of the current user at one moment, in /proc listing order.
struct ProcessSnapshot {
  std::vector<ProcessInfo> processes;
  // (pid, position in processes), ordered by pid and then position: the ancestor walk's lookup.
  std::vector<std::pair<std::int32_t, std::size_t>> indexByPid;
};

// Reads every process of the real user that has a command line; one that ends mid-read is left out, or later
// lacks its parent pid or environment. An unreadable /proc gives the empty snapshot.
ProcessSnapshot scanProcesses();

// Returns a snapshot of the given processes, in the given order, with its index built.
ProcessSnapshot snapshotOf(std::vector<ProcessInfo> processes);

// Returns the process with that pid (the first one, were a pid listed twice), or null.
const ProcessInfo* findProcess(const ProcessSnapshot& snapshot, std::int32_t pid);

// Returns the parent pid of the process, reading it on first use; -1 when it cannot be read.
std::int32_t parentPidOf(const ProcessInfo& info);

// Returns the environ bytes of the process, reading them on first use; empty when they cannot be read.
const std::string& environmentBytes(const ProcessInfo& info);

// Returns the value of the variable in the process's environment; an empty value is a present value.
std::optional<std::string> envValue(const ProcessInfo& info, const std::string& name);

// Returns the process's whole environment as a map; the first occurrence of a name wins.
Environment environmentOf(const ProcessInfo& info);

// Returns true when pid, or one of its ancestors inside the snapshot, is in pids; at most 64 pids are looked at.
bool isPidInSetOrDescendant(const ProcessSnapshot& snapshot, std::int32_t pid, const std::set<std::int32_t>& pids);

// The same walk, asking isWanted of each pid on it in turn, from pid upwards, until one is wanted.
bool isPidOrAncestorWanted(const ProcessSnapshot& snapshot, std::int32_t pid,
                           const std::function<bool(std::int32_t)>& isWanted);

// Returns whether /proc/<pid> exists and is owned by the real user id.
bool isCurrentUserProcess(std::int32_t pid);

// Returns the parent pid from /proc/<pid>/stat, or no value when it cannot be read.
std::optional<std::int32_t> readProcParentPid(std::int32_t pid);

// Returns the parent pid from the text of a stat file, or no value when the text does not hold one.
std::optional<std::int32_t> parentPidFromStat(std::string_view statText);

// Splits NUL-separated bytes into items; empty items are dropped.
std::vector<std::string> splitNullSeparated(std::string_view text);

// Returns the non-empty NUL-separated items joined by single spaces: joinArgs(splitNullSeparated(text)), without
// the list in between.
std::string joinNullSeparated(std::string_view text);

// Turns NAME=VALUE items into a map; items without "=" are skipped and the first occurrence of a name wins.
Environment parseEnvironment(const std::vector<std::string>& items);

// Returns the value of the variable in NUL-separated NAME=VALUE items, found in place: the value that
// parseEnvironment(splitNullSeparated(items)) would hold for the name, or no value.
std::optional<std::string_view> environmentValueIn(std::string_view items, std::string_view name);

}  // namespace cs

#endif  // CS_PROC_PROCESS_SNAPSHOT_H
