#include "x11/x_connection.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/game_namespaces.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "x11/window_scanner.h"

namespace cs {
namespace {

// An abstract socket of the test's own whose backlog is full: it takes no connection and never will.
class FullBacklog {
 public:
  explicit FullBacklog(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    fds.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (bind(fds[0], reinterpret_cast<const sockaddr*>(&address), length) != 0 || listen(fds[0], 0) != 0) return;
    while (!full && fds.size() < 100) {
      fds.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      full = connect(fds.back(), reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno == EAGAIN;
    }
  }
  ~FullBacklog() {
    for (const int fd : fds) close(fd);
  }
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;

  bool full = false;

 private:
  std::vector<int> fds;
};

// XCB connects in blocking mode to the abstract socket, and to the file only when no abstract one exists or nobody
// listens there: a full backlog there would hold XCB up for good, whatever serves the file.
TEST(XConnection, AFullBacklogIsNoDisplayWhateverServesTheFileSocket) {
  const test::XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  // A number no server takes (they count up from 0), whose file leads to the running server's socket.
  const std::string number = std::to_string(4000 + getpid() % 1000);
  const std::string file = "/tmp/.X11-unix/X" + number;
  unlink(file.c_str());  // left by a run that ended early
  ASSERT_EQ(symlink(("/tmp/.X11-unix/X" + server.display().substr(1)).c_str(), file.c_str()), 0) << file;
  {
    const FullBacklog abstractSocket(file);
    ASSERT_TRUE(abstractSocket.full);
    alarm(60);  // a connect that hangs ends the test
    EXPECT_FALSE(XConnection(":" + number).ok());
    alarm(0);
  }
  // Nobody listens on the abstract socket any more: XCB, and the launcher, take the file.
  EXPECT_TRUE(XConnection(":" + number).ok());
  unlink(file.c_str());
}

// What a scanner of the launcher's own display saw, made in a child process that runs as the user given (else as
// root) and judges the server's place as the launcher does.
struct Attempt {
  bool available = false;
  long milliseconds = -1;
  std::string refusal;
};

Attempt attemptAs(const std::optional<test::TestUser>& user, const std::string& display) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (user && (setgroups(0, nullptr) != 0 || setresgid(user->gid, user->gid, user->gid) != 0 ||
                 setresuid(user->uid, user->uid, user->uid) != 0)) {
      _exit(2);
    }
    PlaceJudge judge;
    const auto start = X11WindowScanner::Clock::now();
    X11WindowScanner scanner(
        display, start + kXScanTimeout,
        hostServersOnly([&](const ProcessHandle& process) { return judge.placeOf(process) == GamePlace::Host; }, true));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(X11WindowScanner::Clock::now() - start);
    const std::string report = std::to_string(scanner.available()) + " " + std::to_string(took.count()) + " " +
                               scanner.newRefusal().value_or("");
    _exit(write(fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string report;
  char buffer[512];
  pollfd entry{fds[0], POLLIN, 0};
  for (ssize_t count = 1; count > 0 && poll(&entry, 1, 10000) > 0;) {
    count = read(fds[0], buffer, sizeof buffer);
    if (count > 0) report.append(buffer, static_cast<std::size_t>(count));
  }
  close(fds[0]);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  Attempt attempt;
  std::istringstream in(report);
  in >> attempt.available >> attempt.milliseconds;
  std::getline(in >> std::ws, attempt.refusal);
  return attempt;
}

// A sandbox that shares the host's network (most Flatpak apps) binds a display's abstract socket, which clients try
// first; its server is the user's, inside a sandbox. Root's server, and the user's own on the host, are talked to.
TEST(XConnection, OnlyRootsServerOrTheUsersOwnOutsideASandboxIsTalkedTo) {
  const std::optional<test::TestUser> user = test::sandboxTestUser();
  const std::string bwrap = test::programInPath("bwrap").string();
  ASSERT_TRUE(user && !bwrap.empty()) << "no test user, or bubblewrap is not installed";
  const test::XServer roots(false);
  const test::XServer usersOwn(false, std::nullopt, {test::asUser(*user, {}), {}});
  const test::XServer sandboxed(false, std::nullopt,
                                {test::asUser(*user, {bwrap, "--unshare-user", "--unshare-pid", "--die-with-parent",
                                                      "--dev-bind", "/", "/", "--tmpfs", "/tmp", "--proc", "/proc"}),
                                 {}});
  ASSERT_TRUE(roots.ok() && usersOwn.ok() && sandboxed.ok())
      << roots.diagnostics() << usersOwn.diagnostics() << sandboxed.diagnostics();

  const struct {
    const test::XServer& server;
    bool runAsUser;
    bool talkedTo;
    const char* what;
  } cases[] = {{roots, true, true, "root's server, to the user"},
               {usersOwn, true, true, "the user's server on the host, to the user"},
               {sandboxed, true, false, "the user's server in a sandbox, to the user"},
               {usersOwn, false, false, "another user's server, to root"}};
  for (const auto& c : cases) {
    const Attempt attempt = attemptAs(c.runAsUser ? user : std::nullopt, c.server.display());
    EXPECT_EQ(attempt.available, c.talkedTo) << c.what;
    EXPECT_GE(attempt.milliseconds, 0) << c.what;
    EXPECT_LT(attempt.milliseconds, 1000) << c.what;
    if (c.talkedTo) {
      EXPECT_EQ(attempt.refusal, "") << c.what;
    } else {
      EXPECT_TRUE(attempt.refusal.starts_with("X11 display " + c.server.display() + " is served by pid ") &&
                  attempt.refusal.find(" of uid " + std::to_string(user->uid) + ", ") != std::string::npos)
          << c.what << ": " << attempt.refusal;
    }
  }
}

// The Xauthority file of a server that wants a cookie: the one entry given, in the file's big-endian layout.
std::string xauthorityEntry(std::uint16_t family, const std::string& address, const std::string& number,
                            const std::string& cookie) {
  std::string bytes;
  const auto field = [&](const std::string& value) {
    bytes += static_cast<char>(value.size() >> 8);
    bytes += static_cast<char>(value.size() & 0xff);
    bytes += value;
  };
  bytes += static_cast<char>(family >> 8);
  bytes += static_cast<char>(family & 0xff);
  for (const std::string& value : {address, number, std::string("MIT-MAGIC-COOKIE-1"), cookie}) field(value);
  return bytes;
}

TEST(XConnection, AServerThatWantsACookieGetsTheOneTheUsersXauthorityHoldsForIt) {
  const test::TempDir dir;
  const std::string cookie = "0123456789abcdef";
  // Xvfb takes every cookie of its file; one for any address and display (family 65535) will do.
  test::writeFile(dir.path() / "server", xauthorityEntry(65535, "", "", cookie));
  const test::XServer server(false, std::nullopt, {{}, {"-auth", (dir.path() / "server").string()}});
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  // As xauth writes the entry of a local display: this machine's name and the display's number (family 256).
  test::writeFile(dir.path() / "client", xauthorityEntry(256, host, server.display().substr(1), cookie));
  {
    const test::ScopedEnvironmentVariable xauthority("XAUTHORITY", (dir.path() / "client").string());
    EXPECT_TRUE(XConnection(server.display()).ok());
  }
  const test::ScopedEnvironmentVariable xauthority("XAUTHORITY", (dir.path() / "missing").string());
  EXPECT_FALSE(XConnection(server.display()).ok());
}

}  // namespace
}  // namespace cs
