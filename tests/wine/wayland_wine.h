// Wine 10 with its Wayland driver for the tests: a Debian 13 root holding wine 10 and a wlroots compositor (labwc),
// which ./scripts/test makes once per machine (scripts/lib/wine_root.sh) because the systems the tests run on have
// no wine with a Wayland driver. Its programs run as the test user through bubblewrap, in a user and mount
// namespace only: the host's pids, /proc, /dev and /tmp, so that a wineserver started inside serves programs
// started inside and outside alike, and a game run this way is, to the launcher, a game on the host.
#ifndef CS_TESTS_WINE_WAYLAND_WINE_H
#define CS_TESTS_WINE_WAYLAND_WINE_H

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {

// The wine programs as the root holds them.
inline constexpr const char* kRootWineLoader = "/usr/lib/wine/wine64";
inline constexpr const char* kRootWineserver = "/usr/lib/wine/wineserver";

// The root, or an empty path when it has not been made (or lacks wine's Wayland driver).
std::filesystem::path waylandWineRoot();

// Returns the command that runs argv inside the root with bubblewrap: the host's /proc, /dev and /tmp, and each
// shared path at its own place, which must exist; `options` are more of bubblewrap's. Run it as the user (asUser).
std::vector<std::string> inWineRoot(const std::filesystem::path& root, const std::vector<std::filesystem::path>& shared,
                                    const std::vector<std::string>& argv, const std::vector<std::string>& options = {});

// A shell script that runs the root's program through inWineRoot with the script's arguments: a Proton build's
// files/bin/wine whose wine is the root's.
std::string wineRootScript(const std::filesystem::path& root, const std::vector<std::filesystem::path>& shared,
                           const std::string& program);

// The root's compositor (labwc), headless, run as the user with a runtime directory of its own (under /tmp, the
// user's, mode 0700) holding its socket. It ends with this object, or with the test process.
class HeadlessCompositor {
 public:
  HeadlessCompositor(const TestUser& user, const std::filesystem::path& root);
  ~HeadlessCompositor();
  HeadlessCompositor(const HeadlessCompositor&) = delete;
  HeadlessCompositor& operator=(const HeadlessCompositor&) = delete;

  // Whether its socket is there.
  bool ok() const { return ready; }
  const std::filesystem::path& runtimeDir() const { return runtime.path(); }
  // The environment changed for a Wayland client of this compositor: XDG_RUNTIME_DIR and WAYLAND_DISPLAY set,
  // DISPLAY unset, so that wine takes its Wayland driver.
  std::vector<std::string> clientEnvironment(std::vector<std::string> env) const;
  std::string diagnostics() const;

 private:
  TempDir runtime{std::filesystem::path("/tmp")};
  std::unique_ptr<Subprocess> compositor;
  bool ready = false;
};

// The prefix every case starts from, made by the root's wineboot once for each build tree and root, owned by the
// user; an empty path (and a test failure) when wineboot failed.
std::filesystem::path waylandPrefixTemplate(const TestUser& user, const std::filesystem::path& root);

// The Wine processes of the prefix (by their WINEPREFIX) whose command line holds `program` (a Windows path or
// name; empty for any) and that map the library (a file name, such as winewayland.so): which display driver a Wine
// process took.
std::vector<pid_t> processesMapping(const std::filesystem::path& prefix, const std::string& program,
                                    const std::string& library);

}  // namespace cs::test

#endif  // CS_TESTS_WINE_WAYLAND_WINE_H
