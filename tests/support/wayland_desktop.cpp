#include "tests/support/wayland_desktop.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/session_bus.h"

namespace cs::test {

WaylandDesktop::WaylandDesktop() : socket("cs-test-wayland-" + std::to_string(getpid())) {
  const std::filesystem::path program = programInPath("weston");
  if (program.empty()) return;
  compositor = std::make_unique<Subprocess>(
      Subprocess::Options{.program = program,
                          .argv = {"weston", "--backend=headless-backend.so", "--socket=" + socket, "--idle-time=0"},
                          .env = withoutVariable(environment(), "WAYLAND_DISPLAY"),
                          .output = runtime.path() / "weston.log",
                          .workingDir = {}});
  ready = compositor->started() && waitUntil([&] {
            struct stat info {};
            return lstat(socketPath().c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
          });
}

std::vector<std::string> WaylandDesktop::environment() const {
  std::vector<std::string> env = currentEnvironment();
  for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "GDK_BACKEND", "HOME"}) {
    env = withoutVariable(env, name);
  }
  env = withVariable(env, "XDG_RUNTIME_DIR", runtime.path().string());
  return withVariable(env, "WAYLAND_DISPLAY", socket);
}

}  // namespace cs::test
