// The tray indicator as a status-area host sees it: registered with a real StatusNotifierWatcher on a private
// session bus, read and clicked over D-Bus.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/session_bus.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "tests/tray/running_launcher.h"

namespace cs::test {
namespace {

const std::string kTooltip =
    "Cursello\n1. Start a Steam game\n2. Observe a cursor to change\n3. Hit CTRL-ALT-1 or CTRL-ALT-C";

std::vector<TrayItem> waitForTrayItems(const std::string& busAddress) {
  std::vector<TrayItem> items;
  waitUntil([&] {
    items = registeredTrayItems(busAddress);
    return !items.empty();
  });
  return items;
}

TEST(TrayIndicator, ShowsTheTooltipAndIconAndItsOnlyItemQuitEndsTheProgramInOrder) {
  XServer x(false);
  ASSERT_TRUE(x.ok()) << x.diagnostics();
  SessionBus bus;
  ASSERT_TRUE(bus.ok()) << bus.diagnostics();
  ASSERT_TRUE(bus.startTrayWatcher()) << bus.diagnostics();
  RunningLauncher run(x.environment(environmentWithoutDesktop()), bus);
  ASSERT_TRUE(run.launcher().started());

  const auto items = waitForTrayItems(bus.address());
  ASSERT_EQ(items.size(), 1u) << "registered indicators; launcher output:\n" << run.output();
  const TrayItem& item = items.front();

  const struct {
    const char* property;
    std::string expected;
  } properties[] = {
      {"Id", "CurselloLinuxLauncher"},
      {"Title", kTooltip},
      {"IconAccessibleDesc", kTooltip},
      {"IconName", "icon"},
      {"IconThemePath", iconDirectory().string()},
      {"Status", "Active"},
      {"Category", "ApplicationStatus"},
  };
  for (const auto& row : properties) {
    EXPECT_EQ(trayItemProperty(bus.address(), item, row.property).value_or("(no value)"), row.expected)
        << "property " << row.property;
  }

  const auto entries = trayMenuEntries(bus.address(), item);
  ASSERT_EQ(entries.size(), 1u) << "menu entries";
  EXPECT_EQ(entries.front().label, "Quit");

  ASSERT_TRUE(clickTrayMenuEntry(bus.address(), item, entries.front().id));
  const auto status = run.launcher().wait(std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "still running after Quit; output:\n" << run.output();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;

  const auto messages = run.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "CurselloLinuxLauncher started");
  EXPECT_EQ(messages.back(), "CurselloLinuxLauncher exiting") << run.output();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "CurselloLinuxLauncher exiting"), 1);
}

// The fixture's own parser of the watcher's and the menu's replies: the end-to-end tests click Quit through it.
TEST(TrayIndicator, QuotedStringsUndoGVariantEscapes) {
  const struct {
    std::string text;
    std::vector<std::string> expected;
  } rows[] = {
      {"(<'Active'>,)", {"Active"}},
      {"(<'a\\nb'>,)", {"a\nb"}},
      {"(<\"it's\">,)", {"it's"}},
      {"(<'back\\\\slash \\'q\\''>,)", {"back\\slash 'q'"}},
      {"(<'caf\\u00e9'>,)", {"caf\xc3\xa9"}},
      {"(<[':1.4/org/x', ':1.5']>,)", {":1.4/org/x", ":1.5"}},
      {"(uint32 2,)", {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(quotedStrings(row.text), row.expected) << row.text;
  }
}

}  // namespace
}  // namespace cs::test
