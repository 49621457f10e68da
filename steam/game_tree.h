// Steam's own process tree of each game, found anew each pass. Steam starts a game through a process that runs
// Steam's own executable (its reaper, in a Steam root), and the game's Proton script, wine processes and windows
// descend from it. A game is that tree: nothing else on the machine is read for it. A game of a Steam that runs in
// a sandbox is that sandbox's: its processes share the pid namespace of its launch process, and what they say is
// used only inside it.
#ifndef CS_STEAM_GAME_TREE_H
#define CS_STEAM_GAME_TREE_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proc/process_snapshot.h"
#include "sandbox/game_namespaces.h"
#include "steam/proton_processes.h"

namespace cs {

// A process through which Steam launched a game.
struct SteamLaunchProcess {
  const ProcessInfo* process = nullptr;  // in the pass's snapshot, with its start time read
  GamePlace place = GamePlace::Uncompared;
  std::optional<NamespaceKey> namespaces;  // its mount and pid namespaces; always set for one off the host
};

// The processes that tie a game's window to its launch.
struct GameWindowOwner {
  const SteamLaunchProcess* launch = nullptr;
  // The window's process first, then its ancestors: for a game on the host up to the launch process, which is left
  // out; for a game in a sandbox up to the first Proton process of the game, since there Steam's launch need not be
  // an ancestor of the window.
  std::vector<const ProcessInfo*> chain;
};

// What the passes learned of each of the user's processes, kept for as long as it lives (by pid and start time):
// whether it is a launch of Steam's, what its environment claims and where it lives are read once in its life, not
// at every pass, so that a pass costs no more for the hundreds of processes a sandbox may start than a glance at
// each. Reads of environments in sandboxes are rationed per pass besides.
class ProcessMemory {
 public:
  // The most environments of processes in sandboxes read in one pass; the rest wait for later passes.
  static constexpr int kMaxSandboxReadsPerPass = 32;

  // A launch of Steam's, as judged at the first sight of the process.
  struct Launch {
    std::string appId;
    GamePlace place = GamePlace::Uncompared;
    std::optional<NamespaceKey> namespaces;
  };
  struct Facts {
    std::uint64_t startTime = 0;
    bool launchJudged = false;
    std::optional<Launch> launch;  // no value: no launch that counts
    std::optional<ProtonClaim> claim;
    bool namespacesRead = false;
    std::optional<NamespaceKey> namespaces;
    bool asked = false;
  };

  // Returns what is kept of the process, empty for one not seen before; null when its start time cannot be read
  // (it has ended, or the record was not read from /proc), which leaves nothing to keep.
  Facts* of(const ProcessInfo& info);
  // Returns whether one more environment of a process in a sandbox may be read in this pass, counting it.
  bool mayReadSandboxEnvironment();
  // Ends a pass: what is kept of processes no pass asked about in it is let go.
  void endPass();

 private:
  std::map<std::int32_t, Facts> entries;
  int sandboxReads = 0;
};

class GameTrees {
 public:
  // At most this many games are taken from one sandbox at once: a player runs one or two, and each costs a pass.
  static constexpr std::size_t kMaxGamesPerSandbox = 4;

  // Finds the games' launch processes in the snapshot: a host process counts only when its executable lies in one
  // of the Steam roots; a process in a sandbox counts for that sandbox. An AppID launched on the host takes no
  // launch of a sandbox. The snapshot and the judge must outlive this.
  GameTrees(const ProcessSnapshot& snapshot, PlaceJudge& judge, ProcessMemory& memory,
            const std::vector<std::filesystem::path>& steamRoots);

  // The launch processes of each AppID that has one, by AppID in byte-wise order.
  const std::map<std::string, std::vector<SteamLaunchProcess>>& launches() const { return gameLaunches; }
  // The pid namespace of the sandbox the game was launched in; no value for a game on the host.
  std::optional<NamespaceKey> sandboxOf(const std::string& appId) const;

  // Whether the process at that pid is a Proton process of the game: the AppID's by its environment, and in the
  // game's tree (a descendant of a launch process on the host, or in the pid namespace of one in a sandbox).
  bool isProtonProcess(const std::string& appId, std::int32_t pid) const;
  // The newest Proton process of the game (the last in the snapshot's order), or null.
  const ProcessInfo* newestProton(const std::string& appId) const;
  // How the window's process belongs to the game: no value when it is not in the game's tree, or no Proton process
  // of the game is among it and its ancestors.
  std::optional<GameWindowOwner> ownerOfWindow(const std::string& appId, std::int32_t windowPid) const;
  // The command lines of the game's Proton processes that live in exactly these namespaces, in listing order, as
  // each says it now.
  std::vector<std::string> protonCommandLinesIn(const std::string& appId, const NamespaceKey& namespaces) const;

 private:
  std::size_t positionOf(const ProcessInfo& info) const;
  // Whether the process at the position claims to be a Proton process of the AppID, as far as is known.
  bool claimsAt(std::size_t position, const std::string& appId, bool inSandbox) const;
  const std::optional<NamespaceKey>& namespacesAt(std::size_t position) const;
  bool inTree(const std::vector<SteamLaunchProcess>& launches, std::size_t position) const;
  // The parent of the process in the snapshot, when it is the process that started it: one that began later holds a
  // pid that its parent's had.
  const ProcessInfo* parentOf(const ProcessInfo& info) const;

  const ProcessSnapshot& snapshot;
  PlaceJudge& judge;
  std::map<std::string, std::vector<SteamLaunchProcess>> gameLaunches;
  ProcessMemory& memory;
  // Per position in the snapshot, taken from memory (or read) when first asked.
  mutable std::vector<std::int8_t> namespacesRead;
  mutable std::vector<std::optional<NamespaceKey>> namespaces;
};

// Returns the process's command line read again through a handle pinned to its start time: the words of the process
// the pass judged, whatever holds its pid by now. No value when it has ended or its line is longer than the cap.
std::optional<std::string> pinnedCommandLine(const ProcessInfo& info);

// Returns whether the target of a /proc/<pid>/exe link names a file below one of the directories; a file that a
// Steam update replaced while it ran (the link then ends in " (deleted)") still counts.
bool executableLiesIn(std::string_view exeLink, const std::vector<std::filesystem::path>& directories);

}  // namespace cs

#endif  // CS_STEAM_GAME_TREE_H
