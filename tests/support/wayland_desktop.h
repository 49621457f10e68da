// A headless Wayland compositor (weston) with a runtime directory and socket of its own, and no X server: the
// desktop of a launcher whose tray lives on Wayland.
#ifndef CS_TESTS_SUPPORT_WAYLAND_DESKTOP_H
#define CS_TESTS_SUPPORT_WAYLAND_DESKTOP_H

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/session_bus.h"
#include "tests/support/test_support.h"

namespace cs::test {

class WaylandDesktop {
 public:
  WaylandDesktop() {
    const std::filesystem::path program = programInPath("weston");
    if (program.empty()) return;
    compositor = std::make_unique<Subprocess>(Subprocess::Options{
        .program = program,
        .argv = {"weston", "--backend=headless-backend.so", "--socket=" + socket, "--idle-time=0"},
        .env = withoutVariable(environment(), "WAYLAND_DISPLAY"),
        .output = runtime.path() / "weston.log",
        .workingDir = {}});
    ready = compositor->started() && waitUntil([&] {
              struct stat info {};
              return lstat(socketPath().c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
            });
  }

  static bool installed() { return !programInPath("weston").empty(); }
  bool ok() const { return ready; }
  // This test's environment without a desktop's variables, then the compositor's runtime directory and socket.
  std::vector<std::string> environment() const {
    std::vector<std::string> env = currentEnvironment();
    for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "GDK_BACKEND", "HOME"}) {
      env = withoutVariable(env, name);
    }
    return withVariable(withVariable(env, "XDG_RUNTIME_DIR", runtime.path().string()), "WAYLAND_DISPLAY", socket);
  }
  // The socket by its absolute path, which WAYLAND_DISPLAY may name whatever XDG_RUNTIME_DIR says.
  std::filesystem::path socketPath() const { return runtime.path() / socket; }
  std::string diagnostics() const { return slurp(runtime.path() / "weston.log"); }

 private:
  TempDir runtime;  // made private to its owner (0700), as a runtime directory must be
  std::string socket = "cs-test-wayland-" + std::to_string(getpid());
  std::unique_ptr<Subprocess> compositor;
  bool ready = false;
};

}  // namespace cs::test

#endif  // CS_TESTS_SUPPORT_WAYLAND_DESKTOP_H
