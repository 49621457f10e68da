#include "x11/window_scanner.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace cs {

namespace {

// Longest _NET_CLIENT_LIST and _NET_WM_NAME read, in 32-bit units: 4096 windows, 16384 title bytes.
constexpr std::uint32_t kPropertyLongLength = 4096;
// How much of WM_NAME Xlib's XFetchName asks for (BUFSIZ 32-bit units); the title fallback reads the same.
constexpr std::uint32_t kWmNameLongLength = 8192;

// Every query goes through XCB on Xlib's own connection: all requests of a scan are sent first and the replies
// collected afterwards, so a scan costs two round trips to the server instead of five per window. A window that
// was destroyed after it was listed answers with an error (BadWindow); XCB hands such an error to the reply call
// that asked for it, never to Xlib's process-wide error handler (which would end the program under GTK), so the
// request just fails and the window gets the defaults.

// Frees what XCB returns.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Waits for the reply of a property request; null when the server answered with an error.
Reply<xcb_get_property_reply_t> propertyReply(xcb_connection_t* connection, xcb_get_property_cookie_t cookie) {
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection, cookie, &error));
  std::free(error);
  return reply;
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* connection, std::uint32_t window, std::uint32_t property,
                                      std::uint32_t type, std::uint32_t longLength) {
  return xcb_get_property(connection, 0, window, property, type, 0, longLength);
}

// The requests of one window, sent together.
struct WindowQueries {
  bool askedPid = false;
  bool askedNetName = false;
  xcb_get_property_cookie_t pid{};
  xcb_get_property_cookie_t netName{};
  xcb_get_property_cookie_t wmName{};
  xcb_get_window_attributes_cookie_t attributes{};
  xcb_get_geometry_cookie_t geometry{};
};

// _NET_WM_PID: one CARDINAL of format 32; anything else is no pid. 0 stays 0, and scan drops it.
std::optional<std::int32_t> pidFrom(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 || reply->value_len == 0) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  std::memcpy(&value, xcb_get_property_value(reply), sizeof value);
  return static_cast<std::int32_t>(value);
}

// _NET_WM_NAME: its bytes when it has 8-bit items; a property of another type comes back without items.
std::string netNameFrom(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->format != 8 || reply->value_len == 0) return {};
  return std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

// WM_NAME as XFetchName takes it: only a STRING of 8-bit items, read as a zero-terminated text.
std::string wmNameFrom(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->type != XCB_ATOM_STRING || reply->format != 8) return {};
  const char* bytes = static_cast<const char*>(xcb_get_property_value(reply));
  const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply));
  return std::string(bytes, strnlen(bytes, length));
}

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
  xcb_connection_t* connection = XGetXCBConnection(display);
  const std::vector<unsigned long> ids = topLevelWindows();

  std::vector<WindowQueries> queries(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto window = static_cast<std::uint32_t>(ids[i]);
    WindowQueries& q = queries[i];
    if (netWmPidAtom != None) {
      q.askedPid = true;
      q.pid = askProperty(connection, window, static_cast<std::uint32_t>(netWmPidAtom), XCB_ATOM_CARDINAL, 1);
    }
    if (netWmNameAtom != None && utf8StringAtom != None) {
      q.askedNetName = true;
      q.netName = askProperty(connection, window, static_cast<std::uint32_t>(netWmNameAtom),
                              static_cast<std::uint32_t>(utf8StringAtom), kPropertyLongLength);
    }
    // Asked of every window, though only a window without _NET_WM_NAME uses it: waiting for the first answer
    // before asking would cost a round trip per window.
    q.wmName = askProperty(connection, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, kWmNameLongLength);
    // XGetWindowAttributes asks for the attributes and the geometry, and fails when either fails.
    q.attributes = xcb_get_window_attributes(connection, window);
    q.geometry = xcb_get_geometry(connection, window);
  }

  // Every reply is collected, also for a window that is then dropped, so that none is left waiting.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    WindowQueries& q = queries[i];
    WindowInfo info;
    info.xid = ids[i];
    if (q.askedPid) info.pid = pidFrom(propertyReply(connection, q.pid).get()).value_or(-1);
    if (q.askedNetName) info.title = netNameFrom(propertyReply(connection, q.netName).get());
    const Reply<xcb_get_property_reply_t> wmName = propertyReply(connection, q.wmName);
    if (info.title.empty()) info.title = wmNameFrom(wmName.get());

    xcb_generic_error_t* error = nullptr;
    const Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection, q.attributes, &error));
    std::free(error);
    error = nullptr;
    const Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection, q.geometry, &error));
    std::free(error);
    info.visible = attributes && geometry && attributes->map_state == XCB_MAP_STATE_VIEWABLE;

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
  xcb_connection_t* connection = XGetXCBConnection(display);
  const Reply<xcb_get_property_reply_t> reply =
      propertyReply(connection, askProperty(connection, static_cast<std::uint32_t>(DefaultRootWindow(display)),
                                            static_cast<std::uint32_t>(netClientListAtom), XCB_ATOM_WINDOW,
                                            kPropertyLongLength));
  if (reply && reply->type == XCB_ATOM_WINDOW && reply->format == 32) {
    const auto* ids = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    windows.assign(ids, ids + reply->value_len);
  }
  return windows;
}

std::vector<unsigned long> X11WindowScanner::queryRootChildren() const {
  std::vector<unsigned long> windows;
  xcb_connection_t* connection = XGetXCBConnection(display);
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_query_tree_reply_t> reply(xcb_query_tree_reply(
      connection, xcb_query_tree(connection, static_cast<std::uint32_t>(DefaultRootWindow(display))), &error));
  std::free(error);
  if (reply) {
    const xcb_window_t* children = xcb_query_tree_children(reply.get());
    windows.assign(children, children + xcb_query_tree_children_length(reply.get()));
  }
  return windows;
}

}  // namespace cs
