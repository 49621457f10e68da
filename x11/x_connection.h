// A connection to an X display through plain XCB, where no wait is without a limit: a display that answers late
// has its answers left for later, one that goes away or stays silent is lost, and neither is ever a reason to block
// the main loop or to end the program.
#ifndef CS_X11_X_CONNECTION_H
#define CS_X11_X_CONNECTION_H

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "proc/process_handle.h"

struct xcb_connection_t;

namespace cs {

// How long a server may take to answer the handshake of a connection: a live one answers within a millisecond.
constexpr std::chrono::milliseconds kXConnectTimeout{30};
// How long a display may stay silent while an answer of it is awaited before it counts as lost.
constexpr std::chrono::seconds kXSilenceLimit{5};

// Frees what XCB returns.
struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// The process that serves a display's local socket, as the kernel recorded it when the socket began to listen: the
// server itself, or the compositor that made the socket and handed it to its Xwayland.
struct XServerPeer {
  std::int32_t pid = 0;  // 0 when the process is outside the launcher's pid namespace
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // Opened right after the credentials were read, so that what is judged is that process and no later holder of
  // its pid; not ok() when it has ended or cannot be seen.
  ProcessHandle process;
};

// Which servers a connection talks to. A sandbox that shares the host's network can bind a display's abstract
// socket while its server is away, so the socket's other end is asked before anything is sent.
struct XServerTrust {
  // Asked of the peer of a local socket; unset, every local server is trusted.
  std::function<bool(const XServerPeer&)> localServer;
  // Whether a display over TCP is used: no one can say who serves a port.
  bool tcpServer = true;
};

// Returns the trust of a display the launcher names itself or takes from a native game: a local server of root's,
// or one of the user's own in a process that isHostProcess says lives outside any sandbox. A server whose process
// cannot be seen is refused. tcp: whether a display over TCP is trusted.
XServerTrust hostServersOnly(std::function<bool(const ProcessHandle&)> isHostProcess, bool tcp);

// Why a connection was not made to a server that listens.
struct XServerRefusal {
  bool overTcp = false;  // a display over TCP, which the trust does not allow; the rest is then 0
  std::int32_t pid = 0;
  std::uint32_t uid = 0;
  bool operator==(const XServerRefusal&) const = default;
};

class XConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to the display named (DISPLAY's syntax), on its own socket that it hands to XCB, taking the cookie of
  // the user's Xauthority file for it as XCB would (MIT-MAGIC-COOKIE-1 only). Not ok() when the name does not
  // parse, nobody listens, the trust refuses the server (refused() then says who it is), the server's backlog is
  // full, the server does not answer the handshake within kXConnectTimeout (or by the deadline, when that comes
  // first), or it refuses us.
  explicit XConnection(const std::string& displayName, Clock::time_point connectDeadline = Clock::time_point::max(),
                       const XServerTrust& trust = {});
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // Connected, and nothing went wrong since.
  bool ok() const { return connection != nullptr && !lost; }
  xcb_connection_t* get() const { return connection; }
  // The server that the trust refused; no value when it was not asked or agreed.
  const std::optional<XServerRefusal>& refused() const { return refusal; }
  // The root window of the screen the name chose.
  std::uint32_t root() const { return rootWindow; }

  // Starts a round of requests whose answers are awaited until the deadline. False when the last answer of an
  // earlier round has not come yet (no request may be sent then), or when the connection is lost: it broke, or
  // it stayed silent for kXSilenceLimit while that answer was due.
  bool startRound(Clock::time_point deadline);
  // The round missed its deadline: the answers still due are no longer awaited.
  bool late() const { return unawaited.has_value(); }

  // Sends what the requests left in XCB's buffer; false, and lost, when the connection broke.
  bool flush();

  // Waits, until the round's deadline, for the answer to the request with that sequence number. Returns the
  // reply, or null when the server answered with an error, the round is late (the deadline passed, now or
  // before: the answer is then thrown away when it comes) or the display is lost.
  template <typename T>
  XcbReply<T> reply(unsigned int sequence) {
    return XcbReply<T>(static_cast<T*>(awaitReply(sequence)));
  }

 private:
  void* awaitReply(unsigned int sequence);
  void leaveUnawaited(unsigned int sequence);

  xcb_connection_t* connection = nullptr;
  std::uint32_t rootWindow = 0;
  bool lost = false;
  Clock::time_point deadline = Clock::time_point::max();
  Clock::time_point lastAnswer{};
  // The newest request whose answer a late round left behind; the older ones' are discarded by XCB.
  std::optional<unsigned int> unawaited;
  std::optional<XServerRefusal> refusal;
};

// Keeps SIGPIPE from ending the program while it is alive: a write to the socket of a display that went away
// raises it, and XCB writes with plain writev. A SIGPIPE raised meanwhile is taken back before the old signal mask
// returns.
class SigpipeBlock {
 public:
  SigpipeBlock();
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t oldMask{};
  bool wasPending = false;
};

}  // namespace cs

#endif  // CS_X11_X_CONNECTION_H
