// Starting the companion for real: a Steam library and a Proton build in a temporary directory, whose wine
// loader is a copy of the stand-in process that records what it was started with.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/paths.h"
#include "launch/cursello_launch.h"
#include "proc/process_snapshot.h"
#include "tests/support/test_support.h"

namespace cs {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kUntouched = 4242;

// Collects what Logger writes to std::cout while it lives; the child's own output goes to fd 1 and is not seen.
class CapturedLog {
 public:
  CapturedLog() : saved(std::cout.rdbuf(text.rdbuf())) {}
  ~CapturedLog() { std::cout.rdbuf(saved); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  // The messages of the lines written so far; a line without the timestamp comes back whole, to fail loudly.
  std::vector<std::string> messages() const {
    static const std::regex line_re(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )", std::regex::ECMAScript);
    std::vector<std::string> result;
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
      result.push_back(std::regex_search(line, line_re) ? line.substr(20) : "[no timestamp] " + line);
    }
    return result;
  }

 private:
  std::ostringstream text;
  std::streambuf* saved;
};

// Kills and reaps a started child if the test ends before it did so itself.
struct ChildGuard {
  std::int32_t pid = -1;
  ~ChildGuard() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
};

// A Steam library with the game's compatdata and prefix, a Proton build and a Cursello.exe, under a directory
// whose name holds blanks and double quotes, since paths are logged inside quotes without escaping.
class SpawnLayout {
 public:
  explicit SpawnLayout(const std::string& appId) {
    const fs::path root = dir.path() / "lib \"one\" two";
    context.libraryRoot = root / "library";
    context.compatDataPath = context.libraryRoot / "steamapps/compatdata" / appId;
    context.protonDir = root / "library/steamapps/common/Proton 9.0 (beta)";
    context.winePath = context.protonDir / "files/bin/wine";
    exePath = root / "launcher dir/Cursello.exe";
  }

  void addExe() const { test::writeFile(exePath, "MZ stand-in"); }
  void addCompatData() const { fs::create_directories(context.compatDataPath); }
  void addPrefix() const { fs::create_directories(prefix()); }
  void addStandInWine() const {
    fs::create_directories(context.winePath.parent_path());
    fs::copy_file(test::fakeProcessBinary(), context.winePath, fs::copy_options::overwrite_existing);
    fs::permissions(context.winePath, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec);
  }
  void addAll() const {
    addExe();
    addCompatData();
    addPrefix();
    addStandInWine();
  }

  fs::path prefix() const { return context.compatDataPath / "pfx"; }
  fs::path wineDir() const { return context.winePath.parent_path(); }

  std::string launchLine(const std::string& appId, const std::string& pidText) const {
    return "Launching Cursello for AppID " + appId + " inherited_env_pid=" + pidText + " compatdata=\"" +
           context.compatDataPath.string() + "\" proton_dir=\"" + context.protonDir.string() + "\" wine=\"" +
           context.winePath.string() + "\" wineprefix=\"" + prefix().string() + "\" exe=\"" + exePath.string() +
           "\" WINEDLLOVERRIDES=\"dxgi=n,b;d3d11=n,b\"";
  }

  test::TempDir dir;
  LaunchContext context;
  fs::path exePath;
};

const std::string kOverrideNote = "WINEDLLOVERRIDES is applied only to the Cursello child process";

std::vector<std::string> sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

// Starts the stand-in wine through spawnCursello and checks the log, its argument vector and its environment.
void spawnAndCheckRecord(const Environment& inherited, std::int32_t inheritedPid,
                         const std::vector<std::string>& expectedInherited) {
  const std::string appId = "0620";
  SpawnLayout layout(appId);
  layout.addAll();

  Logger logger;
  std::int32_t childPid = kUntouched;
  bool started = false;
  std::vector<std::string> lines;
  {
    CapturedLog log;
    started = spawnCursello(appId, layout.context, layout.exePath, inherited, inheritedPid, logger, childPid);
    lines = log.messages();
  }
  ChildGuard guard;
  if (started) guard.pid = childPid;

  ASSERT_TRUE(started);
  ASSERT_NE(childPid, kUntouched);
  ASSERT_GT(childPid, 0);
  const std::vector<std::string> expectedLines = {
      layout.launchLine(appId, std::to_string(inheritedPid)),
      kOverrideNote,
      "Launched Cursello for AppID 0620 with child pid " + std::to_string(childPid),
  };
  EXPECT_EQ(lines, expectedLines);

  // The stand-in writes the environment first and the arguments last, each file atomically.
  const fs::path argsFile = layout.wineDir() / ("wine-" + std::to_string(childPid) + ".args");
  const fs::path envFile = layout.wineDir() / ("wine-" + std::to_string(childPid) + ".env");
  ASSERT_TRUE(test::waitUntil([&] { return fs::exists(argsFile); })) << "no record from the stand-in wine";

  const std::vector<std::string> argv = splitNullSeparated(test::slurp(argsFile));
  const std::vector<std::string> expectedArgv = {layout.context.winePath.string(), layout.exePath.string(),
                                                 "--proton-child", "--target-appid", appId};
  EXPECT_EQ(argv, expectedArgv);

  const std::vector<std::string> env = splitNullSeparated(test::slurp(envFile));
  const std::vector<std::string> expectedTail = {
      "WINEPREFIX=" + layout.prefix().string(),
      "STEAM_COMPAT_DATA_PATH=" + layout.context.compatDataPath.string(),
      "STEAM_COMPAT_CLIENT_INSTALL_PATH=" + layout.context.libraryRoot.string(),
      "WINEDLLOVERRIDES=dxgi=n,b;d3d11=n,b",
  };
  ASSERT_GE(env.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(env.end() - 4, env.end()), expectedTail);
  EXPECT_EQ(sorted({env.begin(), env.end() - 4}), sorted(expectedInherited));

  test::writeFile(layout.wineDir() / "wine.exit", "");
  int status = -1;
  ASSERT_TRUE(test::waitUntil([&] { return waitpid(childPid, &status, WNOHANG) == childPid; }));
  guard.pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST(SpawnCursello, StartsWineWithTheGamesEnvironmentAndLogsTheLaunch) {
  // Steam's own values of the controlled names must not reach the child; everything else does, empty ones too.
  const Environment inherited = {
      {"HOME", "/home/player"},
      {"PATH", "/usr/bin:/bin"},
      {"SteamAppId", "620"},
      {"EMPTY", ""},
      {"WINEPREFIX", "/stale/pfx"},
      {"STEAM_COMPAT_DATA_PATH", "/stale"},
      {"STEAM_COMPAT_CLIENT_INSTALL_PATH", "/stale/steam"},
      {"WINEDLLOVERRIDES", "steam.exe=b"},
      {"WINEESYNC", "1"},
  };
  spawnAndCheckRecord(inherited, 31337,
                      {"HOME=/home/player", "PATH=/usr/bin:/bin", "SteamAppId=620", "EMPTY=", "WINEESYNC=1"});
}

TEST(SpawnCursello, WithoutInheritedEnvironmentTheChildGetsOnlyTheFour) {
  spawnAndCheckRecord({}, -1, {});
}

TEST(SpawnCursello, FirstFailingCheckLogsItsOneLineAndSpawnsNothing) {
  struct Row {
    std::string label;
    bool exe, compatData, prefix, wine;
    std::string (*expected)(const SpawnLayout&);
  };
  // A missing Cursello.exe is named with the other places the launcher looks.
  const test::ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", "/data");
  static const std::string otherPlaces = " or " + (executableDir() / "Cursello.exe").string() +
                                         " or /data/CurselloLinuxLauncher/Cursello.exe";
  const std::vector<Row> rows = {
      {"exe missing, rest present", false, true, true, true,
       [](const SpawnLayout& l) { return "Cursello.exe not found: " + l.exePath.string() + otherPlaces; }},
      {"nothing present", false, false, false, false,
       [](const SpawnLayout& l) { return "Cursello.exe not found: " + l.exePath.string() + otherPlaces; }},
      {"compatdata missing", true, false, false, true,
       [](const SpawnLayout& l) { return "Compatdata path not found: " + l.context.compatDataPath.string(); }},
      {"prefix missing", true, true, false, true,
       [](const SpawnLayout& l) { return "Wine prefix not found: " + l.prefix().string(); }},
      {"wine missing", true, true, true, false,
       [](const SpawnLayout& l) { return "Proton wine loader not found: " + l.context.winePath.string(); }},
  };
  for (const Row& row : rows) {
    SpawnLayout layout("620");
    if (row.exe) layout.addExe();
    if (row.compatData) layout.addCompatData();
    if (row.prefix) layout.addPrefix();
    if (row.wine) layout.addStandInWine();

    Logger logger;
    std::int32_t childPid = kUntouched;
    CapturedLog log;
    const bool started = spawnCursello("620", layout.context, layout.exePath, {{"HOME", "/h"}}, 77, logger,
                                       childPid);
    ChildGuard guard;
    if (started) guard.pid = childPid;
    EXPECT_FALSE(started) << row.label;
    EXPECT_EQ(childPid, kUntouched) << row.label;
    EXPECT_EQ(log.messages(), std::vector<std::string>{row.expected(layout)}) << row.label;
    EXPECT_FALSE(fs::exists(layout.wineDir() / "wine.pids")) << row.label;
  }
}

TEST(SpawnCursello, SpawnErrorIsLoggedWithTheSystemsText) {
  struct Row {
    std::string label;
    void (*makeWine)(const fs::path&);
    int error;
  };
  const std::vector<Row> rows = {
      {"wine is a directory", [](const fs::path& wine) { fs::create_directories(wine); }, EACCES},
      // Even root cannot execute a file that has no execute bit at all.
      {"wine has no execute bit",
       [](const fs::path& wine) {
         test::writeFile(wine, "#!/bin/sh\nexit 0\n");
         fs::permissions(wine, fs::perms::owner_read | fs::perms::owner_write);
       },
       EACCES},
      // posix_spawn does not hand a file without a known format to the shell.
      {"wine is empty",
       [](const fs::path& wine) {
         test::writeFile(wine, "");
         fs::permissions(wine, fs::perms::owner_all);
       },
       ENOEXEC},
  };
  for (const Row& row : rows) {
    SpawnLayout layout("620");
    layout.addExe();
    layout.addCompatData();
    layout.addPrefix();
    fs::create_directories(layout.wineDir());
    row.makeWine(layout.context.winePath);

    Logger logger;
    std::int32_t childPid = kUntouched;
    CapturedLog log;
    const bool started = spawnCursello("620", layout.context, layout.exePath, {}, -1, logger, childPid);
    ChildGuard guard;
    if (started) guard.pid = childPid;
    EXPECT_FALSE(started) << row.label;
    EXPECT_EQ(childPid, kUntouched) << row.label;
    const std::vector<std::string> expected = {
        layout.launchLine("620", "-1"),
        kOverrideNote,
        std::string("Failed to launch Proton wine for AppID 620: ") + std::strerror(row.error),
    };
    EXPECT_EQ(log.messages(), expected) << row.label;
  }
}

}  // namespace
}  // namespace cs
