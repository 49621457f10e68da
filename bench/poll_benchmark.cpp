// Prints what one pass of the monitor costs beside the yardstick for it, the floor: the bare system calls of a
// naive pass over /proc (list it; per process stat the directory and read cmdline, and for the user's processes
// with a command line also stat and environ; no parsing). The launcher runs a pass every second all day, so its
// pass is measured against the floor on the same /proc, in the same run, at each process count asked for:
//
//   idle      no game: the monitor's pass with no session and no Steam launch
//   session   one game: its Steam launch, its Proton process with a visible window, and its companion running
//   frozen    one game whose Proton process names a display that never answers (a stopped Xvfb, as a stopped
//             gamescope): the wall-clock time of a pass, averaged over passes once a second for a minute, the
//             time the main loop is held up
//
// The game's process carries a Windows program's command line, as Wine writes one, so that while the game waits for
// its window the pass also looks, as for any game, at which display driver its Wine has mapped.
//
// The extra processes that crowd /proc carry desktop-sized environments (60 variables, about 4 KB). With DISPLAY
// set, a stand-in shows 30 other windows, and the game's window is shown there too (run it under a window manager:
// Xvfb :9 & DISPLAY=:9 openbox & DISPLAY=:9 poll_benchmark 300 1000). Without a display the session case is left
// out, since the game cannot show its window.
//
//   poll_benchmark [--passes N] [--frozen-seconds N] [--launcher PATH] COUNT...
//
// With --launcher, the real launcher is also started among the crowd (idle and in the game) and its own CPU time
// per second and private dirty memory are read from /proc.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/proton_monitor.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kAppId = "480";
constexpr int kOtherWindows = 30;

// --- The floor: the loop of the yardstick program, unchanged ------------------------------------------------------

char floorBuffer[1 << 20];

size_t floorReadWhole(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t total = 0;
  ssize_t n;
  while ((n = read(fd, floorBuffer, sizeof floorBuffer)) > 0) total += static_cast<size_t>(n);
  close(fd);
  return total;
}

void floorPass() {
  const uid_t me = getuid();
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    char path[300];
    struct stat info {};
    snprintf(path, sizeof path, "/proc/%s", entry->d_name);
    if (stat(path, &info) != 0 || info.st_uid != me) continue;
    snprintf(path, sizeof path, "/proc/%s/cmdline", entry->d_name);
    if (floorReadWhole(path) == 0) continue;
    snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
    floorReadWhole(path);
    snprintf(path, sizeof path, "/proc/%s/environ", entry->d_name);
    floorReadWhole(path);
  }
  closedir(dir);
}

// --- Measuring ------------------------------------------------------------------------------------------------------

double cpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3);
}

struct Cost {
  double cpuMs = 0;   // median CPU time of one pass
  double wallMs = 0;  // median wall time of one pass
};

// Runs the passes in rounds, alternating between the contestants so that a noisy moment hits them alike, and
// returns each one's median per round.
std::vector<Cost> measure(int passes, const std::vector<std::function<void()>>& contestants) {
  constexpr int kRounds = 7;
  std::vector<std::vector<double>> cpu(contestants.size()), wall(contestants.size());
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t c = 0; c < contestants.size(); ++c) {
      const double cpuBefore = cpuMs();
      const auto wallBefore = Clock::now();
      for (int i = 0; i < passes; ++i) contestants[c]();
      cpu[c].push_back((cpuMs() - cpuBefore) / passes);
      wall[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - wallBefore).count() / passes);
    }
  }
  std::vector<Cost> costs;
  for (std::size_t c = 0; c < contestants.size(); ++c) {
    std::sort(cpu[c].begin(), cpu[c].end());
    std::sort(wall[c].begin(), wall[c].end());
    costs.push_back({cpu[c][kRounds / 2], wall[c][kRounds / 2]});
  }
  return costs;
}

// Private dirty memory of a process in MB, from its smaps_rollup.
double privateDirtyMb(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/smaps_rollup");
  std::string line;
  double kb = 0;
  while (std::getline(in, line)) {
    long value = 0;
    if (std::sscanf(line.c_str(), "Private_Dirty: %ld kB", &value) == 1) kb += static_cast<double>(value);
  }
  return kb / 1024.0;
}

// CPU time of another process so far, in ms, from its stat.
double processCpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// --- Processes ------------------------------------------------------------------------------------------------------

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> a = args, e = env;
  std::vector<char*> argv, envp;
  for (auto& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  return pid;
}

void end(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::vector<std::string> desktopEnvironment() {
  std::vector<std::string> env;
  for (int i = 0; i < 60; ++i) env.push_back("DESKTOP_VARIABLE_" + std::to_string(i) + "=" + std::string(60, 'x'));
  return env;
}

std::string selfPath() { return fs::read_symlink("/proc/self/exe").string(); }

// A stand-in of this program: shows `windows` windows declaring `pid` when DISPLAY is set, then waits to be ended.
int standIn(int windows) {
  if (windows > 0) {
    Display* display = XOpenDisplay(nullptr);
    if (display != nullptr) {
      const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
      const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
      const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
      const long pid = getpid();
      for (int i = 0; i < windows; ++i) {
        const Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 100, 100, 0, 0, 0);
        XChangeProperty(display, w, netWmPid, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
        const std::string title = "Window " + std::to_string(i);
        XChangeProperty(display, w, netWmName, utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
        XMapWindow(display, w);
      }
      XSync(display, False);
    }
  }
  for (;;) pause();
}

// Processes that crowd /proc, each a sleeping process with a desktop-sized environment.
class Crowd {
 public:
  void growTo(int count) {
    const std::vector<std::string> env = desktopEnvironment();
    while (static_cast<int>(pids.size()) < count) pids.push_back(spawn("/bin/sleep", {"/bin/sleep", "3600"}, env));
  }
  ~Crowd() {
    for (pid_t pid : pids) end(pid);
  }

 private:
  std::vector<pid_t> pids;
};

// A temporary home with a Steam library holding one Proton build, whose wine loader is a sleeping script, and
// the game's prefix; the benchmark runs from a copy of itself beside a stand-in Cursello.exe.
struct Workspace {
  fs::path root;
  fs::path home() const { return root / "home"; }
  fs::path steam() const { return home() / ".local/share/Steam"; }
  fs::path proton() const { return steam() / "steamapps/common/Proton 9.0"; }
  fs::path compat() const { return steam() / "steamapps/compatdata" / kAppId; }
  fs::path reaper() const { return steam() / "ubuntu12_32/reaper"; }
};

void prepare(const Workspace& w) {
  fs::create_directories(w.proton() / "files/bin");
  fs::create_directories(w.compat() / "pfx");
  std::ofstream(w.proton() / "proton") << "#!/usr/bin/env python3\n";
  // The wine loader is a copy of this program, which waits as a stand-in when started under that name.
  const fs::path wine = w.proton() / "files/bin/wine";
  fs::copy_file("/proc/self/exe", wine);
  fs::permissions(wine, fs::perms::owner_all);
  // So is Steam's reaper, which makes a launch Steam's and starts the game's processes below it.
  fs::create_directories(w.reaper().parent_path());
  fs::copy_file("/proc/self/exe", w.reaper());
  fs::permissions(w.reaper(), fs::perms::owner_all);
  std::ofstream(w.root / "Cursello.exe") << "MZ stand-in\n";
}

// The game: Steam's launch process, and below it its Proton process showing the game's window (none on another
// display), which ends with it.
struct Game {
  pid_t launch = -1;
  void start(const Workspace& w, const std::optional<std::string>& otherDisplay = std::nullopt) {
    std::vector<std::string> base = desktopEnvironment();
    if (otherDisplay) {
      base.push_back("DISPLAY=" + *otherDisplay);
    } else if (const char* display = std::getenv("DISPLAY")) {
      base.push_back(std::string("DISPLAY=") + display);
    }
    std::vector<std::string> launchEnv = base;
    launchEnv.push_back(std::string("SteamAppId=") + kAppId);
    std::vector<std::string> protonEnv = base;
    protonEnv.push_back(std::string("SteamAppId=") + kAppId);
    protonEnv.push_back("STEAM_COMPAT_DATA_PATH=" + w.compat().string());
    protonEnv.push_back("WINEPREFIX=" + (w.compat() / "pfx").string());
    protonEnv.push_back("WINEFSYNC=1");
    const fs::path protonEnvFile = w.root / "proton.env";
    {
      std::ofstream out(protonEnvFile, std::ios::binary | std::ios::trunc);
      for (const std::string& entry : protonEnv) out << entry << '\0';
    }
    launch = spawn(w.reaper().string(),
                   {w.reaper().string(), "--reaper", protonEnvFile.string(), "SteamLaunch",
                    std::string("AppId=") + kAppId, "--", selfPath(), "Z:\\g\\game.exe", "--stand-in",
                    otherDisplay ? "0" : "1", (w.proton() / "proton").string(), "waitforexitandrun", "/g/game.exe"},
                   launchEnv);
  }
  ~Game() { end(launch); }
};

// Steam's reaper: starts the program after "--" (its path, then its argument vector) with the environment in the
// file, as a child that ends with it, and waits.
int reaperStandIn(int argc, char** argv) {
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<std::string> env;
  for (std::string entry; std::getline(in, entry, '\0');) env.push_back(entry);
  int dashes = 3;
  while (dashes < argc && std::strcmp(argv[dashes], "--") != 0) ++dashes;
  if (dashes + 2 >= argc) return 1;
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    execve(argv[dashes + 1], argv + dashes + 2, envp.data());
    _exit(127);
  }
  for (;;) pause();
}

// An X server that has stopped: it takes connections into its backlog and never answers. Ended on destruction.
class FrozenDisplay {
 public:
  FrozenDisplay() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    posix_spawn_file_actions_adddup2(&actions, devNull, 2);
    std::string program = "Xvfb";
    std::vector<std::string> args = {program, "-displayfd", "3", "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(devNull);
    close(fds[1]);
    char number[16] = {};
    const ssize_t got = pid > 0 ? read(fds[0], number, sizeof number - 1) : -1;
    close(fds[0]);
    if (got > 0 && kill(pid, SIGSTOP) == 0) name = ":" + std::to_string(std::atoi(number));
  }
  ~FrozenDisplay() {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    end(pid);
  }
  FrozenDisplay(const FrozenDisplay&) = delete;
  FrozenDisplay& operator=(const FrozenDisplay&) = delete;

  // Empty when Xvfb could not be started.
  const std::string& display() const { return name; }

 private:
  pid_t pid = -1;
  std::string name;
};

int countUserProcesses() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    struct stat info {};
    const std::string name = entry.path().filename().string();
    if (name[0] < '0' || name[0] > '9' || stat(entry.path().c_str(), &info) != 0 || info.st_uid != getuid()) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    if (cmdline.peek() != std::ifstream::traits_type::eof()) ++count;
  }
  return count;
}

void row(const char* what, const Cost& cost, const Cost& floor) {
  std::printf("  %-34s %8.3f ms  %5.2fx the floor   (wall %8.3f ms)\n", what, cost.cpuMs, cost.cpuMs / floor.cpuMs,
              cost.wallMs);
}

// Lets the real launcher run among the crowd for a few seconds and prints its own CPU time per second and memory.
void measureLauncher(const Workspace& w, const char* what) {
  std::vector<std::string> env = {"HOME=" + w.home().string(), "PATH=/usr/bin:/bin", "NO_AT_BRIDGE=1",
                                  "GDK_BACKEND=x11", "XDG_RUNTIME_DIR=" + (w.root / "runtime").string()};
  fs::create_directories(w.root / "runtime");
  fs::permissions(w.root / "runtime", fs::perms::owner_all);
  for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  const std::string launcher = (w.root / "CurselloLinuxLauncher").string();
  // Its log goes nowhere: only its costs are read.
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, devNull, 1);
  posix_spawn_file_actions_adddup2(&actions, devNull, 2);
  std::vector<std::string> e = env;
  std::vector<char*> envp;
  for (auto& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string program = launcher;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, launcher.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(devNull);
  if (error != 0) return;
  // The first seconds set up GTK and, in a game, start the companion; the steady state comes after.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  // Where the user has /run/user/<uid>, the lock is there whatever HOME says: a launcher of the user's desktop
  // keeps this one out, and its figures would be those of a process that has ended.
  if (waitpid(pid, nullptr, WNOHANG) == pid) {
    std::printf("  %-34s ended at once (is another launcher of this user running?)\n", what);
    return;
  }
  const double before = processCpuMs(pid);
  constexpr int kSeconds = 10;
  std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
  const double perSecond = (processCpuMs(pid) - before) / kSeconds;
  std::printf("  %-34s %8.3f ms CPU per second, private dirty %.1f MB\n", what, perSecond,
              privateDirtyMb(std::to_string(pid)));
  end(pid);
  // The launcher's companion outlives it; end it too.
  std::system(("pkill -KILL -f '" + (w.proton() / "files/bin/wine").string() + "' 2>/dev/null").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The stand-ins are this program too, with a command line of their own around the flag.
  if (argc >= 3 && std::strcmp(argv[1], "--stand-in") == 0) return standIn(std::atoi(argv[2]));
  if (argc >= 3 && std::strcmp(argv[1], "--reaper") == 0) return reaperStandIn(argc, argv);
  if (std::string_view(argv[0]).ends_with("/wine")) return standIn(0);

  int passes = 10;
  int frozenSeconds = 60;
  std::optional<std::string> launcher;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
      passes = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--frozen-seconds") == 0 && i + 1 < argc) {
      frozenSeconds = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--launcher") == 0 && i + 1 < argc) {
      launcher = argv[++i];
    } else {
      counts.push_back(std::max(0, std::atoi(argv[i])));
    }
  }
  if (counts.empty()) counts = {300, 1000};

  // The launcher looks for Cursello.exe beside its own executable, and the benchmark's monitor does the same:
  // run from a copy in a fresh directory that holds a stand-in.
  const char* copied = std::getenv("CS_BENCH_WORKSPACE");
  if (copied == nullptr) {
    char pattern[] = "/tmp/cs-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const fs::path copy = fs::path(pattern) / "poll_benchmark";
    fs::copy_file("/proc/self/exe", copy);
    fs::permissions(copy, fs::perms::owner_all);
    setenv("CS_BENCH_WORKSPACE", pattern, 1);
    const pid_t child = fork();
    if (child == 0) {
      execv(copy.c_str(), argv);
      _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::remove_all(pattern);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  const Workspace workspace{copied};
  prepare(workspace);
  if (launcher) fs::copy_file(*launcher, workspace.root / "CurselloLinuxLauncher");
  setenv("HOME", workspace.home().c_str(), 1);

  const bool withDisplay = std::getenv("DISPLAY") != nullptr;
  pid_t otherWindows = -1;
  if (withDisplay) otherWindows = spawn(selfPath(), {"windows", "--stand-in", std::to_string(kOtherWindows)}, {
                                            std::string("DISPLAY=") + std::getenv("DISPLAY")});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  std::printf("CPU time of one pass (median of 7 rounds of %d passes), and as a ratio to the floor%s\n", passes,
              withDisplay ? "" : "; no DISPLAY: no windows, no session case");
  Crowd crowd;
  for (const int count : counts) {
    crowd.growTo(count);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("\n%d processes of this user (%d extra)%s\n", countUserProcesses(), count,
                withDisplay ? ", 30 other windows" : "");
    Cost idleCost;
    {
      cs::ProtonMonitor idle;
      idle.poll();
      const std::vector<Cost> costs = measure(passes, {floorPass, [&] { idle.poll(); }});
      row("floor", costs[0], costs[0]);
      row("monitor pass, idle", costs[1], costs[0]);
      idleCost = costs[1];
      std::printf("  %-34s %8.1f MB private dirty\n", "benchmark process, idle", privateDirtyMb("self"));
    }
    if (frozenSeconds > 0 && withDisplay) {
      // The main loop's view: wall-clock time per pass, with passes once a second as the launcher makes them, so
      // that waits between attempts on the frozen display run as they do there. Beside it the same game waiting
      // for its window on the launcher's own display, which answers.
      const auto waitingGame = [&](const std::string& display) {
        Game game;
        game.start(workspace, display);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cs::ProtonMonitor waiting;
        double totalMs = 0;
        double longestMs = 0;
        for (int i = 0; i < frozenSeconds; ++i) {
          const auto before = Clock::now();
          waiting.poll();
          const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
          totalMs += ms;
          longestMs = std::max(longestMs, ms);
          std::this_thread::sleep_until(before + std::chrono::seconds(1));
        }
        return std::pair(totalMs / frozenSeconds, longestMs);
      };
      FrozenDisplay frozen;
      if (frozen.display().empty()) {
        std::printf("  %-34s left out: Xvfb could not be started\n", "game on a frozen display");
      } else {
        const auto [frozenMs, frozenLongestMs] = waitingGame(frozen.display());
        const auto [answeringMs, answeringLongestMs] = waitingGame(std::getenv("DISPLAY"));
        std::printf("  wall-clock time per pass, passes once a second for %d s: idle %.3f ms (median)\n",
                    frozenSeconds, idleCost.wallMs);
        std::printf("  %-34s %8.3f ms average, longest %.1f ms\n", "game waiting on its display", answeringMs,
                    answeringLongestMs);
        std::printf("  %-34s %8.3f ms average, longest %.1f ms\n", "game waiting on a frozen display", frozenMs,
                    frozenLongestMs);
      }
    }
    if (withDisplay) {
      Game game;
      game.start(workspace);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      cs::ProtonMonitor inGame;
      // The first passes open the session and start the companion; its steady state is what is measured.
      for (int i = 0; i < 3; ++i) inGame.poll();
      const std::vector<Cost> costs = measure(passes, {floorPass, [&] { inGame.poll(); }});
      row("monitor pass, one game", costs[1], costs[0]);
      std::printf("  %-34s %8.1f MB private dirty\n", "benchmark process, one game", privateDirtyMb("self"));
      if (launcher) measureLauncher(workspace, "launcher in a game");
    }
    if (launcher) measureLauncher(workspace, "launcher idle");
  }
  // Companions started by the in-game monitors are this process's children.
  std::system(("pkill -KILL -f '" + (workspace.proton() / "files/bin/wine").string() + "' 2>/dev/null").c_str());
  end(otherWindows);
  return 0;
}
