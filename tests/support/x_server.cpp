#include "tests/support/x_server.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <utility>

namespace cs::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(30);
// The descriptor on which Xvfb writes the display number it chose once it accepts clients.
constexpr int kDisplayFd = 3;

// Reads the display number that Xvfb writes to the pipe, up to the newline; empty when Xvfb ends or the deadline
// passes first.
std::string readDisplayNumber(int fd, Clock::time_point deadline) {
  std::string text;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return {};
    pollfd pfd{fd, POLLIN, 0};
    const int r = poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return {};
    char buffer[32];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    text.append(buffer, static_cast<std::size_t>(n));
    const std::size_t newline = text.find('\n');
    if (newline != std::string::npos) return text.substr(0, newline);
  }
}

// The window manager has taken the root window once it points _NET_SUPPORTING_WM_CHECK at its check window and
// lists _NET_CLIENT_LIST among the hints it supports.
bool windowManagerAnnounced(Display* display) {
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
  const Atom supported = XInternAtom(display, "_NET_SUPPORTED", True);
  const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", True);
  if (check == None || supported == None || clientList == None) return false;
  const Window root = DefaultRootWindow(display);

  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  bool hasCheckWindow = false;
  if (XGetWindowProperty(display, root, check, 0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data) ==
          Success &&
      data != nullptr && type == XA_WINDOW && format == 32 && count == 1) {
    hasCheckWindow = *reinterpret_cast<unsigned long*>(data) != 0;
  }
  if (data != nullptr) XFree(data);
  if (!hasCheckWindow) return false;

  data = nullptr;
  bool listsClientList = false;
  if (XGetWindowProperty(display, root, supported, 0, 1024, False, XA_ATOM, &type, &format, &count, &after, &data) ==
          Success &&
      data != nullptr && type == XA_ATOM && format == 32) {
    const auto* atoms = reinterpret_cast<unsigned long*>(data);
    for (unsigned long i = 0; i < count; ++i) listsClientList = listsClientList || atoms[i] == clientList;
  }
  if (data != nullptr) XFree(data);
  return listsClientList;
}

bool listsClient(Display* display, Window window) {
  const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", True);
  if (clientList == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  bool listed = false;
  if (XGetWindowProperty(display, DefaultRootWindow(display), clientList, 0, 4096, False, XA_WINDOW, &type, &format,
                         &count, &after, &data) == Success &&
      data != nullptr && type == XA_WINDOW && format == 32) {
    const auto* ids = reinterpret_cast<unsigned long*>(data);
    for (unsigned long i = 0; i < count; ++i) listed = listed || ids[i] == window;
  }
  if (data != nullptr) XFree(data);
  return listed;
}

// openbox announces itself on the root before its start-up is over, and a window mapped in that moment can stay
// unmanaged for seconds, until some later event wakes openbox. So a probe window is mapped, and openbox is nudged
// with root property changes (it listens to those) until it has managed the probe; the probe is then destroyed
// and its leaving the client list awaited, so that tests find the list empty and openbox in its steady loop.
bool windowManagerSettled(Display* display, std::chrono::milliseconds timeout) {
  const Window root = DefaultRootWindow(display);
  const Atom nudge = XInternAtom(display, "_CS_TEST_NUDGE", False);
  long counter = 0;
  const auto nudgeOnce = [&] {
    ++counter;
    XChangeProperty(display, root, nudge, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&counter), 1);
  };
  const Window probe = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
  XMapWindow(display, probe);
  const bool managed = waitUntil(
      [&] {
        nudgeOnce();
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display, probe, &attributes) != 0 && attributes.map_state == IsViewable &&
               listsClient(display, probe);
      },
      timeout);
  XDestroyWindow(display, probe);
  const bool released = waitUntil(
      [&] {
        nudgeOnce();
        return !listsClient(display, probe);
      },
      timeout);
  XDeleteProperty(display, root, nudge);
  XSync(display, False);
  return managed && released;
}

}  // namespace

XServer::XServer(bool withWindowManager, std::optional<int> number, const XvfbCommand& command) {
  if (dir.path().empty()) {
    failure = "no temporary directory";
    return;
  }
  if (!startServer(number, command)) return;
  if (withWindowManager && !startWindowManager()) return;
  ready = true;
}

XServer::~XServer() {
  if (frozen && serverPid > 0) ::kill(serverPid, SIGCONT);
  stopDaemon(windowManagerPid);
  stopDaemon(serverPid);
}

void XServer::crash() {
  for (pid_t* pid : {&windowManagerPid, &serverPid}) {
    if (*pid <= 0) continue;
    ::kill(*pid, SIGKILL);
    int status = 0;
    while (waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
    }
    *pid = -1;
  }
  ready = false;
  // The number stays this test's: Xvfbs that other tests start take a lock file of a dead pid for a free number,
  // and a lock file of a live one for a taken number.
  if (!displayName.empty()) {
    char lock[16];
    std::snprintf(lock, sizeof lock, "%10d\n", static_cast<int>(getpid()));
    writeFile("/tmp/.X" + displayName.substr(1) + "-lock", lock);
  }
}

void XServer::freeze() {
  if (serverPid > 0) frozen = ::kill(serverPid, SIGSTOP) == 0;
}

void XServer::thaw() {
  if (frozen && ::kill(serverPid, SIGCONT) == 0) frozen = false;
}

int XServer::queuedConnections() const {
  // /proc/net/unix lists a connection that waits in a listener's backlog under the listener's name and without an
  // inode of its own: "Num RefCount Protocol Flags Type St Inode Path".
  const std::string path = "/tmp/.X11-unix/X" + displayName.substr(std::min<std::size_t>(1, displayName.size()));
  std::istringstream lines(slurp("/proc/net/unix"));
  int queued = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, name;
    fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> name;
    if (inode == "0" && (name == path || name == "@" + path)) ++queued;
  }
  return queued;
}

bool XServer::startServer(std::optional<int> number, const XvfbCommand& command) {
  const std::filesystem::path program = programInPath("Xvfb");
  if (program.empty()) {
    failure = "Xvfb is not installed";
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    failure = "pipe2 failed";
    return false;
  }
  // -displayfd: Xvfb itself takes the first free display number, so parallel tests never race for one.
  // -noreset: the server keeps its atoms and root properties when its last client leaves.
  std::vector<std::string> argv = {program.string(), "-displayfd", std::to_string(kDisplayFd)};
  argv.insert(argv.end(), {"-nolisten", "tcp", "-noreset", "-screen", "0", "1280x1024x24"});
  argv.insert(argv.end(), command.arguments.begin(), command.arguments.end());
  if (number) {
    argv.insert(argv.begin() + 1, ":" + std::to_string(*number));
    // Taken back from crash(), which kept it for this test.
    const std::string lock = "/tmp/.X" + std::to_string(*number) + "-lock";
    if (std::atoi(slurp(lock).c_str()) == static_cast<int>(getpid())) unlink(lock.c_str());
  }
  argv.insert(argv.begin(), command.wrapper.begin(), command.wrapper.end());
  serverPid = startDaemon(argv.front(), argv, currentEnvironment(), dir.path() / "xvfb.log", fds[1], kDisplayFd);
  close(fds[1]);  // else the read below would not see Xvfb's end
  const std::string reported = serverPid > 0 ? readDisplayNumber(fds[0], Clock::now() + kStartTimeout) : "";
  close(fds[0]);
  if (reported.empty() || reported.find_first_not_of("0123456789") != std::string::npos) {
    failure = "Xvfb did not report a display";
    return false;
  }
  displayName = ":" + reported;
  return true;
}

bool XServer::startWindowManager() {
  const std::filesystem::path program = programInPath("openbox");
  if (program.empty()) {
    failure = "openbox is not installed";
    return false;
  }
  // An empty home and configuration directory: openbox runs with its packaged defaults, whatever the user has.
  const std::filesystem::path home = dir.path() / "home";
  std::error_code ec;
  std::filesystem::create_directories(home / ".config", ec);
  std::filesystem::create_directories(home / ".cache", ec);
  std::filesystem::create_directories(home / ".local/share", ec);
  std::vector<std::string> env;
  for (const auto& entry : environment(currentEnvironment())) {
    if (entry.rfind("HOME=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
        entry.rfind("XDG_CACHE_HOME=", 0) != 0 && entry.rfind("XDG_DATA_HOME=", 0) != 0) {
      env.push_back(entry);
    }
  }
  env.push_back("HOME=" + home.string());
  env.push_back("XDG_CONFIG_HOME=" + (home / ".config").string());
  env.push_back("XDG_CACHE_HOME=" + (home / ".cache").string());
  env.push_back("XDG_DATA_HOME=" + (home / ".local/share").string());
  windowManagerPid = startDaemon(program, {"openbox", "--sm-disable"}, env, dir.path() / "openbox.log");
  if (windowManagerPid <= 0) {
    failure = "openbox could not be started";
    return false;
  }

  Display* display = XOpenDisplay(displayName.c_str());
  if (display == nullptr) {
    failure = "cannot connect to " + displayName;
    return false;
  }
  bool announced = false;
  bool exited = false;
  waitUntil(
      [&] {
        exited = daemonExited(windowManagerPid);
        announced = !exited && windowManagerAnnounced(display);
        return announced || exited;
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  if (!announced) {
    XCloseDisplay(display);
    failure = exited ? "openbox exited early" : "openbox did not take the root window in time";
    return false;
  }
  const bool settled =
      windowManagerSettled(display, std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  XCloseDisplay(display);
  if (!settled) failure = "openbox did not manage a probe window in time";
  ready = settled;
  return settled;
}

std::vector<std::string> XServer::environment(const std::vector<std::string>& base) const {
  std::vector<std::string> env;
  env.reserve(base.size() + 1);
  bool replaced = false;
  for (const auto& entry : base) {
    if (entry.rfind("DISPLAY=", 0) != 0) {
      env.push_back(entry);
    } else if (!replaced) {
      env.push_back("DISPLAY=" + displayName);
      replaced = true;
    }
  }
  if (!replaced) env.push_back("DISPLAY=" + displayName);
  return env;
}

std::string XServer::diagnostics() const {
  std::string text = failure.empty() ? "X server started" : failure;
  text += "\n--- Xvfb output ---\n" + slurp(dir.path() / "xvfb.log");
  text += "--- openbox output ---\n" + slurp(dir.path() / "openbox.log");
  return text;
}

}  // namespace cs::test
