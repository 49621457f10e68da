// A connection to an X display through plain XCB, where no wait is without a limit: a display that goes away or
// stops answering is lost, which is never a reason to block the main loop or to end the program.
#ifndef CS_X11_X_CONNECTION_H
#define CS_X11_X_CONNECTION_H

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

struct xcb_connection_t;

namespace cs {

// How long the server may take to answer the connection's handshake, and then each request.
constexpr std::chrono::milliseconds kXConnectTimeout{250};
constexpr std::chrono::milliseconds kXReplyTimeout{500};

// Frees what XCB returns.
struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

class XConnection {
 public:
  // Connects to the display named (DISPLAY's syntax). Not ok() when the name does not parse, nobody listens, the
  // server does not answer the handshake in time, or it refuses us.
  explicit XConnection(const std::string& displayName);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // Connected, and nothing went wrong since.
  bool ok() const { return connection != nullptr && !lost; }
  xcb_connection_t* get() const { return connection; }
  // The root window of the screen the name chose.
  std::uint32_t root() const { return rootWindow; }

  // Sends what the requests left in XCB's buffer; false, and lost, when the connection broke.
  bool flush();

  // Waits for the answer to the request with that sequence number. Returns the reply, or null when the server
  // answered with an error or the display is lost: it broke, or kXReplyTimeout passed without the answer. Once
  // lost, every call returns null at once.
  template <typename T>
  XcbReply<T> reply(unsigned int sequence) {
    return XcbReply<T>(static_cast<T*>(awaitReply(sequence)));
  }

 private:
  void* awaitReply(unsigned int sequence);

  xcb_connection_t* connection = nullptr;
  std::uint32_t rootWindow = 0;
  bool lost = false;
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
