#include "x11/window_scanner.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <utility>

namespace cs {

namespace {

// Longest _NET_CLIENT_LIST and _NET_WM_NAME read, in 32-bit units: 4096 windows, 16384 title bytes.
constexpr long kPropertyLongLength = 4096;

// The X server answers a request about a window that was destroyed after it was listed with an error (BadWindow).
// Xlib hands such errors to the process-wide handler, and both Xlib's default handler and the one GTK installs end
// the program. While a scan runs, errors on the scanner's own connection are therefore swallowed: the failed
// request returns its failure value and the window gets the defaults. Errors on any other connection still go to
// the handler that was installed before. The program runs on one thread, so plain statics suffice.
Display* trappedDisplay = nullptr;
XErrorHandler previousHandler = nullptr;

int swallowError(Display* display, XErrorEvent* event) {
  if (display == trappedDisplay) return 0;
  return previousHandler != nullptr ? previousHandler(display, event) : 0;
}

// Installs swallowError for its lifetime and puts the previous handler back afterwards.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) {
    trappedDisplay = display;
    previousHandler = XSetErrorHandler(swallowError);
  }
  ~ErrorTrap() {
    // Every request of a scan waits for its reply, so its error has arrived by then; the sync makes sure that
    // nothing of this scan is still in flight once the previous handler is back.
    XSync(trappedDisplay, False);
    XSetErrorHandler(previousHandler);
    trappedDisplay = nullptr;
    previousHandler = nullptr;
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;
};

Window rootOf(Display* display) { return RootWindow(display, DefaultScreen(display)); }

}  // namespace

X11WindowScanner::X11WindowScanner() {
  display = XOpenDisplay(nullptr);
  if (display == nullptr) return;
  // only_if_exists: asking must not create the atoms. A server where nobody ever named _NET_WM_PID has no window
  // that declares one.
  netClientListAtom = XInternAtom(display, "_NET_CLIENT_LIST", True);
  netWmPidAtom = XInternAtom(display, "_NET_WM_PID", True);
  netWmNameAtom = XInternAtom(display, "_NET_WM_NAME", True);
  utf8StringAtom = XInternAtom(display, "UTF8_STRING", True);
}

X11WindowScanner::~X11WindowScanner() {
  if (display != nullptr) XCloseDisplay(display);
}

bool X11WindowScanner::available() const { return display != nullptr; }

std::vector<WindowInfo> X11WindowScanner::scan() const {
  std::vector<WindowInfo> windows;
  if (display == nullptr) return windows;
  const ErrorTrap trap(display);
  for (const unsigned long xid : topLevelWindows()) {
    WindowInfo info;
    info.xid = xid;
    info.pid = windowPid(xid).value_or(-1);
    info.title = windowTitle(xid);
    info.visible = isWindowVisible(xid);
    if (info.pid > 0) windows.push_back(std::move(info));
  }
  return windows;
}

std::vector<unsigned long> X11WindowScanner::topLevelWindows() const {
  std::vector<unsigned long> windows = netClientList();
  // A reparenting window manager puts its frames, not the clients, under the root; the root's children are only
  // the fallback for a display without an EWMH window manager.
  if (windows.empty()) windows = queryRootChildren();
  return windows;
}

std::vector<unsigned long> X11WindowScanner::netClientList() const {
  std::vector<unsigned long> windows;
  if (netClientListAtom == None) return windows;
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long itemCount = 0;
  unsigned long bytesAfter = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, rootOf(display), netClientListAtom, 0, kPropertyLongLength, False,
                                        XA_WINDOW, &actualType, &actualFormat, &itemCount, &bytesAfter, &data);
  if (status == Success && data != nullptr && actualType == XA_WINDOW && actualFormat == 32) {
    // Xlib widens 32-bit items to unsigned long in memory.
    const auto* ids = reinterpret_cast<const unsigned long*>(data);
    windows.assign(ids, ids + itemCount);
  }
  if (data != nullptr) XFree(data);
  return windows;
}

std::vector<unsigned long> X11WindowScanner::queryRootChildren() const {
  std::vector<unsigned long> windows;
  Window rootReturn = 0;
  Window parentReturn = 0;
  Window* children = nullptr;
  unsigned int childCount = 0;
  if (XQueryTree(display, rootOf(display), &rootReturn, &parentReturn, &children, &childCount) != 0 &&
      children != nullptr) {
    windows.assign(children, children + childCount);
  }
  if (children != nullptr) XFree(children);
  return windows;
}

std::optional<std::int32_t> X11WindowScanner::windowPid(unsigned long xid) const {
  if (netWmPidAtom == None) return std::nullopt;
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long itemCount = 0;
  unsigned long bytesAfter = 0;
  unsigned char* data = nullptr;
  std::optional<std::int32_t> pid;
  const int status = XGetWindowProperty(display, xid, netWmPidAtom, 0, 1, False, XA_CARDINAL, &actualType,
                                        &actualFormat, &itemCount, &bytesAfter, &data);
  if (status == Success && data != nullptr && actualType == XA_CARDINAL && actualFormat == 32 && itemCount != 0) {
    pid = static_cast<std::int32_t>(*reinterpret_cast<const unsigned long*>(data));
  }
  if (data != nullptr) XFree(data);
  return pid;
}

std::string X11WindowScanner::windowTitle(unsigned long xid) const {
  std::string title;
  if (netWmNameAtom != None && utf8StringAtom != None) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long itemCount = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    // A property of another type comes back without items, so its type needs no check of its own.
    const int status = XGetWindowProperty(display, xid, netWmNameAtom, 0, kPropertyLongLength, False,
                                          utf8StringAtom, &actualType, &actualFormat, &itemCount, &bytesAfter, &data);
    if (status == Success && data != nullptr && actualFormat == 8 && itemCount != 0) {
      title.assign(reinterpret_cast<const char*>(data), itemCount);
    }
    if (data != nullptr) XFree(data);
  }
  if (title.empty()) {
    char* name = nullptr;
    if (XFetchName(display, xid, &name) != 0 && name != nullptr) title = name;
    if (name != nullptr) XFree(name);
  }
  return title;
}

bool X11WindowScanner::isWindowVisible(unsigned long xid) const {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display, xid, &attributes) == 0) return false;
  return attributes.map_state == IsViewable;
}

}  // namespace cs
