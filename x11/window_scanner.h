// Lists the top-level X11 windows of one display with the process that each belongs to, its title and its
// visibility.
#ifndef CS_X11_WINDOW_SCANNER_H
#define CS_X11_WINDOW_SCANNER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cs {

class XConnection;

// One top-level window.
struct WindowInfo {
  std::uint64_t xid = 0;
  // From _NET_WM_PID; -1 when the window has none. When the scan asks for it and the server knows it, the pid of
  // the client that made the window instead: a sandbox's _NET_WM_PID counts in the sandbox's pid namespace.
  std::int32_t pid = -1;
  std::string title;     // _NET_WM_NAME, else WM_NAME, as bytes
  bool visible = false;  // map state is IsViewable
};

// Owns a connection to one display, opened at construction and closed at destruction. The connection is plain
// XCB and every wait on it has a limit: a display that goes away or stops answering is dropped, and reconnect()
// opens it again.
class X11WindowScanner {
 public:
  // Connects to the display named by DISPLAY.
  X11WindowScanner();
  // Connects to the display named; an empty name is no display.
  explicit X11WindowScanner(std::string displayName);
  ~X11WindowScanner();
  X11WindowScanner(const X11WindowScanner&) = delete;
  X11WindowScanner& operator=(const X11WindowScanner&) = delete;

  // Connected, and the display has not been lost since.
  bool available() const;
  const std::string& displayName() const { return name; }

  // Connects again when not available; returns available().
  bool reconnect();

  // Returns the top-level windows that declare a process id greater than 0 and can show something (neither
  // InputOnly nor 1 pixel wide or high), in listing order; empty without a display. A window that vanishes while
  // it is queried comes out with the defaults and is dropped. With withClientPids, each window's pid is the one the
  // server knows for the window's client (X-Resource), where it knows one. When the display breaks or misses a
  // deadline, the connection is closed, the result is empty and available() turns false.
  std::vector<WindowInfo> scan(bool withClientPids = false);

 private:
  void connect();
  void lookUpMissingAtoms();
  std::vector<std::uint32_t> topLevelWindows();

  std::string name;
  std::unique_ptr<XConnection> connection;
  // Atoms the display did not know yet are 0, and asked again at every scan: a fresh server learns them when its
  // first client names them.
  std::uint32_t netClientListAtom = 0;
  std::uint32_t netWmPidAtom = 0;
  std::uint32_t netWmNameAtom = 0;
  std::uint32_t utf8StringAtom = 0;
  bool hasResourceExtension = false;
};

}  // namespace cs

#endif  // CS_X11_WINDOW_SCANNER_H
