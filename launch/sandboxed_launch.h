// The companion of a game that runs in a sandbox of its own (Flatpak Steam, a container inside Steam's Snap): it
// is started inside, through the join helper, or, where the user cannot enter the sandbox, not at all, and the
// player is told why. So is the window watcher of such a game on Wine's Wayland driver. The launcher never waits for
// the helper: it reads the helper's word as it comes.
#ifndef CS_LAUNCH_SANDBOXED_LAUNCH_H
#define CS_LAUNCH_SANDBOXED_LAUNCH_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/logger.h"
#include "common/runtime_dir.h"
#include "launch/launch_failure.h"
#include "proc/process_handle.h"
#include "proc/process_snapshot.h"

namespace cs {

// How long the helper has to say that the companion started, or why not: entering namespaces, looking up a few
// files and copying Cursello.exe take well under a second; a sandbox that holds the helper longer gets no companion.
inline constexpr std::chrono::seconds kSandboxStartTimeout{10};

// What the helper starts inside the sandbox.
enum class SandboxProgram : std::int32_t {
  Companion,  // Cursello.exe, with the companion's arguments
  Watcher,    // the window watcher, its standard output the launcher's pipe
};

// A start inside a game's sandbox whose outcome the helper has yet to tell. Until then the helper's pid belongs
// to this start, not to the session: it is no companion (or watcher) yet.
struct SandboxStart {
  std::string appId;
  SandboxProgram program = SandboxProgram::Companion;
  pid_t helperPid = -1;
  std::int32_t gamePid = -1;  // the window's process, for the launch line
  FileDescriptor status;      // the read end of the helper's status pipe, non-blocking
  std::chrono::steady_clock::time_point deadline;
  std::string received;  // what came and is not yet a whole record
  std::string step;      // the step the helper last said it was taking
  bool started = false;  // "started" came
  bool ended = false;    // the pipe has ended
  bool reaped = false;   // the helper ended without a word and was waited for here
  std::optional<LaunchFailure> failure;
};

enum class SandboxStartState : std::int32_t {
  Waiting,  // nothing decided yet
  Started,  // the program runs: the helper's pid is the session's child (or the watcher's pid) from now on
  Failed,   // nothing runs: the failure is logged; the helper has ended, or is ending
};

// Returns the game's environment less the variables Wine gives each of its processes, WINESERVERSOCKET (one of
// that process's descriptors) and WINEPRELOADRESERVE: a wine that inherits them fails with "Bad server socket".
Environment companionEnvironmentFromGame(const Environment& gameEnv);

// Returns the Steam roots as the game sees them: ~/.steam/debian-installation and ~/.local/share/Steam under its
// own HOME, then $XDG_DATA_HOME/Steam, where older Flatpak installs keep Steam. Empty without an absolute HOME.
std::vector<std::filesystem::path> steamRootsOfGame(const Environment& gameEnv);

// Begins the start of the companion inside the sandbox of the game's process (the window's, held since its pid was
// read): judges whether the user can enter it and starts the join helper beside the launcher, which looks up the
// game's files inside. protonCommandLines: those of the game's Proton processes in the same namespaces, the only
// ones that may name the build the helper looks for in there. Returns the start to follow with
// advanceSandboxStart; no value when nothing was started, with the one line logged in failure.
std::optional<SandboxStart> startInsideSandbox(const std::string& appId, const ProcessHandle& game,
                                               const std::vector<std::string>& protonCommandLines,
                                               const std::filesystem::path& exePath, Logger& logger,
                                               LaunchFailure& failure);

// Begins the start of the window watcher exePath inside the game's sandbox, as startInsideSandbox does the
// companion's, with outputFd (the write end of the launcher's pipe) as the standard output of the helper and of the
// wine it starts. The caller closes its copy once this returns: the pipe then ends when the watcher's copies do.
std::optional<SandboxStart> startWatcherInsideSandbox(const std::string& appId, const ProcessHandle& game,
                                                      const std::vector<std::string>& protonCommandLines,
                                                      const std::filesystem::path& exePath, int outputFd,
                                                      Logger& logger, LaunchFailure& failure);

// Reads what the helper wrote since the last call, without waiting, logs what it says and decides when it can: a
// start is "started" followed by the end of the pipe with nothing after it. Anything else, or nothing decided by
// the deadline (the helper is then killed), is Failed, with start.failure set and logged.
SandboxStartState advanceSandboxStart(SandboxStart& start, Logger& logger, std::chrono::steady_clock::time_point now);

}  // namespace cs

#endif  // CS_LAUNCH_SANDBOXED_LAUNCH_H
