// A private X server for one test: a real Xvfb on a display number that Xvfb picks itself, optionally with a real
// EWMH window manager (openbox). Every test gets its own, so tests run in parallel without sharing a display.
#ifndef CS_TESTS_SUPPORT_X_SERVER_H
#define CS_TESTS_SUPPORT_X_SERVER_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {

// How Xvfb is run: under a command that ends by running its arguments (setpriv, bwrap), and with more arguments.
struct XvfbCommand {
  std::vector<std::string> wrapper;
  std::vector<std::string> arguments;
};

// Starts Xvfb (and openbox, when asked) on construction and waits, with a deadline, until the server accepts
// clients and the window manager has announced itself on the root window; stops both on destruction. Both
// processes also end with the test process should it die first.
class XServer {
 public:
  // number: the display number to take (a server started again where one was lost); by default Xvfb picks one.
  explicit XServer(bool withWindowManager = true, std::optional<int> number = std::nullopt,
                   const XvfbCommand& command = {});
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // True when Xvfb runs and, if one was asked for, the window manager manages the root window.
  bool ok() const { return ready; }
  // The display name, such as ":37"; empty when Xvfb did not start.
  const std::string& display() const { return displayName; }
  // Returns base with DISPLAY set to this server (replaced where base has it, else appended).
  std::vector<std::string> environment(const std::vector<std::string>& base) const;
  // What went wrong while starting, followed by the output of Xvfb and openbox: for failure messages.
  std::string diagnostics() const;
  // Starts the window manager on a server started without one.
  bool startWindowManager();
  // Kills the server and its window manager at once, as a crash would end them: their sockets stay behind.
  void crash();
  // Stops the server: it still accepts connections and never answers them, as a hung server does.
  void freeze();
  // Lets a frozen server go on.
  void thaw();
  // The connections waiting in the backlogs of the server's sockets, which a frozen server never takes: one per
  // client that tried to connect meanwhile.
  int queuedConnections() const;

 private:
  bool startServer(std::optional<int> number, const XvfbCommand& command);

  TempDir dir;
  std::string displayName;
  std::string failure;
  pid_t serverPid = -1;
  pid_t windowManagerPid = -1;
  bool ready = false;
  bool frozen = false;
};

}  // namespace cs::test

#endif  // CS_TESTS_SUPPORT_X_SERVER_H
