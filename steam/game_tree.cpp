#include "steam/game_tree.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "proc/process_handle.h"
#include "steam/steam_launch.h"

namespace cs {

namespace {

// An ancestor walk looks at the process and at most this many in all; it also ends a cycle of parent links.
constexpr int kMaxWalkedPids = 64;

constexpr std::string_view kDeletedSuffix = " (deleted)";

// The Steam roots as given and as their links resolve: /proc/<pid>/exe names a file by its resolved path.
std::vector<std::filesystem::path> resolvedRoots(const std::vector<std::filesystem::path>& roots) {
  std::vector<std::filesystem::path> resolved;
  for (const std::filesystem::path& root : roots) {
    resolved.push_back(root.lexically_normal());
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(root, error);
    if (!error && canonical != resolved.back()) resolved.push_back(canonical);
  }
  return resolved;
}

// The target of the process's exe link, or empty when it cannot be read.
std::string executableOf(const ProcessHandle& process) {
  char target[PATH_MAX];
  if (!process.ok()) return {};
  const ssize_t length = readlinkat(process.fd(), "exe", target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

// The command line of the held process, within the cap; no value once it has ended or when it is longer.
std::optional<std::string> commandLineOf(const ProcessHandle& process) {
  if (!process.ok()) return std::nullopt;
  const std::optional<std::string> bytes = process.readAtMost("cmdline", kMaxCommandLineBytes);
  if (!bytes) return std::nullopt;
  std::string words = joinNullSeparated(*bytes);
  if (words.empty()) return std::nullopt;
  return words;
}

// Whether both namespace keys name one pid namespace: a sandbox's sub-sandboxes share it, with mounts of their own.
bool samePidNamespace(const std::optional<NamespaceKey>& a, const std::optional<NamespaceKey>& b) {
  return a && b && a->pidDev == b->pidDev && a->pidIno == b->pidIno;
}

}  // namespace

std::optional<std::string> pinnedCommandLine(const ProcessInfo& info) {
  if (!info.fromProc) {
    if (info.commandLineTooLong) return std::nullopt;
    return info.commandLine;
  }
  return commandLineOf(ProcessHandle::open(info.pid, startTimeOf(info)));
}

bool executableLiesIn(std::string_view exeLink, const std::vector<std::filesystem::path>& directories) {
  if (exeLink.ends_with(kDeletedSuffix)) exeLink.remove_suffix(kDeletedSuffix.size());
  if (exeLink.empty() || exeLink.front() != '/') return false;
  const std::filesystem::path file = std::filesystem::path(exeLink).lexically_normal();
  for (const std::filesystem::path& directory : directories) {
    const std::filesystem::path relative = file.lexically_relative(directory.lexically_normal());
    if (!relative.empty() && *relative.begin() != ".." && relative != ".") return true;
  }
  return false;
}

ProcessMemory::Facts* ProcessMemory::of(const ProcessInfo& info) {
  const std::uint64_t startTime = info.fromProc ? startTimeOf(info) : 0;
  if (startTime == 0) return nullptr;
  Facts& facts = entries[info.pid];
  // A pid that another process holds now starts afresh.
  if (facts.startTime != startTime) {
    facts = Facts();
    facts.startTime = startTime;
  }
  facts.asked = true;
  return &facts;
}

bool ProcessMemory::mayReadSandboxEnvironment() {
  if (sandboxReads >= kMaxSandboxReadsPerPass) return false;
  ++sandboxReads;
  return true;
}

void ProcessMemory::endPass() {
  std::erase_if(entries, [](const auto& entry) { return !entry.second.asked; });
  for (auto& [pid, facts] : entries) facts.asked = false;
  sandboxReads = 0;
}

namespace {

// Judges whether the process, whose scanned words name the AppID, is a launch of Steam's that counts.
std::optional<ProcessMemory::Launch> judgeLaunch(const ProcessInfo& info, const std::string& listed, PlaceJudge& judge,
                                                 std::optional<std::vector<std::filesystem::path>>& roots,
                                                 const std::vector<std::filesystem::path>& steamRoots) {
  const ProcessHandle process = ProcessHandle::open(info.pid, startTimeOf(info));
  const std::optional<std::string> words = commandLineOf(process);
  if (!words || extractAppId(*words) != listed) return std::nullopt;
  ProcessMemory::Launch launch;
  launch.appId = listed;
  launch.place = judge.placeOf(process);
  if (launch.place == GamePlace::Host) {
    // Any host program may carry the words (a sandbox's outer process, a program a portal started): only Steam's
    // own executable makes a launch.
    if (!roots) roots = resolvedRoots(steamRoots);
    if (!executableLiesIn(executableOf(process), *roots)) return std::nullopt;
  } else {
    launch.namespaces = namespacesOf(process);
    if (!launch.namespaces) return std::nullopt;
  }
  return launch;
}

}  // namespace

GameTrees::GameTrees(const ProcessSnapshot& snapshot_, PlaceJudge& judge_, ProcessMemory& memory_,
                     const std::vector<std::filesystem::path>& steamRoots)
    : snapshot(snapshot_),
      judge(judge_),
      memory(memory_),
      namespacesRead(snapshot_.processes.size(), 0),
      namespaces(snapshot_.processes.size()) {
  std::optional<std::vector<std::filesystem::path>> roots;  // resolved at the first launch on the host
  std::map<std::string, std::vector<SteamLaunchProcess>> inSandboxes;
  for (const ProcessInfo& info : snapshot.processes) {
    // The scan's words only pick the candidates: what counts is read again from the process held by its start time.
    if (isCurselloChild(info) || info.commandLine.find("SteamLaunch") == std::string::npos) continue;
    const std::optional<std::string> listed = extractAppId(info.commandLine);
    if (!listed) continue;
    // Judged at the first sight of the process; its words at the scan must still name the AppID judged.
    ProcessMemory::Facts* facts = memory.of(info);
    std::optional<ProcessMemory::Launch> judged;
    if (facts == nullptr) {
      judged = judgeLaunch(info, *listed, judge, roots, steamRoots);
    } else {
      if (!facts->launchJudged) {
        facts->launchJudged = true;
        facts->launch = judgeLaunch(info, *listed, judge, roots, steamRoots);
      }
      judged = facts->launch;
    }
    if (!judged || judged->appId != *listed) continue;
    SteamLaunchProcess launch;
    launch.process = &info;
    launch.place = judged->place;
    launch.namespaces = judged->namespaces;
    (launch.place == GamePlace::Host ? gameLaunches : inSandboxes)[*listed].push_back(launch);
  }
  // A game that Steam on the host launched is the host's: a sandbox that claims the same AppID gets nothing of it.
  for (auto& [appId, launches] : inSandboxes) gameLaunches.try_emplace(appId, std::move(launches));
}

std::optional<NamespaceKey> GameTrees::sandboxOf(const std::string& appId) const {
  const auto found = gameLaunches.find(appId);
  if (found == gameLaunches.end() || found->second.empty()) return std::nullopt;
  const SteamLaunchProcess& launch = found->second.front();
  if (launch.place == GamePlace::Host || !launch.namespaces) return std::nullopt;
  // The sandbox is its pid namespace: Steam's sub-sandboxes share it, with mounts of their own.
  NamespaceKey key;
  key.pidDev = launch.namespaces->pidDev;
  key.pidIno = launch.namespaces->pidIno;
  return key;
}

std::size_t GameTrees::positionOf(const ProcessInfo& info) const {
  return static_cast<std::size_t>(&info - snapshot.processes.data());
}

bool GameTrees::claimsAt(std::size_t position, const std::string& appId, bool inSandbox) const {
  const ProcessInfo& info = snapshot.processes[position];
  ProcessMemory::Facts* facts = memory.of(info);
  if (facts == nullptr) return claimsProtonOf(protonClaimOf(info), appId);
  if (!facts->claim) {
    // Not known yet, and past this pass's ration: a later pass reads it.
    if (inSandbox && !memory.mayReadSandboxEnvironment()) return false;
    facts->claim = protonClaimOf(info);
  }
  return claimsProtonOf(*facts->claim, appId);
}

const std::optional<NamespaceKey>& GameTrees::namespacesAt(std::size_t position) const {
  if (namespacesRead[position] == 0) {
    namespacesRead[position] = 1;
    const ProcessInfo& info = snapshot.processes[position];
    ProcessMemory::Facts* facts = memory.of(info);
    if (facts != nullptr && !facts->namespacesRead) {
      facts->namespacesRead = true;
      facts->namespaces = namespacesOf(ProcessHandle::open(info.pid, facts->startTime));
    }
    if (facts != nullptr) namespaces[position] = facts->namespaces;
  }
  return namespaces[position];
}

const ProcessInfo* GameTrees::parentOf(const ProcessInfo& info) const {
  const ProcessInfo* parent = findProcess(snapshot, parentPidOf(info));
  if (parent == nullptr || parent == &info) return nullptr;
  if (parent->fromProc && (startTimeOf(*parent) == 0 || startTimeOf(*parent) > startTimeOf(info))) return nullptr;
  return parent;
}

bool GameTrees::inTree(const std::vector<SteamLaunchProcess>& launches, std::size_t position) const {
  const ProcessInfo& info = snapshot.processes[position];
  if (launches.front().place != GamePlace::Host) {
    const std::optional<NamespaceKey>& own = namespacesAt(position);
    return std::any_of(launches.begin(), launches.end(),
                       [&](const SteamLaunchProcess& launch) { return samePidNamespace(launch.namespaces, own); });
  }
  const ProcessInfo* current = &info;
  for (int step = 0; step < kMaxWalkedPids && current != nullptr; ++step) {
    for (const SteamLaunchProcess& launch : launches) {
      if (current == launch.process) return true;
    }
    current = parentOf(*current);
  }
  return false;
}

bool GameTrees::isProtonProcess(const std::string& appId, std::int32_t pid) const {
  const auto found = gameLaunches.find(appId);
  const ProcessInfo* info = findProcess(snapshot, pid);
  if (found == gameLaunches.end() || info == nullptr) return false;
  const std::size_t position = positionOf(*info);
  return inTree(found->second, position) &&
         claimsAt(position, appId, found->second.front().place != GamePlace::Host);
}

const ProcessInfo* GameTrees::newestProton(const std::string& appId) const {
  const auto found = gameLaunches.find(appId);
  if (found == gameLaunches.end()) return nullptr;
  // A running game's processes are among the newest, and /proc lists pids in ascending order: asking from the end
  // finds one after a few processes. Whether a process is in the tree is asked first: it costs a short read, where
  // its environment may be a long one.
  for (std::size_t position = snapshot.processes.size(); position > 0; --position) {
    if (inTree(found->second, position - 1) &&
        claimsAt(position - 1, appId, found->second.front().place != GamePlace::Host)) {
      return &snapshot.processes[position - 1];
    }
  }
  return nullptr;
}

std::optional<GameWindowOwner> GameTrees::ownerOfWindow(const std::string& appId, std::int32_t windowPid) const {
  const auto found = gameLaunches.find(appId);
  const ProcessInfo* window = findProcess(snapshot, windowPid);
  if (found == gameLaunches.end() || window == nullptr) return std::nullopt;
  const std::vector<SteamLaunchProcess>& launches = found->second;
  GameWindowOwner owner;
  if (launches.front().place == GamePlace::Host) {
    for (const ProcessInfo* current = window; current != nullptr && owner.chain.size() < kMaxWalkedPids;
         current = parentOf(*current)) {
      for (const SteamLaunchProcess& launch : launches) {
        if (current == launch.process) owner.launch = &launch;
      }
      if (owner.launch != nullptr) break;
      owner.chain.push_back(current);
    }
    // Only a window below the launch has its processes' environments read.
    if (owner.launch == nullptr) return std::nullopt;
    for (const ProcessInfo* member : owner.chain) {
      if (claimsAt(positionOf(*member), appId, false)) return owner;
    }
    return std::nullopt;
  }
  // In a sandbox the window's process shares the pid namespace of a launch, and a Proton process of the game is it
  // or one of its ancestors there.
  const std::optional<NamespaceKey>& own = namespacesAt(positionOf(*window));
  if (!own) return std::nullopt;
  for (const SteamLaunchProcess& launch : launches) {
    if (samePidNamespace(launch.namespaces, own)) {
      owner.launch = &launch;
      break;
    }
  }
  if (owner.launch == nullptr) return std::nullopt;
  for (const ProcessInfo* current = window; current != nullptr && owner.chain.size() < kMaxWalkedPids;
       current = parentOf(*current)) {
    if (!samePidNamespace(namespacesAt(positionOf(*current)), own)) break;
    owner.chain.push_back(current);
    if (claimsAt(positionOf(*current), appId, true)) return owner;
  }
  return std::nullopt;
}

std::vector<std::string> GameTrees::protonCommandLinesIn(const std::string& appId,
                                                         const NamespaceKey& wanted) const {
  std::vector<std::string> commandLines;
  const auto found = gameLaunches.find(appId);
  if (found == gameLaunches.end()) return commandLines;
  for (std::size_t position = 0; position < snapshot.processes.size(); ++position) {
    if (namespacesAt(position) != wanted || !inTree(found->second, position) ||
        !claimsAt(position, appId, found->second.front().place != GamePlace::Host)) {
      continue;
    }
    if (std::optional<std::string> words = pinnedCommandLine(snapshot.processes[position])) {
      commandLines.push_back(std::move(*words));
    }
  }
  return commandLines;
}

}  // namespace cs
