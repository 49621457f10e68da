#include "x11/x_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

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

}  // namespace
}  // namespace cs
