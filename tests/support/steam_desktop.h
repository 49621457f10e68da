// A simulated Steam desktop for end-to-end runs of the real launcher: a temporary HOME with a Steam library, a
// Proton build whose wine loader is a recording stand-in, a game's compatdata and prefix, the launcher copied
// beside a stand-in Cursello.exe, and the Steam launch and Proton processes of games, all real processes.
#ifndef CS_TESTS_SUPPORT_STEAM_DESKTOP_H
#define CS_TESTS_SUPPORT_STEAM_DESKTOP_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {

// One log line of the launcher, split at its timestamp.
struct LogLine {
  std::string time;     // "%Y-%m-%d %H:%M:%S"; empty for a line without timestamp (another process's output)
  std::string message;  // the text after the timestamp and one space
};

class SteamDesktop {
 public:
  // display: the X display the launcher and the game windows use (may be empty for none).
  // busAddress: the D-Bus session bus for the tray (may be empty).
  // user: who runs the launcher and the games; root by default. A user's desktop lives under /var/tmp, which
  // sandboxes share while they hide /tmp.
  SteamDesktop(std::string display, std::string busAddress, std::optional<TestUser> user = std::nullopt);
  ~SteamDesktop();
  SteamDesktop(const SteamDesktop&) = delete;
  SteamDesktop& operator=(const SteamDesktop&) = delete;

  const std::filesystem::path& root() const { return tmp.path(); }
  std::filesystem::path home() const { return root() / "home"; }
  std::filesystem::path steamRoot() const { return home() / ".local/share/Steam"; }
  // The stand-in program as this desktop's processes run it: a user's desktop has a copy of its own, which a
  // sandbox that hides /tmp (and a build tree there) still shows.
  std::filesystem::path fakeProcess() const;
  std::filesystem::path launcherDir() const { return root() / "launcher"; }
  std::filesystem::path curselloExe() const { return launcherDir() / "Cursello.exe"; }
  // Where the launcher looks for Cursello.exe when there is none beside it: the user's data directory.
  std::filesystem::path dataCurselloExe() const { return home() / ".local/share/CurselloLinuxLauncher/Cursello.exe"; }
  std::filesystem::path logFile() const { return root() / "launcher.log"; }

  // Installs a Proton build named `name` in the library (the default Steam root when library is empty); its wine
  // loader is the recording stand-in. Returns the build directory.
  std::filesystem::path installProton(const std::string& name, const std::filesystem::path& library = {});
  // Makes library/steamapps/compatdata/<appId> (and its pfx unless withPrefix is false). Returns compatdata.
  std::filesystem::path makeCompatData(const std::string& appId, bool withPrefix = true,
                                       const std::filesystem::path& library = {});
  std::filesystem::path compatDataPath(const std::string& appId, const std::filesystem::path& library = {}) const;

  // Steam's reaper, through which Steam launches every game: a copy of the stand-in in the Steam root.
  std::filesystem::path reaper() const { return steamRoot() / "ubuntu12_32/reaper"; }
  // Starts Steam's launch process of the AppID, with the command line Steam gives it and the environment given: the
  // reaper, which starts the game's processes that startGame and startInLaunch ask for as its own children.
  // wrapper: a command line that runs the stand-in in its stead inside a sandbox (already run as the user), where
  // the reaper's path, and protonDir, are the paths the sandbox shows.
  pid_t startSteamLaunch(const std::string& appId, const std::filesystem::path& protonDir,
                         const std::vector<std::string>& env, const std::vector<std::string>& wrapper = {});
  // Starts a process as startProcess does, as a child of the newest launch process of the AppID started here (a
  // game's process in Steam's tree); with none running, as the harness's own child.
  // program: a copy of the stand-in under another name (a Wine loader's), instead of the stand-in itself.
  pid_t startInLaunch(const std::string& appId, const std::vector<std::string>& argv, std::vector<std::string> env,
                      bool waitReady = true, const std::filesystem::path& program = {});
  // The environment that Proton gives a game's Wine processes, whose prefix is in the library (the default Steam
  // root when library is empty).
  std::vector<std::string> protonEnvironment(const std::string& appId, const std::filesystem::path& protonDir,
                                             const std::filesystem::path& library = {}) const;
  // Starts a process with the argument vector and environment (FAKE_* variables drive it, see fake_process).
  // Waits until it is set up (window mapped) when waitReady is true. Returns its pid. A program given runs instead
  // of the stand-in, as root: argv then says whom it runs as (a sandbox's command line, for instance); reaper() runs
  // as the stand-in does.
  pid_t startProcess(const std::vector<std::string>& argv, std::vector<std::string> env, bool waitReady = true,
                     const std::filesystem::path& program = {});
  // Starts the game's Proton process, run through its interpreter as Steam does, showing a window titled `title`,
  // below the game's launch process (startInLaunch).
  pid_t startGame(const std::string& appId, const std::filesystem::path& protonDir, const std::string& title,
                  std::vector<std::string> extraEnv = {});
  // Ends one process started here (SIGKILL and reap).
  void stopProcess(pid_t pid);
  void signalProcess(pid_t pid, int sig);

  // Copies the launcher beside Cursello.exe (created unless withCursello is false) and starts it with HOME,
  // DISPLAY and the bus. Its standard output goes to logFile().
  void startLauncher(bool withCursello = true);
  // Starts the launcher at `program` as it is, an installed one that finds its own Cursello.exe.
  void startInstalledLauncher(const std::filesystem::path& program);
  // NAME=VALUE entries that replace the launcher's own at its next start (its tray on a Wayland desktop).
  void setLauncherEnvironment(std::vector<std::string> entries) { launcherEnvironment = std::move(entries); }
  pid_t launcherPid() const;
  Subprocess& launcher() { return *launcherProcess; }

  // The launcher's log so far.
  std::vector<LogLine> log() const;
  // Waits until a line whose message starts with `prefix` has been logged `count` times.
  bool waitForLog(const std::string& prefix, int count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  int countLog(const std::string& prefix) const;
  // Returns once the launcher has completed at least `passes` poll passes that started after this call, for
  // checks that something does not happen: each pass is proven by a marker Steam launch (AppIDs from 9900 on)
  // whose detection line appears. The markers keep running; their sessions do nothing else.
  void waitPasses(int passes);

  // The stand-in wine processes started so far (pids from the record), and their records.
  std::vector<pid_t> companionPids() const;
  std::vector<std::string> companionArgs(pid_t pid) const;
  std::vector<std::string> companionEnv(pid_t pid) const;
  // The record with that extension: ".ns" holds the stand-in's mount and pid namespaces, ".exe" the bytes of the
  // Cursello.exe it was given.
  std::string companionRecord(pid_t pid, const std::string& extension) const;
  // Lets one companion end (once it has written its record).
  void endCompanion(pid_t pid) const;
  std::filesystem::path wineRecordDir(const std::filesystem::path& protonDir) const;

  // The environment this harness gives its processes: a minimal PATH and nothing of the test's own.
  static std::vector<std::string> baseEnvironment();

 private:
  TempDir tmp;
  std::optional<TestUser> user;
  std::string display;
  std::string busAddress;
  std::vector<std::filesystem::path> protonDirs;
  std::map<pid_t, std::unique_ptr<Subprocess>> processes;
  // Steam's launch processes started here, in order: AppID, pid, and where they take requests for children.
  struct Launch {
    std::string appId;
    pid_t pid = -1;
    std::filesystem::path spawnDir;
  };
  std::vector<Launch> launches;
  std::vector<pid_t> launchChildren;  // processes started through a launch: not the harness's to reap
  // Fills in the variables every process started here gets; returns the ready file to wait for, if any.
  std::filesystem::path prepareEnvironment(std::vector<std::string>& env, bool waitReady);
  std::unique_ptr<Subprocess> launcherProcess;
  std::vector<std::string> launcherEnvironment;
  int readyCounter = 0;
};

// Returns the messages of the lines, in order.
std::vector<std::string> messages(const std::vector<LogLine>& lines);

}  // namespace cs::test

#endif  // CS_TESTS_SUPPORT_STEAM_DESKTOP_H
