// The real launcher, started by a test on a desktop the test made: its own HOME, the desktop's variables, a
// private session bus, and its standard output in a file.
#ifndef CS_TESTS_TRAY_RUNNING_LAUNCHER_H
#define CS_TESTS_TRAY_RUNNING_LAUNCHER_H

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/session_bus.h"
#include "tests/support/test_support.h"

namespace cs::test {

// The directory the launcher writes its icon into, fixed per user.
inline std::filesystem::path iconDirectory() {
  return std::filesystem::path("/tmp") / ("CurselloLinuxLauncher-" + std::to_string(getuid()));
}

// The environment of this test process without any desktop: no display, no Wayland socket, no session bus, no
// runtime directory.
inline std::vector<std::string> environmentWithoutDesktop() {
  std::vector<std::string> env = currentEnvironment();
  for (const char* name :
       {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "GDK_BACKEND", "HOME", "XDG_RUNTIME_DIR"}) {
    env = withoutVariable(env, name);
  }
  return env;
}

class RunningLauncher {
 public:
  // desktop: the environment with the desktop's variables (DISPLAY, or XDG_RUNTIME_DIR and WAYLAND_DISPLAY).
  // Without XDG_RUNTIME_DIR there the launcher gets a private one of its own; an empty XDG_RUNTIME_DIR stands for
  // none. Without HOME it gets a home of its own, and with it a lock of its own, so that launchers of tests that
  // run side by side do not take each other for a second instance. runUserDir: see withOwnRunUser. wrapper: a
  // command that runs the launcher (its arguments follow), such as bubblewrap's.
  RunningLauncher(std::vector<std::string> desktop, const SessionBus& bus,
                  const std::filesystem::path& runUserDir = {}, std::vector<std::string> wrapper = {}) {
    std::error_code ec;
    std::filesystem::create_directories(home(), ec);
    std::vector<std::string> env = bus.environment(std::move(desktop));
    if (std::none_of(env.begin(), env.end(),
                     [](const std::string& v) { return v.rfind("XDG_RUNTIME_DIR=", 0) == 0; })) {
      std::filesystem::create_directory(runtimeDir(), ec);
      std::filesystem::permissions(runtimeDir(), std::filesystem::perms::owner_all, ec);
      env.push_back("XDG_RUNTIME_DIR=" + runtimeDir().string());
    }
    if (std::none_of(env.begin(), env.end(), [](const std::string& v) { return v.rfind("HOME=", 0) == 0; })) {
      env.push_back("HOME=" + home().string());
    }
    // GTK keeps memory until exit by design; leak reports of the sanitizer build would only describe that.
    env = withVariable(env, "ASAN_OPTIONS", "detect_leaks=0");
    // The private bus has no accessibility service; without this GTK warns about it on every start.
    env = withVariable(env, "NO_AT_BRIDGE", "1");
    const std::filesystem::path binary = launcherBinary();
    wrapper.push_back(binary.string());
    process = std::make_unique<Subprocess>(withOwnRunUser(
        {.program = wrapper.front(), .argv = wrapper, .env = env, .output = logFile(), .workingDir = dir.path()},
        runUserDir));
  }

  Subprocess& launcher() { return *process; }
  std::filesystem::path home() const { return dir.path() / "home"; }
  std::filesystem::path logFile() const { return dir.path() / "launcher.log"; }
  std::filesystem::path runtimeDir() const { return dir.path() / "runtime"; }
  std::string output() const { return slurp(logFile()); }

  // The messages of the timestamped lines so far, without their timestamps. Lines of other writers (GTK's
  // warnings on standard error share the file) are left out.
  std::vector<std::string> messages() const {
    static const std::regex line_re(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*)$)");
    std::vector<std::string> result;
    std::istringstream lines(output());
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
      if (std::regex_match(line, match, line_re)) result.push_back(match[1]);
    }
    return result;
  }

  bool hasMessage(const std::string& message) const {
    for (const auto& m : messages()) {
      if (m == message) return true;
    }
    return false;
  }

  bool waitForMessage(const std::string& message) const {
    return waitUntil([&] { return hasMessage(message); });
  }

 private:
  TempDir dir;
  std::unique_ptr<Subprocess> process;
};

}  // namespace cs::test

#endif  // CS_TESTS_TRAY_RUNNING_LAUNCHER_H
