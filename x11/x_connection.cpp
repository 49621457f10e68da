#include "x11/x_connection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

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

// A socket connected to the address within the deadline, or -1.
int connectWithin(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, address, length) == 0) return fd;
  // A local socket whose listener takes no connections fails with EAGAIN once its backlog is full: that server
  // does not serve. A TCP connection is in progress.
  int error = 0;
  socklen_t size = sizeof error;
  if (errno == EINPROGRESS && waitFor(fd, POLLOUT, deadline) &&
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
    return fd;
  }
  close(fd);
  return -1;
}

int connectLocal(int number, Clock::time_point deadline) {
  // Where XCB looks on Linux, in its order: the abstract socket, then the one in the file system.
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (const std::size_t offset : {std::size_t{1}, std::size_t{0}}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (offset + path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    // The abstract name is exactly its bytes after the leading NUL; the path ends with its own NUL.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (1 - offset));
    const int fd = connectWithin(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length, deadline);
    if (fd >= 0) return fd;
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
      fd = connectWithin(entry->ai_family, entry->ai_addr, entry->ai_addrlen, deadline);
    }
    freeaddrinfo(found);
    if (fd >= 0) return fd;
  }
  return -1;
}

// Whether a server answers the display's connection handshake before the deadline. XCB's own handshake waits
// without a limit, and a hung server (or a compositor that kept the socket of an X server it gave up on) accepts
// connections and never answers; so the server is asked once on a connection of our own first. Only a server that
// stops answering in the moment between the two connections can still hold XCB's handshake up.
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

XConnection::XConnection(const std::string& displayName) {
  const std::optional<DisplayAddress> address = parseDisplayName(displayName);
  if (!address || !answersHandshake(*address, Clock::now() + kXConnectTimeout)) return;
  const SigpipeBlock sigpipe;
  int screen = 0;
  connection = xcb_connect(displayName.c_str(), &screen);
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    connection = nullptr;
    return;
  }
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

bool XConnection::flush() {
  if (!ok()) return false;
  if (xcb_flush(connection) <= 0) lost = true;
  return !lost;
}

void* XConnection::awaitReply(unsigned int sequence) {
  if (!ok()) return nullptr;
  const Clock::time_point deadline = Clock::now() + kXReplyTimeout;
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    // Reads what the server has sent so far without waiting, and hands over this request's answer once it is in.
    if (xcb_poll_for_reply(connection, sequence, &reply, &error) != 0) {
      std::free(error);
      return reply;
    }
    if (xcb_connection_has_error(connection) != 0 || !waitFor(xcb_get_file_descriptor(connection), POLLIN, deadline)) {
      lost = true;
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
