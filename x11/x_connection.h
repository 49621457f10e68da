// A connection to an X display through plain XCB, where no wait is without a limit: a display that answers late
// has its answers left for later, one that goes away or stays silent is lost, and neither is ever a reason to block
// the main loop or to end the program.
#ifndef CS_X11_X_CONNECTION_H
#define CS_X11_X_CONNECTION_H

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

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

class XConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to the display named (DISPLAY's syntax). Not ok() when the name does not parse, nobody listens, the
  // server's backlog is full, the server does not answer the handshake within kXConnectTimeout (or by the
  // deadline, when that comes first), or it refuses us.
  explicit XConnection(const std::string& displayName, Clock::time_point connectDeadline = Clock::time_point::max());
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // Connected, and nothing went wrong since.
  bool ok() const { return connection != nullptr && !lost; }
  xcb_connection_t* get() const { return connection; }
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
