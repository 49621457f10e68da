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

// The most of another process's command line and environment that is ever read. Steam's and Proton's are a few
// KiB; anyone can make theirs a gigabyte long at no cost, and a longer one is no Steam or Proton process's.
inline constexpr std::size_t kMaxCommandLineBytes = 64 * 1024;
inline constexpr std::size_t kMaxEnvironmentBytes = 256 * 1024;

// One process as /proc showed it. The scan reads only the command line, which every pass needs; the parent pid,
// the start time and the environment are read from /proc when a rule first asks for them (parentPidOf,
// startTimeOf, envValue, environmentOf) and then kept for the rest of the pass, so that a pass without a game
// reads no more than that. The start time is read first, with the parent pid, and the environment and everything
// read later of the process goes through a handle whose start time is that one: a pid that passed to another
// process meanwhile gives nothing.
struct ProcessInfo {
  std::int32_t pid = -1;
  std::string commandLine;  // arguments joined by single spaces; empty when it was longer than the cap
  // No value: not read yet. -1 when stat could not be read.
  mutable std::optional<std::int32_t> parentPid;
  // No value: not read yet. Otherwise the environ bytes as read: NAME=VALUE items separated by NUL bytes; empty
  // when they could not be read or were longer than the cap.
  mutable std::optional<std::string> environment;
  // Made by scanProcesses, so a part not read yet is read from /proc/<pid>. A record made otherwise has nothing
  // more to read: a part it lacks counts as unreadable.
  bool fromProc = false;
  bool commandLineTooLong = false;
  // Clock ticks after boot (field 22 of stat); 0 when not read yet or unreadable. Read with the parent pid.
  mutable std::uint64_t startTime = 0;
  mutable bool environmentTooLong = false;
};

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

// Returns the start time of the process, reading it (with the parent pid) on first use; 0 when it cannot be read.
std::uint64_t startTimeOf(const ProcessInfo& info);

// Returns the environ bytes of the process, reading them on first use; empty when they cannot be read or are longer
// than kMaxEnvironmentBytes (environmentTooLong then says so).
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

// The fields of a stat file that tie a process to its parent and tell it from a later process with its pid.
struct StatFields {
  std::int32_t parentPid = -1;
  std::uint64_t startTime = 0;
};

// Returns the parent pid (field 4) and the start time (field 22) from the text of a stat file, or no value when
// the text does not hold both. Linear in the length of the text.
std::optional<StatFields> statFieldsFrom(std::string_view statText);

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
