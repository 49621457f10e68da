// The launcher's own lines at start and end, on an X11 desktop and on a Wayland desktop without X11, with its
// standard output in a file as it is when a session manager starts it.
#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <thread>

#include "tests/support/session_bus.h"
#include "tests/support/test_support.h"
#include "tests/support/wayland_desktop.h"
#include "tests/support/x_server.h"
#include "tests/tray/running_launcher.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const std::string kStarted = "CurselloLinuxLauncher started";
const std::string kExiting = "CurselloLinuxLauncher exiting";
const std::string kAlreadyRunning = "CurselloLinuxLauncher is already running; exiting";
const std::string kNoDisplay = "X11 display is unavailable; Proton game windows cannot be detected";

// Steam's launch of a game, run from Steam's reaper in the Steam root under home: each poll pass that sees it the
// first time logs it.
class MarkerSteamLaunch {
 public:
  explicit MarkerSteamLaunch(const fs::path& home)
      : process(Subprocess::Options{.program = reaperIn(home),
                                    .argv = {reaperIn(home).string(), "SteamLaunch", "AppId=" + appId()},
                                    .env = environmentWithoutDesktop(),
                                    .output = {},
                                    .workingDir = {}}) {}
  static std::string appId() { return "97001"; }
  static fs::path reaperIn(const fs::path& home) {
    const fs::path reaper = home / ".local/share/Steam/ubuntu12_32/reaper";
    std::error_code ec;
    fs::create_directories(reaper.parent_path(), ec);
    fs::copy_file(fakeProcessBinary(), reaper, fs::copy_options::overwrite_existing, ec);
    return reaper;
  }
  static std::string detectionLine() {
    return "Detected Steam launch for AppID " + appId() + "; waiting for Proton game window";
  }

 private:
  Subprocess process;
};

TEST(LauncherLog, StartLineReachesTheFileAtOnceOnAnX11Desktop) {
  XServer x(false);
  ASSERT_TRUE(x.ok()) << x.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.startTrayWatcher()) << bus.diagnostics();
  RunningLauncher run(x.environment(environmentWithoutDesktop()), bus);

  // Standard output is a file here, not a terminal: the line must not wait in a buffer for the program's end.
  ASSERT_TRUE(run.waitForMessage(kStarted)) << run.output();
  EXPECT_FALSE(run.launcher().wait(std::chrono::milliseconds(0)).has_value()) << "the launcher ended";

  // Registered means start and the tray's setup are over: a display warning would be in the file by now.
  ASSERT_TRUE(waitUntil([&] { return !registeredTrayItems(bus.address()).empty(); })) << run.output();
  const auto messages = run.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), kStarted);
  EXPECT_FALSE(run.hasMessage(kNoDisplay)) << run.output();

  static const std::regex started_re(
      R"((^|\n)\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} CurselloLinuxLauncher started\n)");
  EXPECT_TRUE(std::regex_search(run.output(), started_re)) << run.output();
}

TEST(LauncherLog, EndedBySignalWritesNoExitLine) {
  XServer x(false);
  ASSERT_TRUE(x.ok()) << x.diagnostics();
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    SessionBus bus;
    RunningLauncher run(x.environment(environmentWithoutDesktop()), bus);
    ASSERT_TRUE(run.waitForMessage(kStarted)) << run.output();
    run.launcher().signal(sig);
    const auto status = run.launcher().wait(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == sig) << "wait status " << *status;
    // The lines written before the signal stay in the file; the exit line is never written.
    EXPECT_EQ(run.messages().front(), kStarted);
    EXPECT_FALSE(run.hasMessage(kExiting)) << run.output();
  }
}

// Launchers of one home are the same user's, whatever their runtime directory, also when the icon's fixed
// directory is taken: while one runs, another ends at once; a killed one leaves nothing behind that keeps the next
// one out; a lock file of another owner keeps nobody out.
TEST(LauncherLog, OneLauncherPerUserAndAKilledOneStopsNoSuccessor) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  XServer x(false);
  ASSERT_TRUE(x.ok()) << x.diagnostics();
  SessionBus bus;
  TempDir home;
  fs::remove_all(iconDirectory());
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(mkdir(iconDirectory().c_str(), 0755), 0);
  ASSERT_EQ(chown(iconDirectory().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const auto env = withVariable(x.environment(environmentWithoutDesktop()), "HOME", home.path());
  RunningLauncher first(env, bus);
  ASSERT_TRUE(first.waitForMessage(kStarted)) << first.output();

  RunningLauncher second(withVariable(env, "XDG_RUNTIME_DIR", ""), bus);
  const auto status = second.launcher().wait(std::chrono::seconds(20));
  fs::remove_all(iconDirectory());
  ASSERT_TRUE(status.has_value()) << second.output();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  EXPECT_EQ(second.messages(), std::vector<std::string>{kAlreadyRunning}) << second.output();

  first.launcher().kill();
  RunningLauncher third(env, bus);
  EXPECT_TRUE(third.waitForMessage(kStarted)) << third.output();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const fs::path lock = home.path() / ".cache" / ("CurselloLinuxLauncher-" + std::string(host) + ".lock");
  ASSERT_EQ(chown(lock.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << lock;
  RunningLauncher fourth(env, bus);
  EXPECT_TRUE(fourth.waitForMessage(kStarted)) << fourth.output();
}

// The machine's runtime directory of the user holds the lock whatever XDG_RUNTIME_DIR and HOME say.
TEST(LauncherLog, TheUsersRuntimeDirectoryOfTheMachineHoldsTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "a /run/user of its own needs root";
  XServer x(false);
  ASSERT_TRUE(x.ok()) << x.diagnostics();
  SessionBus bus;
  TempDir runUser;
  RunningLauncher first(x.environment(environmentWithoutDesktop()), bus, runUser.path());
  ASSERT_TRUE(first.waitForMessage(kStarted)) << first.output();
  RunningLauncher second(withVariable(x.environment(environmentWithoutDesktop()), "XDG_RUNTIME_DIR", ""), bus,
                         runUser.path());
  ASSERT_TRUE(second.launcher().wait(std::chrono::seconds(20)).has_value()) << second.output();
  EXPECT_EQ(second.messages(), std::vector<std::string>{kAlreadyRunning}) << second.output();
}

TEST(LauncherLog, WaylandOnlyDesktopWarnsThatX11IsUnavailableAndRunsOn) {
  if (!WaylandDesktop::installed()) GTEST_SKIP() << "weston is not installed";
  WaylandDesktop wayland;
  ASSERT_TRUE(wayland.ok()) << wayland.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.startTrayWatcher()) << bus.diagnostics();
  RunningLauncher run(wayland.environment(), bus);
  MarkerSteamLaunch marker(run.home());

  ASSERT_TRUE(run.waitForMessage(MarkerSteamLaunch::detectionLine())) << run.output();
  const auto messages = run.messages();
  ASSERT_GE(messages.size(), 2u) << run.output();
  EXPECT_EQ(messages[0], kStarted);
  EXPECT_EQ(messages[1], kNoDisplay);

  ASSERT_TRUE(clickTrayQuit(bus.address())) << run.output();
  const auto status = run.launcher().wait(std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "still running after Quit; output:\n" << run.output();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  EXPECT_EQ(run.messages().back(), kExiting);
}

// DISPLAY names a server of another user's (the launcher runs as root here): the launcher says once who serves it,
// connects to none of it at any retry, and answers its tray.
TEST(LauncherLog, AnXServerOfAnotherUsersIsNamedOnceAndNeverUsed) {
  if (!WaylandDesktop::installed()) GTEST_SKIP() << "weston is not installed";
  const std::optional<TestUser> user = sandboxTestUser();
  ASSERT_TRUE(user) << "no test user";
  const XServer theirs(false, std::nullopt, {asUser(*user, {}), {}});
  ASSERT_TRUE(theirs.ok()) << theirs.diagnostics();
  WaylandDesktop wayland;
  ASSERT_TRUE(wayland.ok()) << wayland.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.startTrayWatcher()) << bus.diagnostics();
  RunningLauncher run(withVariable(wayland.environment(), "DISPLAY", theirs.display()), bus);
  MarkerSteamLaunch marker(run.home());

  ASSERT_TRUE(run.waitForMessage(MarkerSteamLaunch::detectionLine())) << run.output();
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the retries after 1 and 2 s
  const auto messages = run.messages();
  ASSERT_GE(messages.size(), 3u) << run.output();
  EXPECT_EQ(messages[0], kStarted);
  const std::regex refusal_re("X11 display " + theirs.display() + " is served by pid [1-9][0-9]* of uid " +
                              std::to_string(user->uid) +
                              ", which is neither root's nor the user's own outside a sandbox; not connecting to it");
  EXPECT_TRUE(std::regex_match(messages[1], refusal_re)) << run.output();
  EXPECT_EQ(messages[2], kNoDisplay);
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [&](const std::string& m) { return m.starts_with("X11 display " + theirs.display()); }),
            1)
      << run.output();

  ASSERT_TRUE(clickTrayQuit(bus.address())) << run.output();
  EXPECT_TRUE(run.launcher().wait(std::chrono::seconds(30)).has_value()) << run.output();
}

// With no status-notifier host the indicator falls back to a status icon, which GTK cannot show on Wayland; the
// launcher must still poll on.
TEST(LauncherLog, WaylandDesktopWithoutATrayHostRunsOn) {
  if (!WaylandDesktop::installed()) GTEST_SKIP() << "weston is not installed";
  WaylandDesktop wayland;
  ASSERT_TRUE(wayland.ok()) << wayland.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.ok()) << bus.diagnostics();
  RunningLauncher run(wayland.environment(), bus);
  MarkerSteamLaunch marker(run.home());

  // The first poll comes a second after start, well after the fallback.
  ASSERT_TRUE(run.waitForMessage(MarkerSteamLaunch::detectionLine())) << run.output();
  EXPECT_FALSE(run.launcher().wait(std::chrono::milliseconds(0)).has_value()) << run.output();
  const auto messages = run.messages();
  ASSERT_GE(messages.size(), 2u) << run.output();
  EXPECT_EQ(messages[1], kNoDisplay);
}

// The indicator's library hidden from the launcher (an empty file bound over it): no tray, a line, polls go on.
TEST(LauncherLog, WithoutTheIndicatorLibraryRunsWithoutATrayAndSaysSo) {
  const fs::path bwrap = programInPath("bwrap");
  ASSERT_FALSE(bwrap.empty()) << "bubblewrap is not installed";
  void* library = dlopen("libayatana-appindicator3.so.1", RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(library, RTLD_DI_LINKMAP, &map), 0);
  const fs::path libraryFile = fs::canonical(map->l_name);
  XServer x(false);
  ASSERT_TRUE(x.ok()) << x.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.startTrayWatcher()) << bus.diagnostics();
  RunningLauncher run(x.environment(environmentWithoutDesktop()), bus, {},
                      {bwrap.string(), "--dev-bind", "/", "/", "--ro-bind", "/dev/null", libraryFile.string(), "--"});
  MarkerSteamLaunch marker(run.home());

  ASSERT_TRUE(run.waitForMessage(MarkerSteamLaunch::detectionLine())) << run.output();
  const auto messages = run.messages();
  ASSERT_GE(messages.size(), 2u) << run.output();
  EXPECT_EQ(messages[0], kStarted);
  EXPECT_TRUE(messages[1].starts_with("Running without a tray icon: libayatana-appindicator3.so.1 cannot be loaded: "))
      << run.output();
  EXPECT_TRUE(registeredTrayItems(bus.address()).empty());
}

}  // namespace
}  // namespace cs::test
