// Lists the top-level X11 windows with the process that each declares, its title and its visibility.
#ifndef CS_X11_WINDOW_SCANNER_H
#define CS_X11_WINDOW_SCANNER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;  // Xlib's Display; Xlib's macros stay out of this header

namespace cs {

// One top-level window.
struct WindowInfo {
  std::uint64_t xid = 0;
  std::int32_t pid = -1;  // from _NET_WM_PID; -1 when the window has none
  std::string title;      // _NET_WM_NAME, else WM_NAME, as bytes
  bool visible = false;   // map state is IsViewable
};

// Owns the connection to the display named by DISPLAY, opened at construction and closed at destruction.
class X11WindowScanner {
 public:
  X11WindowScanner();
  ~X11WindowScanner();
  X11WindowScanner(const X11WindowScanner&) = delete;
  X11WindowScanner& operator=(const X11WindowScanner&) = delete;

  bool available() const;

  // Returns the top-level windows that declare a process id greater than 0, in listing order; empty without a
  // display. A window that vanishes while it is queried comes out with the defaults and is dropped. The pid, the
  // title (_NET_WM_NAME, else WM_NAME) and the visibility of every window are asked for in one round trip.
  std::vector<WindowInfo> scan() const;

 private:
  std::vector<unsigned long> topLevelWindows() const;
  std::vector<unsigned long> netClientList() const;
  std::vector<unsigned long> queryRootChildren() const;

  _XDisplay* display = nullptr;
  unsigned long netClientListAtom = 0;
  unsigned long netWmPidAtom = 0;
  unsigned long netWmNameAtom = 0;
  unsigned long utf8StringAtom = 0;
};

}  // namespace cs

#endif  // CS_X11_WINDOW_SCANNER_H
