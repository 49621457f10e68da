#include "tests/wine/wayland_wine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/session_bus.h"
#include "tests/wine/wine_prefix.h"

namespace cs::test {

namespace fs = std::filesystem;

namespace {

// Where scripts/lib/wine_root.sh keeps the root.
const fs::path kWineRoot = "/var/cache/cursello-tests/trixie-wine";

// A shell word that stays one word whatever it holds.
std::string quoted(const std::string& word) {
  std::string out = "'";
  for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

fs::path waylandWineRoot() {
  std::error_code ec;
  const bool complete = fs::exists(kWineRoot / fs::path(kRootWineLoader).relative_path(), ec) &&
                        fs::exists(kWineRoot / "usr/lib/x86_64-linux-gnu/wine/x86_64-unix/winewayland.so", ec) &&
                        fs::exists(kWineRoot / "usr/bin/labwc", ec);
  return complete ? kWineRoot : fs::path();
}

// No pid namespace and the host's own /tmp: the launcher takes a process whose pids and /tmp are its own for a game
// on the host, and the wineserver's socket under /tmp is found from both sides. Only the user namespace is new,
// which lets an ordinary user mount the root; it maps the user to itself.
std::vector<std::string> inWineRoot(const fs::path& root, const std::vector<fs::path>& shared,
                                    const std::vector<std::string>& argv, const std::vector<std::string>& options) {
  // clang-format off
  std::vector<std::string> command = {programInPath("bwrap").string(), "--unshare-user", "--bind", root.string(), "/",
      "--bind", "/proc", "/proc", "--dev-bind", "/dev", "/dev", "--bind", "/tmp", "/tmp"};
  // clang-format on
  for (const fs::path& path : shared) command.insert(command.end(), {"--bind", path.string(), path.string()});
  command.insert(command.end(), options.begin(), options.end());
  command.push_back("--");
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

std::string wineRootScript(const fs::path& root, const std::vector<fs::path>& shared, const std::string& program) {
  std::string script = "#!/bin/sh\nexec";
  for (const std::string& word : inWineRoot(root, shared, {program})) script += " " + quoted(word);
  return script + " \"$@\"\n";
}

// Headless and drawing in memory: no GPU, no seat, no input devices. Its runtime directory is under /tmp, which
// every program of the root shares. The compositor would not start without making an X socket for Xwayland, and
// the host's /tmp/.X11-unix belongs to root, whom the user namespace does not map: it gets an empty one of its own.
HeadlessCompositor::HeadlessCompositor(const TestUser& user, const fs::path& root) {
  giveTo(user, runtime.path());
  const std::vector<std::string> command =
      asUser(user, inWineRoot(root, {}, {"/usr/bin/labwc"}, {"--die-with-parent", "--tmpfs", "/tmp/.X11-unix"}));
  compositor = std::make_unique<Subprocess>(Subprocess::Options{
      .program = command.front(),
      .argv = command,
      .env = {"PATH=/usr/bin:/bin", "HOME=" + runtime.path().string(), "XDG_RUNTIME_DIR=" + runtime.path().string(),
              "WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"},
      .output = runtime.path() / "compositor.log",
      .workingDir = runtime.path()});
  // A fresh runtime directory: the compositor takes the first name free there.
  ready = compositor->started() && waitUntil([&] {
            struct stat info {};
            return lstat((runtime.path() / "wayland-0").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
          });
}

// bubblewrap's --die-with-parent takes the compositor with it.
HeadlessCompositor::~HeadlessCompositor() {
  if (compositor) compositor->kill();
}

std::vector<std::string> HeadlessCompositor::clientEnvironment(std::vector<std::string> env) const {
  env = withoutVariable(std::move(env), "DISPLAY");
  return withVariable(withVariable(std::move(env), "XDG_RUNTIME_DIR", runtime.path().string()), "WAYLAND_DISPLAY",
                      "wayland-0");
}

std::string HeadlessCompositor::diagnostics() const { return slurp(runtime.path() / "compositor.log"); }

// As prefixTemplate does for the system's wine, keyed by the root's loader: wineboot of wine 10 takes tens of
// seconds. It needs no display: the prefix does not remember a driver.
fs::path waylandPrefixTemplate(const TestUser& user, const fs::path& root) {
  const fs::path loader = root / fs::path(kRootWineLoader).relative_path();
  const fs::path made = fs::path(CS_WINE_PREFIX_DIR) /
                        ("wine10-" + std::to_string(fs::last_write_time(loader).time_since_epoch().count())) / "pfx";
  if (fs::exists(made)) return made;
  const TempDir staging(fs::path("/var/tmp"));
  giveTo(user, staging.path());
  const fs::path log = staging.path() / "wineboot.log";
  const fs::path prefix = staging.path() / "pfx";
  const auto inRoot = [&](const std::vector<std::string>& argv) { return inWineRoot(root, {staging.path()}, argv); };
  const bool booted =
      runWine(user, inRoot({kRootWineLoader, "wineboot", "--init"}), prefix, std::chrono::seconds(300), log) &&
      runWine(user, inRoot({kRootWineserver, "-w"}), prefix, std::chrono::seconds(60), log);
  if (!booted) {
    runWine(user, inRoot({kRootWineserver, "-k"}), prefix, std::chrono::seconds(30), log);
    ADD_FAILURE() << "wineboot of wine 10 failed:\n" << slurp(log);
    return {};
  }
  const fs::path partial = made.string() + ".partial";
  std::error_code ec;
  fs::create_directories(made.parent_path(), ec);
  fs::remove_all(partial, ec);
  if (!copyTree(prefix, partial)) return {};
  fs::rename(partial, made, ec);
  fs::remove_all(partial, ec);
  return fs::exists(made) ? made : fs::path();
}

// Other tests run wine too: a process counts only when it names the prefix.
std::vector<pid_t> processesMapping(const fs::path& prefix, const std::string& program, const std::string& library) {
  std::vector<pid_t> found;
  const std::string inPrefix = std::string(1, '\0') + "WINEPREFIX=" + prefix.string() + '\0';
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (slurp(entry.path() / "cmdline").find(program) == std::string::npos) continue;
    if (('\0' + slurp(entry.path() / "environ")).find(inPrefix) == std::string::npos) continue;
    if (slurp(entry.path() / "maps").find("/" + library + "\n") != std::string::npos) {
      found.push_back(static_cast<pid_t>(std::atoi(name.c_str())));
    }
  }
  return found;
}

}  // namespace cs::test
