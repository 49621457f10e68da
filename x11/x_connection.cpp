#include "x11/x_connection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "x11/display_name.h"

namespace cs {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the descriptor is ready for the events (or in error, which the next call on it reports); false when
// the deadline passes first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, millisecondsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// A socket connected to the address within the deadline, or -1 with the reason in error. A local socket answers
// at once: connected, refused, or EAGAIN when its listener's backlog is full (a server that takes no connections,
// where a blocking connect such as XCB's would wait without a limit). A TCP connection is in progress first.
int connectWithin(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline, int& error) {
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  if (connect(fd, address, length) == 0) return fd;
  error = errno;
  socklen_t size = sizeof error;
  if (error == EINPROGRESS) {
    error = ETIMEDOUT;
    if (waitFor(fd, POLLOUT, deadline) && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
      return fd;
    }
  }
  close(fd);
  return -1;
}

int connectLocal(int number, Clock::time_point deadline) {
  // XCB's way on Linux: the abstract socket, and the one in the file system only when no abstract one exists or
  // nobody listens there. Any other failure ends XCB's attempt too: XCB is called only where the probe found the
  // socket that XCB will take, and a full backlog there is not answering.
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (const std::size_t offset : {std::size_t{1}, std::size_t{0}}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (offset + path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    // The abstract name is exactly its bytes after the leading NUL; the path ends with its own NUL.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (1 - offset));
    int error = 0;
    const int fd = connectWithin(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length, deadline, error);
    if (fd >= 0 || (error != ENOENT && error != ECONNREFUSED)) return fd;
  }
  return -1;
}

int connectTcp(const std::string& host, int number, Clock::time_point deadline) {
  // Only hosts that need no name service: a lookup could block without a limit. "localhost" is what ssh's X
  // forwarding sets.
  const std::vector<std::string> numericHosts =
      host == "localhost" ? std::vector<std::string>{"127.0.0.1", "::1"} : std::vector<std::string>{host};
  for (const std::string& numeric : numericHosts) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(numeric.c_str(), std::to_string(6000 + number).c_str(), &hints, &found) != 0) continue;
    int fd = -1;
    for (const addrinfo* entry = found; entry != nullptr && fd < 0; entry = entry->ai_next) {
      int error = 0;
      fd = connectWithin(entry->ai_family, entry->ai_addr, entry->ai_addrlen, deadline, error);
    }
    freeaddrinfo(found);
    if (fd >= 0) return fd;
  }
  return -1;
}

// Whether a server answers the display's connection handshake before the deadline. XCB connects in blocking mode
// and waits for its handshake without a limit, and a hung server (or a compositor that kept the socket of an X
// server it gave up on) accepts connections and never answers; so the server is asked once on a connection of our
// own first, taken the way XCB takes its own. Only a server that stops answering in the moment between the two
// connections can still hold XCB up: xcb_connect_to_fd runs the same handshake without a limit, so handing XCB a
// socket of ours would close no gap, and waiting on another thread is not worth a second thread in the program.
bool answersHandshake(const DisplayAddress& address, Clock::time_point deadline) {
  const int fd = address.host.empty() ? connectLocal(address.number, deadline)
                                      : connectTcp(address.host, address.number, deadline);
  if (fd < 0) return false;
  // A little-endian client of protocol 11.0 that offers no authorisation: the server answers at once, with Success,
  // Failed or Authenticate, and any of them shows that it serves.
  const unsigned char request[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bool answered = false;
  if (send(fd, request, sizeof request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request) &&
      waitFor(fd, POLLIN, deadline)) {
    char status = 0;
    answered = recv(fd, &status, 1, 0) == 1;  // 0: the other end closed without an answer
  }
  close(fd);
  return answered;
}

}  // namespace

XConnection::XConnection(const std::string& displayName, Clock::time_point connectDeadline) {
  const std::optional<DisplayAddress> address = parseDisplayName(displayName);
  if (!address || !answersHandshake(*address, std::min(connectDeadline, Clock::now() + kXConnectTimeout))) return;
  const SigpipeBlock sigpipe;
  int screen = 0;
  connection = xcb_connect(displayName.c_str(), &screen);
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    connection = nullptr;
    return;
  }
  lastAnswer = Clock::now();
  deadline = lastAnswer;  // a request sent before the first round waits for nothing
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screen && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem > 0) {
    rootWindow = screens.data->root;
  } else {
    lost = true;  // a screen the server does not have
  }
}

XConnection::~XConnection() {
  // Closing writes nothing, so it needs no guard, and a broken connection is closed the same way.
  if (connection != nullptr) xcb_disconnect(connection);
}

bool XConnection::startRound(Clock::time_point roundDeadline) {
  if (!ok()) return false;
  deadline = roundDeadline;
  if (unawaited) {
    // Answers come in the order of the requests: once the last one left behind is in, all are.
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    const bool broken = xcb_connection_has_error(connection) != 0;
    if (!broken && xcb_poll_for_reply(connection, *unawaited, &reply, &error) != 0) {
      std::free(reply);
      std::free(error);
      unawaited.reset();
      lastAnswer = Clock::now();
      lost = xcb_connection_has_error(connection) != 0;  // XCB says "would not block" of a connection that broke
    } else if (broken || Clock::now() - lastAnswer >= kXSilenceLimit) {
      lost = true;
    }
  }
  return ok() && !unawaited;
}

bool XConnection::flush() {
  if (!ok()) return false;
  if (xcb_flush(connection) <= 0) lost = true;
  return !lost;
}

void XConnection::leaveUnawaited(unsigned int sequence) {
  // Sequence numbers wrap around at 2^32; the later of two is the one less than 2^31 ahead.
  if (unawaited && static_cast<std::int32_t>(sequence - *unawaited) <= 0) {
    xcb_discard_reply(connection, sequence);
    return;
  }
  if (unawaited) xcb_discard_reply(connection, *unawaited);
  unawaited = sequence;
}

void* XConnection::awaitReply(unsigned int sequence) {
  if (!ok()) return nullptr;
  if (late()) {
    leaveUnawaited(sequence);
    return nullptr;
  }
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    // Reads what the server has sent so far without waiting, and hands over this request's answer once it is in.
    if (xcb_poll_for_reply(connection, sequence, &reply, &error) != 0) {
      std::free(error);
      if (xcb_connection_has_error(connection) != 0) {
        lost = true;  // XCB says "would not block" of a broken connection, with no answer
      } else {
        lastAnswer = Clock::now();
      }
      return reply;
    }
    if (xcb_connection_has_error(connection) != 0) {
      lost = true;
      return nullptr;
    }
    if (!waitFor(xcb_get_file_descriptor(connection), POLLIN, deadline)) {
      leaveUnawaited(sequence);
      return nullptr;
    }
  }
}

SigpipeBlock::SigpipeBlock() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &oldMask);
  sigset_t pending;
  wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
  sigset_t pending;
  if (!wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{};
    while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

}  // namespace cs
