// Lists the top-level X11 windows of one display with the process that each belongs to, its title and its
// visibility.
#ifndef CS_X11_WINDOW_SCANNER_H
#define CS_X11_WINDOW_SCANNER_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "x11/x_connection.h"

namespace cs {

// One top-level window.
struct WindowInfo {
  std::uint64_t xid = 0;
  // From _NET_WM_PID; -1 when the window has none. When the scan asks for it and the server knows it, the pid of
  // the client that made the window instead: a sandbox's _NET_WM_PID counts in the sandbox's pid namespace.
  std::int32_t pid = -1;
  std::string title;     // _NET_WM_NAME, else WM_NAME, as bytes
  bool visible = false;  // map state is IsViewable
  // Set (not 0) for a window that the watcher inside a game's Wine prefix told of, on Wine's Wayland driver: xid is
  // then its Windows handle (HWND), this its Windows process id, and pid the game's process that runs its program.
  std::uint32_t windowsPid = 0;
};

// A socket file as stat shows it; all 0 for none. The time tells apart a new socket that got a freed inode.
struct SocketIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const SocketIdentity&) const = default;
};

// How long one scan may wait for its answers when no deadline is given.
constexpr std::chrono::milliseconds kXScanTimeout{500};

// When a display that could not be reached is tried again: 1 s after a failure, then after 2, 4, 8 … up to 30 s
// while the failures go on, until the display answers a scan.
class RetrySchedule {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kFirstWait{1};
  static constexpr std::chrono::seconds kLongestWait{30};
  // Passes come once a second; a pass that comes this much early still makes its attempt.
  static constexpr std::chrono::milliseconds kSlack{100};

  // Whether an attempt is due: none failed since the last reset, or the wait has passed.
  bool due(Clock::time_point now) const { return now + kSlack >= next; }
  // An attempt failed at `now`: the next one waits twice as long as the last wait, up to kLongestWait; the first
  // one kFirstWait.
  void failed(Clock::time_point now);
  // The next attempt is due at once and waits start again from kFirstWait.
  void reset();

 private:
  Clock::time_point next{};
  Clock::duration wait{};
};

// Owns a connection to one display, opened at construction and closed at destruction. The connection is plain
// XCB and every wait on it has a limit: a display that answers late is left alone until its answers are in, one
// that breaks or stays silent for kXSilenceLimit is dropped, and reconnect() opens it again on a RetrySchedule.
class X11WindowScanner {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to the display named by DISPLAY; every connection talks only to a server the trust accepts.
  explicit X11WindowScanner(XServerTrust trust = {});
  // Connects to the display named, waiting for its first answers until the deadline (none is made when it has
  // passed); an empty name is no display.
  explicit X11WindowScanner(std::string displayName, Clock::time_point deadline = Clock::now() + kXScanTimeout,
                            XServerTrust trust = {});
  ~X11WindowScanner();
  X11WindowScanner(const X11WindowScanner&) = delete;
  X11WindowScanner& operator=(const X11WindowScanner&) = delete;

  // Connected, and the display has not been lost since.
  bool available() const;
  const std::string& displayName() const { return name; }

  // Connects again when not available and an attempt is due: the retry schedule's wait has passed, or the
  // display's socket under /tmp/.X11-unix was made anew since the last failure. No attempt once the deadline has
  // passed; it is still due then. Returns available().
  bool reconnect(Clock::time_point deadline = Clock::now() + kXScanTimeout);
  // Makes the next reconnect() try at once, and waits after failures start again from the first.
  void retryNow();
  // Returns, once, the sentence for the log that says which server the last attempt refused to talk to; no value
  // when it refused none, or the same one as the refusal told before (until the display is available again).
  std::optional<std::string> newRefusal();

  // Returns the top-level windows that declare a process id greater than 0 and can show something (neither
  // InputOnly nor 1 pixel wide or high), in listing order; empty without a display. A window that vanishes while
  // it is queried comes out with the defaults and is dropped. With withClientPids, each window's pid is the one the
  // server knows for the window's client (X-Resource), where it knows one. Answers are awaited until the deadline;
  // a display that misses it keeps its connection and is asked nothing more until its last answer is in. When the
  // display breaks or stays silent too long, the connection is closed and available() turns false.
  std::vector<WindowInfo> scan(bool withClientPids = false, Clock::time_point deadline = Clock::now() + kXScanTimeout);
  // Whether the last scan read every window: false when the display was not available, late with earlier answers,
  // or missed the deadline. An empty scan that is not complete says nothing of the display's windows.
  bool scanComplete() const { return complete; }

 private:
  void connect(Clock::time_point deadline);
  // The connection is dropped, or an attempt to open it failed.
  void failed();
  void lookUpMissingAtoms();
  std::vector<std::uint32_t> topLevelWindows();

  std::string name;
  XServerTrust trust;
  std::unique_ptr<XConnection> connection;
  std::optional<XServerRefusal> lastRefusal;  // the server the last refused attempt would have talked to
  bool refusalTold = true;
  // Atoms the display did not know yet are 0, and asked again at every scan: a fresh server learns them when its
  // first client names them.
  std::uint32_t netClientListAtom = 0;
  std::uint32_t netWmPidAtom = 0;
  std::uint32_t netWmNameAtom = 0;
  std::uint32_t utf8StringAtom = 0;
  bool hasResourceExtension = false;
  bool resourceExtensionKnown = false;
  bool complete = false;
  RetrySchedule retries;
  // The display's socket in the file system when the last attempt failed: a server started anew on the same number
  // makes a new one.
  SocketIdentity failedSocket;
};

}  // namespace cs

#endif  // CS_X11_WINDOW_SCANNER_H
