#include "x11/window_scanner.h"

// gtest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "x11/x_connection.h"

namespace cs {
namespace {

using test::ScopedEnvironmentVariable;
using test::XServer;

// A window shown by a fake process.
struct Shown {
  pid_t pid = -1;
  unsigned long xid = 0;
};

// Starts fake processes with windows on one server and keeps them running until destruction.
class FakeWindows {
 public:
  explicit FakeWindows(const XServer& onServer) : server(onServer) {}

  // Starts one with the FAKE_* variables given and waits until its window is set up (mapped ones are viewable).
  Shown show(const std::vector<std::string>& variables) {
    const auto ready = dir.path() / ("ready-" + std::to_string(processes.size()));
    std::vector<std::string> env = server.environment(test::currentEnvironment());
    env.push_back("FAKE_WINDOW=1");
    env.push_back("FAKE_READY_FILE=" + ready.string());
    env.insert(env.end(), variables.begin(), variables.end());
    processes.push_back(std::make_unique<test::Subprocess>(
        test::Subprocess::Options{test::fakeProcessBinary(), {"fake-window"}, env, std::nullopt, std::nullopt}));
    Shown shown;
    if (!test::waitUntil([&] { return test::slurp(ready).find('\n') != std::string::npos; })) return shown;
    std::istringstream in(test::slurp(ready));
    in >> shown.pid >> shown.xid;
    return shown;
  }

 private:
  const XServer& server;
  test::TempDir dir;
  std::vector<std::unique_ptr<test::Subprocess>> processes;
};

// The test's own connection, to look at and change the server behind the scanner's back.
class Connection {
 public:
  explicit Connection(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
  ~Connection() {
    if (display != nullptr) XCloseDisplay(display);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* get() const { return display; }
  Window root() const { return DefaultRootWindow(display); }
  Atom atom(const char* name) const { return XInternAtom(display, name, False); }

  std::vector<unsigned long> clientList() const {
    std::vector<unsigned long> ids;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, root(), atom("_NET_CLIENT_LIST"), 0, 100000, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) == Success &&
        data != nullptr && type == XA_WINDOW && format == 32) {
      const auto* items = reinterpret_cast<unsigned long*>(data);
      ids.assign(items, items + count);
    }
    if (data != nullptr) XFree(data);
    return ids;
  }

  void setClientList(const std::vector<unsigned long>& ids, Atom type = XA_WINDOW, int format = 32) const {
    if (format == 32) {
      // Xlib takes 32-bit items as C longs.
      const std::vector<long> items(ids.begin(), ids.end());
      XChangeProperty(display, root(), atom("_NET_CLIENT_LIST"), type, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(items.data()), static_cast<int>(items.size()));
    } else {
      const std::vector<short> items(ids.begin(), ids.end());
      XChangeProperty(display, root(), atom("_NET_CLIENT_LIST"), type, 16, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(items.data()), static_cast<int>(items.size()));
    }
    XSync(display, False);
  }

  // A window of this connection that lives as long as the connection, with the _NET_WM_PID given.
  Window createWindow(std::optional<long> pid) const {
    const Window window = XCreateSimpleWindow(display, root(), 0, 0, 10, 10, 0, 0, 0);
    if (pid) {
      XChangeProperty(display, window, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&*pid), 1);
    }
    return window;
  }

 private:
  Display* display;
};

std::vector<unsigned long> xidsOf(const std::vector<WindowInfo>& windows) {
  std::vector<unsigned long> ids;
  for (const auto& w : windows) ids.push_back(w.xid);
  return ids;
}

const WindowInfo* findWindow(const std::vector<WindowInfo>& windows, unsigned long xid) {
  const auto it = std::find_if(windows.begin(), windows.end(), [&](const WindowInfo& w) { return w.xid == xid; });
  return it != windows.end() ? &*it : nullptr;
}

// Waits until the window manager lists `count` clients, then scans the server as the launcher would.
void scanWhenListed(const XServer& server, std::size_t count, std::vector<WindowInfo>& windows) {
  Connection connection(server.display());
  ASSERT_TRUE(test::waitUntil([&] { return connection.clientList().size() == count; }));
  ScopedEnvironmentVariable display("DISPLAY", server.display());
  windows = X11WindowScanner().scan();
}

// --- With a window manager ---------------------------------------------------------------------------------------

TEST(X11WindowScanner, ListsManagedWindowsInClientListOrder) {
  XServer server;
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  const Shown first = fakes.show({"FAKE_WINDOW_TITLE=first"});
  const Shown second = fakes.show({"FAKE_WINDOW_TITLE=second"});
  const Shown third = fakes.show({"FAKE_WINDOW_TITLE=third"});
  ASSERT_NE(first.xid, 0u);
  ASSERT_NE(second.xid, 0u);
  ASSERT_NE(third.xid, 0u);
  Connection connection(server.display());
  ASSERT_TRUE(test::waitUntil([&] { return connection.clientList().size() == 3; }));
  const std::vector<unsigned long> clientList = connection.clientList();

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  ASSERT_TRUE(scanner.available());
  const std::vector<WindowInfo> windows = scanner.scan();

  // The window manager's frames are the root's children; the clients come from its list, in its order.
  EXPECT_EQ(xidsOf(windows), clientList);
  EXPECT_EQ(xidsOf(windows), (std::vector<unsigned long>{first.xid, second.xid, third.xid}));
  const std::vector<Shown> shown{first, second, third};
  const std::vector<std::string> titles{"first", "second", "third"};
  for (std::size_t i = 0; i < windows.size() && i < shown.size(); ++i) {
    EXPECT_EQ(windows[i].pid, shown[i].pid) << titles[i];
    EXPECT_EQ(windows[i].title, titles[i]);
    EXPECT_TRUE(windows[i].visible) << titles[i];
  }
}

TEST(X11WindowScanner, TitleIsNetWmNameElseWmNameElseEmpty) {
  struct Row {
    const char* name;
    std::optional<std::string> netWmName;
    std::optional<std::string> wmName;
    std::string expected;
  };
  const std::string umlauts = "Spiel \xE2\x80\x93 Stra\xC3\x9F" "e \xF0\x9F\x8E\xAE";
  const std::vector<Row> rows{
      {"both", "net name", "wm name", "net name"},
      {"only WM_NAME", std::nullopt, "wm name", "wm name"},
      {"empty _NET_WM_NAME", "", "wm name", "wm name"},
      {"neither", std::nullopt, std::nullopt, ""},
      {"UTF-8 bytes pass unchanged", umlauts, "ascii", umlauts},
      {"long title cut at 16384 bytes", std::string(20000, 't'), "short", std::string(16384, 't')},
  };
  XServer server;
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  std::vector<Shown> shown;
  for (const Row& row : rows) {
    std::vector<std::string> variables;
    if (row.netWmName) variables.push_back("FAKE_WINDOW_TITLE=" + *row.netWmName);
    if (row.wmName) variables.push_back("FAKE_WINDOW_WM_NAME=" + *row.wmName);
    shown.push_back(fakes.show(variables));
    ASSERT_NE(shown.back().xid, 0u) << row.name;
  }
  std::vector<WindowInfo> windows;
  ASSERT_NO_FATAL_FAILURE(scanWhenListed(server, rows.size(), windows));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const WindowInfo* window = findWindow(windows, shown[i].xid);
    ASSERT_NE(window, nullptr) << rows[i].name;
    EXPECT_EQ(window->title, rows[i].expected) << rows[i].name;
  }
}

TEST(X11WindowScanner, DropsWindowsWithoutAUsablePid) {
  struct Row {
    const char* name;
    std::vector<std::string> variables;
    std::optional<pid_t> expectedPid;  // no value: dropped; -1 here: the fake's own pid
  };
  const std::vector<Row> rows{
      {"own pid", {}, -1},
      {"declared pid", {"FAKE_WINDOW_PID=4242"}, 4242},
      {"no _NET_WM_PID", {"FAKE_WINDOW_PID=none"}, std::nullopt},
      {"pid 0", {"FAKE_WINDOW_PID=0"}, std::nullopt},
      {"negative pid", {"FAKE_WINDOW_PID=-5"}, std::nullopt},
      {"type INTEGER", {"FAKE_WINDOW_PID_TYPE=integer"}, std::nullopt},
      {"format 16", {"FAKE_WINDOW_PID_TYPE=cardinal16"}, std::nullopt},
  };
  XServer server;
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  std::vector<Shown> shown;
  for (const Row& row : rows) {
    shown.push_back(fakes.show(row.variables));
    ASSERT_NE(shown.back().xid, 0u) << row.name;
  }
  std::vector<WindowInfo> windows;
  ASSERT_NO_FATAL_FAILURE(scanWhenListed(server, rows.size(), windows));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const WindowInfo* window = findWindow(windows, shown[i].xid);
    if (!rows[i].expectedPid) {
      EXPECT_EQ(window, nullptr) << rows[i].name << " was listed with pid " << window->pid;
      continue;
    }
    ASSERT_NE(window, nullptr) << rows[i].name;
    EXPECT_EQ(window->pid, *rows[i].expectedPid == -1 ? shown[i].pid : *rows[i].expectedPid) << rows[i].name;
  }
}

TEST(X11WindowScanner, MinimizedWindowIsListedButNotVisible) {
  XServer server;
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  const Shown shownWindow = fakes.show({"FAKE_WINDOW_TITLE=stays"});
  const Shown minimized = fakes.show({"FAKE_WINDOW_TITLE=minimized"});
  ASSERT_NE(minimized.xid, 0u);
  Connection connection(server.display());
  ASSERT_TRUE(test::waitUntil([&] { return connection.clientList().size() == 2; }));

  // Ask the window manager to iconify the window, as a client does (ICCCM WM_CHANGE_STATE).
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = minimized.xid;
  event.xclient.message_type = connection.atom("WM_CHANGE_STATE");
  event.xclient.format = 32;
  event.xclient.data.l[0] = IconicState;
  XSendEvent(connection.get(), connection.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XSync(connection.get(), False);

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  std::vector<WindowInfo> windows;
  ASSERT_TRUE(test::waitUntil([&] {
    windows = scanner.scan();
    const WindowInfo* window = findWindow(windows, minimized.xid);
    return window != nullptr && !window->visible;
  }));
  EXPECT_EQ(xidsOf(windows), (std::vector<unsigned long>{shownWindow.xid, minimized.xid}));
  EXPECT_TRUE(windows.front().visible);
}

// --- Without a window manager ------------------------------------------------------------------------------------

TEST(X11WindowScanner, ListsRootChildrenInStackingOrderWithoutWindowManager) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  const Shown bottom = fakes.show({"FAKE_WINDOW_TITLE=bottom"});
  const Shown unmapped = fakes.show({"FAKE_WINDOW_TITLE=unmapped", "FAKE_WINDOW_MAPPED=0"});
  const Shown top = fakes.show({"FAKE_WINDOW_TITLE=top"});
  ASSERT_NE(top.xid, 0u);
  Connection connection(server.display());
  ASSERT_EQ(XInternAtom(connection.get(), "_NET_CLIENT_LIST", True), static_cast<Atom>(None))
      << "nobody should have named the client list on a bare server";

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  const std::vector<WindowInfo> windows = scanner.scan();
  ASSERT_EQ(xidsOf(windows), (std::vector<unsigned long>{bottom.xid, unmapped.xid, top.xid}));
  EXPECT_TRUE(windows[0].visible);
  EXPECT_FALSE(windows[1].visible) << "an unmapped window is listed but not visible";
  EXPECT_EQ(windows[1].title, "unmapped");
  EXPECT_EQ(windows[1].pid, unmapped.pid);
  EXPECT_TRUE(windows[2].visible);
}

TEST(X11WindowScanner, MappedWindowInsideAnUnmappedParentIsNotVisible) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  Connection connection(server.display());
  const Window parent = connection.createWindow(std::nullopt);  // never mapped
  const Window inner = XCreateSimpleWindow(connection.get(), parent, 0, 0, 5, 5, 0, 0, 0);
  const long innerPid = 55;
  XChangeProperty(connection.get(), inner, connection.atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&innerPid), 1);
  XMapWindow(connection.get(), inner);
  const Window shown = connection.createWindow(56);
  XMapWindow(connection.get(), shown);
  connection.setClientList({inner, shown});
  XWindowAttributes attributes{};
  ASSERT_NE(XGetWindowAttributes(connection.get(), inner, &attributes), 0);
  ASSERT_EQ(attributes.map_state, IsUnviewable);

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  const std::vector<WindowInfo> windows = scanner.scan();
  ASSERT_EQ(xidsOf(windows), (std::vector<unsigned long>{inner, shown}));
  EXPECT_EQ(windows[0].pid, 55);
  EXPECT_FALSE(windows[0].visible);
  EXPECT_TRUE(windows[1].visible);
}

TEST(X11WindowScanner, UsesClientListOnlyWhenItIsANonEmptyListOfWindows) {
  struct Row {
    const char* name;
    Atom type;
    int format;
    bool listed;     // false: the property is set to an empty list
    bool fallsBack;  // true: the root's children are scanned instead
  };
  const std::vector<Row> rows{
      {"windows, format 32", XA_WINDOW, 32, true, false},
      {"type CARDINAL", XA_CARDINAL, 32, true, true},
      {"format 16", XA_WINDOW, 16, true, true},
      {"empty list", XA_WINDOW, 32, false, true},
  };
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  const Shown first = fakes.show({});
  const Shown second = fakes.show({});
  ASSERT_NE(second.xid, 0u);
  Connection connection(server.display());
  connection.setClientList({});  // names the atom before the scanner looks it up

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  for (const Row& row : rows) {
    // The list names only the second window, so a used list and the fallback give different answers.
    connection.setClientList(row.listed ? std::vector<unsigned long>{second.xid} : std::vector<unsigned long>{},
                             row.type, row.format);
    const std::vector<unsigned long> expected = row.fallsBack ? std::vector<unsigned long>{first.xid, second.xid}
                                                              : std::vector<unsigned long>{second.xid};
    EXPECT_EQ(xidsOf(scanner.scan()), expected) << row.name;
  }
}

TEST(X11WindowScanner, ExaminesOnlyTheFirst4096ClientListEntries) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  Connection connection(server.display());
  const Window head = connection.createWindow(1001);
  const Window last = connection.createWindow(1002);    // index 4095, the last one read
  const Window beyond = connection.createWindow(1003);  // index 4096
  const Window filler = connection.createWindow(std::nullopt);
  std::vector<unsigned long> list{head};
  list.insert(list.end(), 4094, filler);
  list.push_back(last);
  list.push_back(beyond);
  list.push_back(beyond);
  connection.setClientList(list);

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  const std::vector<WindowInfo> windows = scanner.scan();
  EXPECT_EQ(xidsOf(windows), (std::vector<unsigned long>{head, last}));
}

// A fresh server (a game's gamescope, an Xwayland started again) learns _NET_WM_PID with the game's first window.
TEST(X11WindowScanner, AtomsUnknownAtConstructionAreLookedUpAgain) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner early;  // nobody has named _NET_WM_PID yet
  Connection connection(server.display());
  EXPECT_EQ(XInternAtom(connection.get(), "_NET_WM_PID", True), static_cast<Atom>(None))
      << "looking the atoms up must not create them";

  FakeWindows fakes(server);
  const Shown window = fakes.show({"FAKE_WINDOW_TITLE=late"});
  ASSERT_NE(window.xid, 0u);
  EXPECT_EQ(xidsOf(early.scan()), std::vector<unsigned long>{window.xid});
}

// A sandboxed game's window declares a pid of the sandbox's own namespace; the server knows its client's real one.
TEST(X11WindowScanner, ServerPidsReplaceDeclaredOnesOnlyWhenAsked) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  Connection connection(server.display());
  const Window declared = connection.createWindow(77);
  connection.createWindow(std::nullopt);  // no declared pid: never listed, whatever the server knows
  XMapWindow(connection.get(), declared);
  XSync(connection.get(), False);

  X11WindowScanner scanner(server.display());
  const std::vector<WindowInfo> plain = scanner.scan(false);
  const std::vector<WindowInfo> asked = scanner.scan(true);
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0].pid, 77);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].pid, getpid());
}

// --- A window that vanishes between listing and query --------------------------------------------------------------

int errorsSeenByTestHandler = 0;

int countingHandler(Display*, XErrorEvent*) {
  ++errorsSeenByTestHandler;
  return 0;
}

// Lists a destroyed window between two live ones and scans; whatever handler was installed must be in place again
// afterwards and must not have seen the scanner's errors.
void expectVanishedWindowSkipped(XErrorHandler installed) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  FakeWindows fakes(server);
  const Shown before = fakes.show({"FAKE_WINDOW_TITLE=before"});
  const Shown after = fakes.show({"FAKE_WINDOW_TITLE=after"});
  ASSERT_NE(after.xid, 0u);
  Connection connection(server.display());
  const Window gone = connection.createWindow(77);
  XDestroyWindow(connection.get(), gone);
  connection.setClientList({before.xid, gone, after.xid});

  ScopedEnvironmentVariable display("DISPLAY", server.display());
  X11WindowScanner scanner;
  errorsSeenByTestHandler = 0;
  const XErrorHandler old = XSetErrorHandler(installed);
  // What XSetErrorHandler reports for `installed` (Xlib's own default when it is null).
  const XErrorHandler expected = XSetErrorHandler(installed);

  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<WindowInfo> windows = scanner.scan();
    EXPECT_EQ(xidsOf(windows), (std::vector<unsigned long>{before.xid, after.xid})) << "pass " << pass;
  }

  const XErrorHandler afterScan = XSetErrorHandler(old);
  EXPECT_EQ(afterScan, expected) << "the scanner must put the previous handler back";
  EXPECT_EQ(errorsSeenByTestHandler, 0);
}

TEST(X11WindowScanner, VanishedWindowIsSkippedUnderTheTestsOwnErrorHandler) {
  expectVanishedWindowSkipped(countingHandler);
}

TEST(X11WindowScanner, VanishedWindowIsSkippedUnderXlibsDefaultErrorHandler) {
  // Xlib's default handler ends the process on any error: reaching the end is the test.
  expectVanishedWindowSkipped(nullptr);
}

// --- Displays that answer late or not at all ----------------------------------------------------------------------

TEST(RetrySchedule, WaitsDoubleFromOneSecondUpToThirtyAndAResetMakesTheNextAttemptDueAtOnce) {
  RetrySchedule retries;
  auto now = RetrySchedule::Clock::now();
  EXPECT_TRUE(retries.due(now));
  for (const int wait : {1, 2, 4, 8, 16, 30, 30}) {
    retries.failed(now);
    now += std::chrono::seconds(wait);
    EXPECT_FALSE(retries.due(now - RetrySchedule::kSlack * 2)) << "wait " << wait;
    EXPECT_TRUE(retries.due(now - RetrySchedule::kSlack)) << "wait " << wait;
  }
  retries.reset();
  EXPECT_TRUE(retries.due(now));
}

// A server that stops answering for a while (a grab, a busy Xwayland) keeps its connection: its scans in between
// say nothing of its windows, and once it answers it is read as before. Silent for five seconds, it is lost, and
// then tried again only when due.
TEST(X11WindowScanner, AServerLateWithItsAnswersKeepsItsConnectionUntilSilentForFiveSeconds) {
  XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  const Connection connection(server.display());
  const Window window = connection.createWindow(4242);
  XSync(connection.get(), False);
  X11WindowScanner scanner(server.display());
  const auto soon = [] { return X11WindowScanner::Clock::now() + std::chrono::milliseconds(100); };
  for (int round = 0; round < 2; ++round) {
    server.freeze();
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_TRUE(scanner.scan(false, soon()).empty());
      EXPECT_FALSE(scanner.scanComplete()) << "round " << round << " pass " << pass;
      EXPECT_TRUE(scanner.available()) << "round " << round << " pass " << pass;
    }
    server.thaw();
    EXPECT_TRUE(test::waitUntil([&] {
      const std::vector<unsigned long> xids = xidsOf(scanner.scan());
      return scanner.scanComplete() && xids == std::vector<unsigned long>{window};
    })) << "round " << round;
  }

  server.freeze();
  scanner.scan(false, soon());
  std::this_thread::sleep_for(kXSilenceLimit);
  scanner.scan();
  EXPECT_FALSE(scanner.available());
  // Each attempt leaves a connection in the frozen server's backlog.
  const int queued = server.queuedConnections();
  EXPECT_FALSE(scanner.reconnect());
  EXPECT_EQ(server.queuedConnections(), queued) << "tried before the first wait was over";
  scanner.retryNow();
  EXPECT_FALSE(scanner.reconnect());
  EXPECT_EQ(server.queuedConnections(), queued + 1);
  server.thaw();
}

// --- Without a display ---------------------------------------------------------------------------------------------

TEST(X11WindowScanner, UnavailableWithoutDisplay) {
  for (const std::optional<std::string>& value : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    ScopedEnvironmentVariable display("DISPLAY", value);
    X11WindowScanner scanner;
    EXPECT_FALSE(scanner.available()) << "DISPLAY=" << value.value_or("(unset)");
    EXPECT_TRUE(scanner.scan().empty()) << "DISPLAY=" << value.value_or("(unset)");
  }
}

}  // namespace
}  // namespace cs
