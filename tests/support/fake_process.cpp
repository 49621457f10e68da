// A stand-in for the outside processes the tests need. Its argument vector is free for whatever command line
// a case needs (a Steam launch, a Proton process, an interpreter line); what it does is read from variables:
//
//   FAKE_CHILD_CHAIN=N       start a chain of N descendants (each a copy of this program with the same argument
//                            vector and environment); only the last one shows the window and writes the ready file
//   FAKE_CHILD_UNSET=A,B     leave the variables A and B out of the chain members' environment
//   FAKE_DIE_WITH_PARENT=1   end with the parent process (set for the members of a chain)
//   FAKE_WINDOW=1            show a top-level window on $DISPLAY
//   FAKE_WINDOW_TITLE=T      set _NET_WM_NAME (UTF8_STRING) to T (implies FAKE_WINDOW)
//   FAKE_WINDOW_WM_NAME=T    set WM_NAME to T (implies FAKE_WINDOW)
//   FAKE_WINDOW_PID=N|none   the _NET_WM_PID to declare (default: the own pid); "none" declares none
//   FAKE_WINDOW_PID_TYPE=    cardinal (default), integer (wrong type) or cardinal16 (wrong format)
//   FAKE_WINDOW_MAPPED=0     create the window but do not map it
//   FAKE_HELPER_WINDOWS=1    first show an InputOnly window and a 1x1 window with the same pid, as Wine does
//   FAKE_READY_FILE=P        once set up, write the own pid (and the window id, if any) to P, atomically
//   FAKE_EXIT_AFTER_MS=N     exit with status 0 after N milliseconds
//   FAKE_HUGE_ARGS=N         make /proc/<pid>/cmdline and environ N MiB long each (their first bytes the real ones,
//                            the rest NUL bytes of untouched memory), as any process may without privilege
//   FAKE_MAP_FILE=P          keep the file P mapped in memory (a stand-in for a library Wine loads)
//   FAKE_WATCH_OUTPUT=P      as the wine loader given the window watcher (argv[1] ending in CurselloWindowWatch.exe),
//                            write the bytes of P to its standard output, as the watcher writes its records
//   FAKE_SPAWN_DIR=D         start, as its own children, what requests in D ask for (as Steam's reaper starts a
//                            game's processes): a file NAME.req holds the program, the argument count, the
//                            arguments and the environment, each ended by a NUL byte; the child's pid is written to
//                            NAME.pid. Children that end are reaped.
// SIGUSR1 toggles the window between mapped and unmapped.
//
// Started under the name "wine" (argv[0] ending in "/wine"), it is Proton's wine loader instead: it records its
// argument vector and environment, NUL-separated, to wine-<pid>.args and wine-<pid>.env beside argv[0] (with its
// mount and pid namespaces in wine-<pid>.ns, the bytes of the file argv[1] in wine-<pid>.exe, and in
// wine-<pid>.fds whether it leads a session of its own and where its descriptors lead, as it found them), appends
// its pid to wine.pids there, prints one line, and runs until wine.exit or wine-<pid>.exit appears there (or the
// directory is gone).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <linux/prctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

volatile std::sig_atomic_t toggleRequested = 0;

void onUsr1(int) { toggleRequested = 1; }

const char* var(const char* name) { return std::getenv(name); }

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void writeAtomically(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::rename(tmp.c_str(), path.c_str());
}

// "session own" or "session inherited", then "fd N TARGET" for every descriptor it was started with.
std::string sessionAndDescriptors() {
  std::string text = getsid(0) == getpid() ? "session own\n" : "session inherited\n";
  for (int fd = 0; fd < 1024; ++fd) {
    char target[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0) text += "fd " + std::to_string(fd) + " " + std::string(target, static_cast<std::size_t>(length)) + "\n";
  }
  return text;
}

int runAsWine(int argc, char** argv) {
  const std::string descriptors = sessionAndDescriptors();  // before this program opens anything of its own
  std::string self = argv[0];
  const std::string dir = self.substr(0, self.rfind('/'));
  const std::string pid = std::to_string(getpid());
  std::string args;
  std::string joined;
  for (int i = 0; i < argc; ++i) {
    args.append(argv[i]).push_back('\0');
    if (i > 0) joined.push_back(' ');
    joined.append(argv[i]);
  }
  std::string env;
  for (char** e = environ; *e != nullptr; ++e) env.append(*e).push_back('\0');
  // Where it runs, and what it finds as Cursello.exe there.
  std::string namespaces;
  for (const char* kind : {"mnt", "pid"}) {
    char target[64] = {};
    if (readlink((std::string("/proc/self/ns/") + kind).c_str(), target, sizeof target - 1) > 0) {
      namespaces += std::string(kind) + " " + target + "\n";
    }
  }
  std::ifstream exe(argc > 1 ? argv[1] : "", std::ios::binary);
  writeAtomically(dir + "/wine-" + pid + ".ns", namespaces);
  writeAtomically(dir + "/wine-" + pid + ".exe", {std::istreambuf_iterator<char>(exe), {}});
  writeAtomically(dir + "/wine-" + pid + ".env", env);
  writeAtomically(dir + "/wine-" + pid + ".args", args);
  writeAtomically(dir + "/wine-" + pid + ".fds", descriptors);
  {
    std::ofstream pids(dir + "/wine.pids", std::ios::app);
    pids << pid << '\n';
  }
  std::printf("stand-in wine %s started: %s\n", pid.c_str(), joined.c_str());
  std::fflush(stdout);
  const std::string watcher = "CurselloWindowWatch.exe";
  const std::string program = argc > 1 ? argv[1] : "";
  if (const char* output = var("FAKE_WATCH_OUTPUT");
      output != nullptr && program.size() >= watcher.size() &&
      program.compare(program.size() - watcher.size(), watcher.size(), watcher) == 0) {
    std::ifstream records(output, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(records), {}};
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }
  // Also ends when its directory is gone, so that a test that removed its files leaves no process behind.
  while (exists(dir) && !exists(dir + "/wine.exit") && !exists(dir + "/wine-" + pid + ".exit")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::printf("stand-in wine %s exiting\n", pid.c_str());
  return 0;
}

void startChainChild(char** argv, int remaining) {
  std::vector<std::string> env;
  // Names listed in FAKE_CHILD_UNSET are left out of the children's environment (e.g. so that a game's
  // descendant does not itself look like a Proton process).
  std::string unset = ",";
  if (const char* names = var("FAKE_CHILD_UNSET")) unset += std::string(names) + ",";
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "FAKE_CHILD_CHAIN" || name == "FAKE_DIE_WITH_PARENT" ||
        unset.find("," + name + ",") != std::string::npos) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("FAKE_CHILD_CHAIN=" + std::to_string(remaining));
  env.push_back("FAKE_DIE_WITH_PARENT=1");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data());
}

std::vector<std::string> splitNul(const std::string& bytes) {
  std::vector<std::string> items;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    items.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

// Starts what the requests in the directory ask for, and reaps the children that have ended.
void serveSpawnRequests(const std::string& dir) {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> requests;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".req") == 0) requests.push_back(name);
  }
  closedir(listing);
  for (const std::string& name : requests) {
    const std::string path = dir + "/" + name;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::string> items = splitNul({std::istreambuf_iterator<char>(in), {}});
    std::remove(path.c_str());
    if (items.size() < 2) continue;
    const std::size_t argc = std::strtoul(items[1].c_str(), nullptr, 10);
    if (items.size() < 2 + argc) continue;
    std::vector<std::string> args(items.begin() + 2, items.begin() + 2 + static_cast<std::ptrdiff_t>(argc));
    std::vector<std::string> env(items.begin() + 2 + static_cast<std::ptrdiff_t>(argc), items.end());
    std::vector<char*> argvp, envp;
    for (auto& a : args) argvp.push_back(a.data());
    argvp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, items[0].c_str(), nullptr, nullptr, argvp.data(), envp.data()) != 0) pid = -1;
    writeAtomically(dir + "/" + name.substr(0, name.size() - 4) + ".pid", std::to_string(pid) + "\n");
  }
}

// Points the kernel's record of where the command line and the environment lie at two mappings of `mib` MiB each,
// which begin with the real ones: reading them costs the reader, not this process.
bool makeArgumentsHuge(unsigned long mib) {
  std::ifstream statFile("/proc/self/stat");
  const std::string stat{std::istreambuf_iterator<char>(statFile), {}};
  std::vector<unsigned long long> fields(3, 0);  // fields[n] is field n (proc(5)); the pid and name are not needed
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  while (rest >> field) fields.push_back(std::strtoull(field.c_str(), nullptr, 10));
  if (fields.size() <= 51) return false;
  const std::size_t size = mib << 20;
  const auto copyOf = [&](const char* path) -> char* {
    void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::memcpy(area, bytes.data(), std::min(bytes.size(), size - 1));
    return static_cast<char*>(area);
  };
  char* args = copyOf("/proc/self/cmdline");
  char* env = copyOf("/proc/self/environ");
  if (args == nullptr || env == nullptr) return false;
  prctl_mm_map map{};
  map.start_code = fields[26];
  map.end_code = fields[27];
  map.start_stack = fields[28];
  map.start_data = fields[45];
  map.end_data = fields[46];
  map.start_brk = fields[47];
  map.brk = static_cast<unsigned long long>(syscall(SYS_brk, 0));
  map.arg_start = reinterpret_cast<unsigned long long>(args);
  map.arg_end = map.arg_start + size;
  map.env_start = reinterpret_cast<unsigned long long>(env);
  map.env_end = map.env_start + size;
  map.exe_fd = static_cast<__u32>(-1);
  return prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) == 0;
}

struct ShownWindow {
  Display* display = nullptr;
  ::Window id = 0;
  bool mapped = false;
};

// Sets _NET_WM_PID as FAKE_WINDOW_PID and FAKE_WINDOW_PID_TYPE ask.
void declarePid(Display* d, ::Window window) {
  const char* pidText = var("FAKE_WINDOW_PID");
  if (pidText != nullptr && std::strcmp(pidText, "none") == 0) return;
  const long pid = pidText != nullptr ? std::strtol(pidText, nullptr, 10) : static_cast<long>(getpid());
  const char* type = var("FAKE_WINDOW_PID_TYPE");
  const Atom netWmPid = XInternAtom(d, "_NET_WM_PID", False);
  if (type != nullptr && std::strcmp(type, "integer") == 0) {
    XChangeProperty(d, window, netWmPid, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid),
                    1);
  } else if (type != nullptr && std::strcmp(type, "cardinal16") == 0) {
    const short small = static_cast<short>(pid);
    XChangeProperty(d, window, netWmPid, XA_CARDINAL, 16, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&small), 1);
  } else {
    XChangeProperty(d, window, netWmPid, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid),
                    1);
  }
}

ShownWindow showWindow() {
  ShownWindow w;
  w.display = XOpenDisplay(nullptr);
  if (w.display == nullptr) return w;
  Display* d = w.display;
  const int screen = DefaultScreen(d);
  if (var("FAKE_HELPER_WINDOWS") != nullptr) {
    const ::Window inputOnly =
        XCreateWindow(d, RootWindow(d, screen), 0, 0, 300, 200, 0, 0, InputOnly, CopyFromParent, 0, nullptr);
    const ::Window tiny = XCreateSimpleWindow(d, RootWindow(d, screen), 0, 0, 1, 1, 0, 0, 0);
    for (const ::Window helper : {inputOnly, tiny}) {
      declarePid(d, helper);
      XMapWindow(d, helper);
    }
  }
  w.id =
      XCreateSimpleWindow(d, RootWindow(d, screen), 10, 10, 200, 100, 0, BlackPixel(d, screen), WhitePixel(d, screen));
  XSelectInput(d, w.id, StructureNotifyMask);
  declarePid(d, w.id);
  if (const char* title = var("FAKE_WINDOW_TITLE")) {
    XChangeProperty(d, w.id, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(title),
                    static_cast<int>(std::strlen(title)));
  }
  if (const char* name = var("FAKE_WINDOW_WM_NAME")) XStoreName(d, w.id, name);

  const char* mapped = var("FAKE_WINDOW_MAPPED");
  if (mapped == nullptr || std::strcmp(mapped, "0") != 0) {
    XMapWindow(d, w.id);
    w.mapped = true;
    // Under a window manager the map is redirected; wait until it has happened so that a test that sees the
    // ready file also sees a viewable window.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    XWindowAttributes attributes{};
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
      }
      if (XGetWindowAttributes(d, w.id, &attributes) != 0 && attributes.map_state == IsViewable) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  XSync(d, False);
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = argv[0];
  if (self == "wine" || (self.size() >= 5 && self.compare(self.size() - 5, 5, "/wine") == 0)) {
    return runAsWine(argc, argv);
  }
  if (const char* die = var("FAKE_DIE_WITH_PARENT"); die != nullptr && std::strcmp(die, "1") == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
  }
  std::signal(SIGUSR1, onUsr1);

  if (const char* chain = var("FAKE_CHILD_CHAIN")) {
    const int remaining = std::atoi(chain);
    if (remaining > 0) {
      startChainChild(argv, remaining - 1);
      for (;;) pause();
    }
  }

  if (const char* huge = var("FAKE_HUGE_ARGS"); huge != nullptr && !makeArgumentsHuge(std::strtoul(huge, nullptr, 10))) {
    std::perror("making the command line huge");
    return 1;
  }
  if (const char* library = var("FAKE_MAP_FILE")) {
    const int fd = open(library, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0) == MAP_FAILED) {
      std::perror("mapping FAKE_MAP_FILE");
      return 1;
    }
    close(fd);
  }
  ShownWindow window;
  if (var("FAKE_WINDOW") != nullptr || var("FAKE_WINDOW_TITLE") != nullptr || var("FAKE_WINDOW_WM_NAME") != nullptr) {
    window = showWindow();
  }
  if (const char* ready = var("FAKE_READY_FILE")) {
    std::string text = std::to_string(getpid());
    if (window.id != 0) text += " " + std::to_string(window.id);
    writeAtomically(ready, text + "\n");
  }

  long exitAfterMs = -1;
  if (const char* after = var("FAKE_EXIT_AFTER_MS")) exitAfterMs = std::strtol(after, nullptr, 10);
  const char* spawnDir = var("FAKE_SPAWN_DIR");
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (spawnDir != nullptr) serveSpawnRequests(spawnDir);
    if (exitAfterMs >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(exitAfterMs)) {
      return 0;
    }
    if (window.display != nullptr) {
      while (XPending(window.display) > 0) {
        XEvent event;
        XNextEvent(window.display, &event);
      }
      if (toggleRequested != 0) {
        toggleRequested = 0;
        if (window.mapped) {
          XUnmapWindow(window.display, window.id);
        } else {
          XMapWindow(window.display, window.id);
        }
        window.mapped = !window.mapped;
        XSync(window.display, False);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
