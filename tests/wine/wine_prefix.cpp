#include "tests/wine/wine_prefix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace cs::test {

namespace fs = std::filesystem;

// Debian keeps its 64-bit loader out of PATH; other systems have wine64 or wine there.
fs::path wineLoader() {
  if (fs::exists("/usr/lib/wine/wine64")) return "/usr/lib/wine/wine64";
  const fs::path wine64 = programInPath("wine64");
  return wine64.empty() ? programInPath("wine") : wine64;
}

// Without Mono and Gecko, whose installers wineboot would otherwise offer.
std::vector<std::string> wineEnvironment(const fs::path& prefix) {
  return {"PATH=/usr/bin:/bin", "HOME=" + prefix.parent_path().string(), "WINEPREFIX=" + prefix.string(),
          "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEDEBUG=-all"};
}

bool runWine(const TestUser& user, const std::vector<std::string>& argv, const fs::path& prefix,
             std::chrono::seconds timeout, const std::optional<fs::path>& output) {
  const std::vector<std::string> command = asUser(user, argv);
  Subprocess wine({.program = command.front(),
                   .argv = command,
                   .env = wineEnvironment(prefix),
                   .output = output,
                   .workingDir = std::nullopt});
  const std::optional<int> status = wine.wait(timeout);
  return status && *status == 0;
}

bool copyTree(const fs::path& from, const fs::path& to) {
  Subprocess copy({.program = programInPath("cp"),
                   .argv = {"cp", "-a", from.string(), to.string()},
                   .env = {},
                   .output = std::nullopt,
                   .workingDir = std::nullopt});
  return copy.wait(std::chrono::seconds(300)) == 0;
}

// The wineserver of the same build: Debian keeps it beside the loader.
fs::path wineserverFor(const fs::path& loader) {
  const fs::path beside = loader.parent_path() / "wineserver";
  return fs::exists(beside) ? beside : programInPath("wineserver");
}

// The prefix every case starts from, made by wineboot once and kept in the build tree, for each build of wine
// (known by its loader's time): the user must own a prefix to use it, and wineboot takes tens of seconds.
fs::path prefixTemplate(const TestUser& user, const fs::path& loader) {
  const fs::path made =
      fs::path(CS_WINE_PREFIX_DIR) / std::to_string(fs::last_write_time(loader).time_since_epoch().count()) / "pfx";
  if (fs::exists(made)) return made;
  const TempDir staging(fs::path("/var/tmp"));
  giveTo(user, staging.path());
  const fs::path log = staging.path() / "wineboot.log";
  const fs::path prefix = staging.path() / "pfx";
  const bool booted = runWine(user, {loader.string(), "wineboot", "--init"}, prefix, std::chrono::seconds(300), log) &&
                      runWine(user, {wineserverFor(loader).string(), "-w"}, prefix, std::chrono::seconds(60), log);
  if (!booted) {
    runWine(user, {wineserverFor(loader).string(), "-k"}, prefix, std::chrono::seconds(30), log);
    ADD_FAILURE() << "wineboot failed:\n" << slurp(log);
    return {};
  }
  // Copied beside its place and renamed there, so that an interrupted copy is never taken for a prefix.
  const fs::path partial = made.string() + ".partial";
  fs::create_directories(made.parent_path());
  fs::remove_all(partial);
  if (!copyTree(prefix, partial)) return {};
  // A run beside this one may have put its copy in place first: that one serves as well.
  std::error_code ec;
  fs::rename(partial, made, ec);
  fs::remove_all(partial, ec);
  return fs::exists(made) ? made : fs::path();
}

// A wineserver works in the directory of its socket, which is named after the prefix's device and inode.
int wineserversOfPrefix(const fs::path& prefix) {
  struct stat info {};
  if (stat(prefix.c_str(), &info) != 0) return -1;
  char name[64];
  std::snprintf(name, sizeof name, "server-%llx-%llx", static_cast<unsigned long long>(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  int count = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    if (!slurp(entry.path() / "comm").starts_with("wineserver")) continue;
    if (fs::read_symlink(entry.path() / "cwd", ec).filename() == name) ++count;
  }
  return count;
}

}  // namespace cs::test
