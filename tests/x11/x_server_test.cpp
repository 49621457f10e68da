#include "tests/support/x_server.h"

// gtest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {
namespace {

bool hasAtom(const std::string& display, const char* name) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return false;
  const bool known = XInternAtom(connection, name, True) != None;
  XCloseDisplay(connection);
  return known;
}

TEST(XServer, ServersRunSideBySideEachOnItsOwnDisplay) {
  const XServer managed;
  const XServer bare(false);
  ASSERT_TRUE(managed.ok()) << managed.diagnostics();
  ASSERT_TRUE(bare.ok()) << bare.diagnostics();
  EXPECT_NE(managed.display(), bare.display());
  EXPECT_EQ(managed.display().front(), ':');
  EXPECT_TRUE(hasAtom(managed.display(), "_NET_SUPPORTING_WM_CHECK")) << "the window manager is up";
  EXPECT_FALSE(hasAtom(bare.display(), "_NET_SUPPORTING_WM_CHECK")) << "no window manager was asked for";
}

TEST(XServer, EnvironmentReplacesOrAddsDisplay) {
  const XServer server(false);
  ASSERT_TRUE(server.ok()) << server.diagnostics();
  const std::string ours = "DISPLAY=" + server.display();
  EXPECT_EQ(server.environment({"A=1", "DISPLAY=:999", "B=2"}), (std::vector<std::string>{"A=1", ours, "B=2"}));
  EXPECT_EQ(server.environment({"A=1"}), (std::vector<std::string>{"A=1", ours}));
  EXPECT_EQ(server.environment({"DISPLAYX=1"}), (std::vector<std::string>{"DISPLAYX=1", ours}));
}

TEST(XServer, ClientsLoseTheServerWhenItIsDestroyed) {
  TempDir dir;
  std::optional<Subprocess> client;
  {
    const XServer server(false);
    ASSERT_TRUE(server.ok()) << server.diagnostics();
    std::vector<std::string> env = server.environment(currentEnvironment());
    const auto ready = dir.path() / "ready";
    env.push_back("FAKE_WINDOW=1");
    env.push_back("FAKE_READY_FILE=" + ready.string());
    client.emplace(Subprocess::Options{fakeProcessBinary(), {"fake-window"}, env, std::nullopt, std::nullopt});
    ASSERT_TRUE(waitUntil([&] { return !slurp(ready).empty(); }));
  }
  // The window's owner loses its connection and Xlib ends it.
  const std::optional<int> status = client->wait(std::chrono::seconds(20));
  ASSERT_TRUE(status.has_value()) << "the X client still runs: the server was not stopped";
  EXPECT_TRUE(WIFEXITED(*status));
}

}  // namespace
}  // namespace cs::test
