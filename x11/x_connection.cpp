#include "x11/x_connection.h"

#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
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

#include "common/runtime_dir.h"
#include "x11/display_name.h"
#include "x11/x_replies.h"

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

// Where a display was reached, so that XCB's own connection goes to the very socket the probe asked.
struct Endpoint {
  sockaddr_storage address{};
  socklen_t length = 0;
};

int connectTo(const Endpoint& endpoint, Clock::time_point deadline, int& error) {
  return connectWithin(endpoint.address.ss_family, reinterpret_cast<const sockaddr*>(&endpoint.address),
                       endpoint.length, deadline, error);
}

int connectLocal(int number, Clock::time_point deadline, Endpoint& reached) {
  // XCB's way on Linux: the abstract socket, and the one in the file system only when no abstract one exists or
  // nobody listens there. Any other failure ends XCB's attempt too, and ends ours: a full backlog there is not
  // answering.
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (const std::size_t offset : {std::size_t{1}, std::size_t{0}}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (offset + path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    // The abstract name is exactly its bytes after the leading NUL; the path ends with its own NUL.
    reached.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (1 - offset));
    std::memcpy(&reached.address, &address, sizeof address);
    int error = 0;
    const int fd = connectTo(reached, deadline, error);
    if (fd >= 0 || (error != ENOENT && error != ECONNREFUSED)) return fd;
  }
  return -1;
}

int connectTcp(const std::string& host, int number, Clock::time_point deadline, Endpoint& reached) {
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
      if (entry->ai_addrlen > sizeof reached.address) continue;
      std::memcpy(&reached.address, entry->ai_addr, entry->ai_addrlen);
      reached.length = entry->ai_addrlen;
      int error = 0;
      fd = connectTo(reached, deadline, error);
    }
    freeaddrinfo(found);
    if (fd >= 0) return fd;
  }
  return -1;
}

// Whether the server on the socket answers the connection handshake before the deadline. XCB waits for its
// handshake without a limit, and a hung server (or a compositor that kept the socket of an X server it gave up on)
// accepts connections and never answers; so the server is asked once on a connection of our own first. Only a
// server that stops answering in the moment between this connection and XCB's can still hold XCB up:
// xcb_connect_to_fd runs the same handshake without a limit, and waiting on another thread is not worth a second
// thread in the program.
bool answersHandshake(int fd, Clock::time_point deadline) {
  // A little-endian client of protocol 11.0 that offers no authorisation: the server answers at once, with Success,
  // Failed or Authenticate, and any of them shows that it serves.
  const unsigned char request[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request) ||
      !waitFor(fd, POLLIN, deadline)) {
    return false;
  }
  char status = 0;
  return recv(fd, &status, 1, 0) == 1;  // 0: the other end closed without an answer
}

// The process on the other end of a local socket. A failed question names nobody, with an id no one has.
XServerPeer peerOf(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  XServerPeer peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || size != sizeof credentials) {
    peer.uid = peer.gid = static_cast<std::uint32_t>(-1);
    return peer;
  }
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  peer.process = ProcessHandle::open(credentials.pid);
  return peer;
}

struct XauthFree {
  void operator()(Xauth* auth) const { XauDisposeAuth(auth); }
};

// The cookie XCB itself would send on the socket: the best MIT-MAGIC-COOKIE-1 entry of the user's Xauthority file
// (XAUTHORITY, else ~/.Xauthority) for the address the socket reached and the display's number. A local socket, or
// TCP to the loopback address, is this machine, whose entries go by its host name. Null when there is none: the
// server may want none.
std::unique_ptr<Xauth, XauthFree> cookieFor(int fd, int number) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return nullptr;
  unsigned short family = FamilyLocal;
  std::string address;
  if (peer.ss_family == AF_INET) {
    const in_addr& ip = reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr;
    if (ip.s_addr != htonl(INADDR_LOOPBACK)) {
      family = XCB_FAMILY_INTERNET;
      address.assign(reinterpret_cast<const char*>(&ip), sizeof ip);
    }
  } else if (peer.ss_family == AF_INET6) {
    const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
    const auto* bytes = reinterpret_cast<const char*>(&ip);
    if (IN6_IS_ADDR_V4MAPPED(&ip)) {
      in_addr v4{};
      std::memcpy(&v4, bytes + 12, sizeof v4);
      if (v4.s_addr != htonl(INADDR_LOOPBACK)) {
        family = XCB_FAMILY_INTERNET;
        address.assign(bytes + 12, sizeof v4);
      }
    } else if (!IN6_IS_ADDR_LOOPBACK(&ip)) {
      family = XCB_FAMILY_INTERNET_6;
      address.assign(bytes, sizeof ip);
    }
  }
  if (family == FamilyLocal) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return nullptr;
    address = host;
  }
  const std::string display = std::to_string(number);
  char cookieName[] = "MIT-MAGIC-COOKIE-1";
  char* names[] = {cookieName};
  const int nameLengths[] = {static_cast<int>(sizeof cookieName - 1)};
  return std::unique_ptr<Xauth, XauthFree>(
      XauGetBestAuthByAddr(family, static_cast<unsigned short>(address.size()), address.data(),
                           static_cast<unsigned short>(display.size()), display.data(), 1, names, nameLengths));
}

}  // namespace

XServerTrust hostServersOnly(std::function<bool(const ProcessHandle&)> isHostProcess, bool tcp) {
  XServerTrust trust;
  trust.tcpServer = tcp;
  trust.localServer = [isHost = std::move(isHostProcess)](const XServerPeer& peer) {
    if (peer.uid == 0) return true;
    return peer.uid == getuid() && peer.process.ok() && isHost(peer.process);
  };
  return trust;
}

XConnection::XConnection(const std::string& displayName, Clock::time_point connectDeadline, const XServerTrust& trust) {
  const std::optional<DisplayAddress> address = parseDisplayName(displayName);
  if (!address) return;
  const Clock::time_point connectBy = std::min(connectDeadline, Clock::now() + kXConnectTimeout);
  const bool local = address->host.empty();
  // Nothing is sent to a server before it is known to be one to talk to: XCB's handshake carries the user's cookie,
  // which would let the server that took a display's name into the user's real one.
  const auto trusted = [&](int fd) {
    if (!local) {
      if (!trust.tcpServer) refusal = XServerRefusal{true, 0, 0};
      return trust.tcpServer;
    }
    if (!trust.localServer) return true;
    const XServerPeer peer = peerOf(fd);
    if (trust.localServer(peer)) return true;
    refusal = XServerRefusal{false, peer.pid, peer.uid};
    return false;
  };
  Endpoint endpoint;
  {
    const FileDescriptor probe(local ? connectLocal(address->number, connectBy, endpoint)
                                     : connectTcp(address->host, address->number, connectBy, endpoint));
    if (probe.get() < 0 || !trusted(probe.get()) || !answersHandshake(probe.get(), connectBy)) return;
  }
  // XCB gets a connection to the same socket, whose server is asked again: another may have taken the name since.
  int error = 0;
  const int fd = connectTo(endpoint, connectBy, error);
  if (fd < 0) return;
  if (!trusted(fd)) {
    close(fd);
    return;
  }
  const std::unique_ptr<Xauth, XauthFree> cookie = cookieFor(fd, address->number);
  xcb_auth_info_t auth{};
  if (cookie) auth = {cookie->name_length, cookie->name, cookie->data_length, cookie->data};
  const SigpipeBlock sigpipe;
  // XCB owns the descriptor from here, also when it fails.
  connection = xcb_connect_to_fd(fd, cookie ? &auth : nullptr);
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    connection = nullptr;
    return;
  }
  lastAnswer = Clock::now();
  deadline = lastAnswer;  // a request sent before the first round waits for nothing
  const std::optional<std::uint32_t> root = rootOfScreen(setupBytes(xcb_get_setup(connection)), address->screen);
  rootWindow = root.value_or(0);
  lost = !root;  // a screen the server does not have
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
