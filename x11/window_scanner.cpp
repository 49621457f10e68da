#include "x11/window_scanner.h"

#include <sys/stat.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "x11/display_name.h"
#include "x11/x_connection.h"
#include "x11/x_replies.h"

namespace cs {

namespace {

// Longest _NET_CLIENT_LIST and _NET_WM_NAME read, in 32-bit units: 4096 windows, 16384 title bytes.
constexpr std::uint32_t kPropertyLongLength = 4096;
// How much of WM_NAME Xlib's XFetchName asks for (BUFSIZ 32-bit units); the title fallback reads the same.
constexpr std::uint32_t kWmNameLongLength = 8192;
// Windows whose requests are sent before their replies are collected. Every request of a batch is sent before the
// first reply is awaited, so a scan costs a round trip per batch instead of five per window; a batch stays far
// below what the socket buffers, so that sending never waits on a server that stopped reading.
constexpr std::size_t kBatchWindows = 256;

// A window that has a pid is dropped below this size: Wine gives every process 1x1 helper windows.
constexpr std::uint16_t kSmallestShowingSide = 2;

// Every query goes through XCB: a window that was destroyed after it was listed answers with an error (BadWindow),
// which XCB hands to the one reply that asked, so the request just fails and the window gets the defaults.

xcb_get_property_cookie_t askProperty(xcb_connection_t* connection, std::uint32_t window, std::uint32_t property,
                                      std::uint32_t type, std::uint32_t longLength) {
  return xcb_get_property(connection, 0, window, property, type, 0, longLength);
}

// The requests of one window, sent together.
struct WindowQueries {
  std::optional<xcb_get_property_cookie_t> pid;
  std::optional<xcb_get_property_cookie_t> netName;
  std::optional<xcb_res_query_client_ids_cookie_t> clientIds;
  xcb_get_property_cookie_t wmName{};
  xcb_get_window_attributes_cookie_t attributes{};
  xcb_get_geometry_cookie_t geometry{};
};

// The display's socket in the file system; none for a display of another machine or a socket that is not there.
SocketIdentity localSocketOf(const std::string& displayName) {
  const auto address = parseDisplayName(displayName);
  struct stat info {};
  if (!address || !address->host.empty() ||
      stat(("/tmp/.X11-unix/X" + std::to_string(address->number)).c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
    return {};
  }
  return {info.st_dev, info.st_ino, std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec};
}

}  // namespace

void RetrySchedule::failed(Clock::time_point now) {
  wait = wait == Clock::duration{} ? Clock::duration(kFirstWait) : std::min<Clock::duration>(wait * 2, kLongestWait);
  next = now + wait;
}

void RetrySchedule::reset() {
  next = {};
  wait = {};
}

X11WindowScanner::X11WindowScanner(XServerTrust serverTrust)
    : X11WindowScanner(std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "", Clock::now() + kXScanTimeout,
                       std::move(serverTrust)) {}

X11WindowScanner::X11WindowScanner(std::string displayName, Clock::time_point deadline, XServerTrust serverTrust)
    : name(std::move(displayName)), trust(std::move(serverTrust)) {
  connect(deadline);
}

X11WindowScanner::~X11WindowScanner() = default;

bool X11WindowScanner::available() const { return connection != nullptr && connection->ok(); }

bool X11WindowScanner::reconnect(Clock::time_point deadline) {
  if (available() || name.empty()) return available();
  const Clock::time_point now = Clock::now();
  if (!retries.due(now)) {
    // A relaunched game's gamescope, or a restarted Xwayland, usually takes the same number with a new socket.
    const SocketIdentity socket = localSocketOf(name);
    if (socket == SocketIdentity{} || socket == failedSocket) return false;
    retries.reset();
  }
  connect(deadline);
  return available();
}

void X11WindowScanner::retryNow() { retries.reset(); }

std::optional<std::string> X11WindowScanner::newRefusal() {
  if (refusalTold || !lastRefusal) return std::nullopt;
  refusalTold = true;
  const std::string display = "X11 display " + logText(name);
  if (lastRefusal->overTcp) {
    return display + " is reached over TCP, where nothing tells who serves it; not connecting to it";
  }
  const std::string server =
      lastRefusal->pid > 0 ? "pid " + std::to_string(lastRefusal->pid) : "a process outside the launcher's view";
  return display + " is served by " + server + " of uid " + std::to_string(lastRefusal->uid) +
         ", which is neither root's nor the user's own outside a sandbox; not connecting to it";
}

void X11WindowScanner::failed() {
  connection.reset();
  retries.failed(Clock::now());
  failedSocket = localSocketOf(name);
}

void X11WindowScanner::connect(Clock::time_point deadline) {
  connection.reset();
  netClientListAtom = netWmPidAtom = netWmNameAtom = utf8StringAtom = 0;
  hasResourceExtension = resourceExtensionKnown = false;
  // Once the deadline has passed, the attempt waits for the next pass; it has not failed.
  if (name.empty() || Clock::now() >= deadline) return;
  auto fresh = std::make_unique<XConnection>(name, deadline, trust);
  if (!fresh->ok()) {
    if (fresh->refused() && fresh->refused() != lastRefusal) {
      lastRefusal = fresh->refused();
      refusalTold = false;
    }
    failed();
    return;
  }
  connection = std::move(fresh);
  lastRefusal.reset();
  const SigpipeBlock sigpipe;
  // XCB's own lookup of an extension waits for its answer without a limit: it is asked here and its answer read
  // once an answer to a later request is in (the atoms' below), so that nothing waits for it.
  xcb_prefetch_extension_data(connection->get(), &xcb_res_id);
  connection->startRound(deadline);
  lookUpMissingAtoms();
  if (!connection->ok()) failed();
}

void X11WindowScanner::lookUpMissingAtoms() {
  struct Wanted {
    std::uint32_t* atom;
    const char* atomName;
    xcb_intern_atom_cookie_t cookie{};
  };
  Wanted wanted[] = {{&netClientListAtom, "_NET_CLIENT_LIST"},
                     {&netWmPidAtom, "_NET_WM_PID"},
                     {&netWmNameAtom, "_NET_WM_NAME"},
                     {&utf8StringAtom, "UTF8_STRING"}};
  bool asked = false;
  for (Wanted& w : wanted) {
    if (*w.atom != XCB_ATOM_NONE) continue;
    // only_if_exists: asking must not create the atom. A server where nobody ever named _NET_WM_PID has no window
    // that declares one.
    w.cookie = xcb_intern_atom(connection->get(), 1, static_cast<std::uint16_t>(std::strlen(w.atomName)), w.atomName);
    asked = true;
  }
  if (asked && connection->flush()) {
    for (Wanted& w : wanted) {
      if (*w.atom != XCB_ATOM_NONE) continue;
      if (const auto reply = connection->reply<xcb_intern_atom_reply_t>(w.cookie.sequence)) *w.atom = reply->atom;
    }
  }
  // The extension's answer came before any later one: the atoms' at the connection's first round, or the one a
  // late round left behind, which startRound has seen come.
  if (!resourceExtensionKnown && connection->ok() && !connection->late()) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection->get(), &xcb_res_id);
    hasResourceExtension = extension != nullptr && extension->present != 0;
    resourceExtensionKnown = true;
  }
}

std::vector<WindowInfo> X11WindowScanner::scan(bool withClientPids, Clock::time_point deadline) {
  std::vector<WindowInfo> windows;
  complete = false;
  if (!available()) return windows;
  const SigpipeBlock sigpipe;
  if (!connection->startRound(deadline)) {
    if (!connection->ok()) failed();
    return windows;
  }
  lookUpMissingAtoms();
  // Nobody named _NET_WM_PID yet: no window declares a pid.
  const std::vector<std::uint32_t> ids =
      netWmPidAtom != XCB_ATOM_NONE ? topLevelWindows() : std::vector<std::uint32_t>{};
  xcb_connection_t* c = connection->get();
  const bool askClientIds = withClientPids && hasResourceExtension;

  std::vector<WindowQueries> queries;
  for (std::size_t first = 0; first < ids.size() && connection->ok() && !connection->late(); first += kBatchWindows) {
    const std::size_t end = std::min(ids.size(), first + kBatchWindows);
    queries.assign(end - first, WindowQueries{});
    for (std::size_t i = first; i < end; ++i) {
      const std::uint32_t window = ids[i];
      WindowQueries& q = queries[i - first];
      q.pid = askProperty(c, window, netWmPidAtom, XCB_ATOM_CARDINAL, 1);
      if (netWmNameAtom != XCB_ATOM_NONE && utf8StringAtom != XCB_ATOM_NONE) {
        q.netName = askProperty(c, window, netWmNameAtom, utf8StringAtom, kPropertyLongLength);
      }
      if (askClientIds) {
        const xcb_res_client_id_spec_t pidOfClient{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        q.clientIds = xcb_res_query_client_ids(c, 1, &pidOfClient);
      }
      // Asked of every window, though only a window without _NET_WM_NAME uses it: waiting for the first answer
      // before asking would cost a round trip per window.
      q.wmName = askProperty(c, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, kWmNameLongLength);
      q.attributes = xcb_get_window_attributes(c, window);
      q.geometry = xcb_get_geometry(c, window);
    }
    connection->flush();

    // Every reply is collected, also for a window that is then dropped, so that none is left waiting.
    for (std::size_t i = first; i < end; ++i) {
      WindowQueries& q = queries[i - first];
      WindowInfo info;
      info.xid = ids[i];
      // The answers are read through the bytes of each reply, never through the lengths the server states.
      info.pid =
          pidFromProperty(replyBytes(connection->reply<xcb_get_property_reply_t>(q.pid->sequence).get())).value_or(-1);
      if (q.netName) {
        info.title =
            netWmNameFromProperty(replyBytes(connection->reply<xcb_get_property_reply_t>(q.netName->sequence).get()));
      }
      std::optional<std::int32_t> clientPid;
      if (q.clientIds) {
        clientPid = clientPidFromClientIds(
            replyBytes(connection->reply<xcb_res_query_client_ids_reply_t>(q.clientIds->sequence).get()));
      }
      const auto wmName = connection->reply<xcb_get_property_reply_t>(q.wmName.sequence);
      if (info.title.empty()) info.title = wmNameFromProperty(replyBytes(wmName.get()));
      const auto attributes = connection->reply<xcb_get_window_attributes_reply_t>(q.attributes.sequence);
      const auto geometry = connection->reply<xcb_get_geometry_reply_t>(q.geometry.sequence);
      // XGetWindowAttributes asks for the attributes and the geometry, and fails when either fails.
      info.visible = attributes && geometry && attributes->map_state == XCB_MAP_STATE_VIEWABLE;

      if (info.pid <= 0) continue;
      // Wine's helper windows (an InputOnly one, 1x1 clip and GL parents) are top-level where no window manager
      // takes them, carry the game's pid and come before its real window; they can show nothing.
      if (attributes && attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;
      if (geometry && (geometry->width < kSmallestShowingSide || geometry->height < kSmallestShowingSide)) continue;
      // Only a window that declares a pid is taken; the server's pid replaces the declared one.
      if (clientPid) info.pid = *clientPid;
      windows.push_back(std::move(info));
    }
  }

  if (!connection->ok()) {
    failed();
    windows.clear();
  } else if (connection->late()) {
    windows.clear();
  } else {
    // Only a display that answers requests counts as back: one that takes connections and then stays silent is
    // tried less and less often.
    complete = true;
    retries.reset();
  }
  return windows;
}

std::vector<std::uint32_t> X11WindowScanner::topLevelWindows() {
  std::vector<std::uint32_t> windows;
  xcb_connection_t* c = connection->get();
  if (!connection->ok() || connection->late()) return windows;
  if (netClientListAtom != XCB_ATOM_NONE) {
    const xcb_get_property_cookie_t cookie =
        askProperty(c, connection->root(), netClientListAtom, XCB_ATOM_WINDOW, kPropertyLongLength);
    connection->flush();
    windows = windowsFromProperty(replyBytes(connection->reply<xcb_get_property_reply_t>(cookie.sequence).get()));
  }
  // A reparenting window manager puts its frames, not the clients, under the root; the root's children are only
  // the fallback for a display without an EWMH window manager, such as gamescope's.
  if (windows.empty() && connection->ok() && !connection->late()) {
    const xcb_query_tree_cookie_t cookie = xcb_query_tree(c, connection->root());
    connection->flush();
    windows = childrenFromQueryTree(replyBytes(connection->reply<xcb_query_tree_reply_t>(cookie.sequence).get()));
  }
  return windows;
}

}  // namespace cs
