// A headless Wayland compositor (weston) with a runtime directory and socket of its own, and no X server: the
// desktop of a launcher whose tray lives on Wayland.
#ifndef CS_TESTS_SUPPORT_WAYLAND_DESKTOP_H
#define CS_TESTS_SUPPORT_WAYLAND_DESKTOP_H

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {

class WaylandDesktop {
 public:
  WaylandDesktop();

  static bool installed() { return !programInPath("weston").empty(); }
  bool ok() const { return ready; }
  // This test's environment without any desktop's variables, then the compositor's runtime directory and socket.
  std::vector<std::string> environment() const;
  // The socket by its absolute path, as WAYLAND_DISPLAY may name it whatever XDG_RUNTIME_DIR says.
  std::filesystem::path socketPath() const { return runtime.path() / socket; }
  std::string diagnostics() const { return slurp(runtime.path() / "weston.log"); }

 private:
  TempDir runtime;  // made private to its owner (0700), as a runtime directory must be
  std::string socket;
  std::unique_ptr<Subprocess> compositor;
  bool ready = false;
};

}  // namespace cs::test

#endif  // CS_TESTS_SUPPORT_WAYLAND_DESKTOP_H
