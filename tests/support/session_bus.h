// A private D-Bus session bus for one test, the status-notifier watcher that tray indicators register with, and
// the calls a status-area host makes to read an indicator and click its menu, all through the real gdbus tool.
#ifndef CS_TESTS_SUPPORT_SESSION_BUS_H
#define CS_TESTS_SUPPORT_SESSION_BUS_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {

// Runs a program (searched in PATH) to its end and returns what it wrote to standard output and error, or no value
// when it could not start, failed, or outlived the timeout (it is then killed).
std::optional<std::string> runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Returns env with NAME set to value: replaced where env has it, else appended.
std::vector<std::string> withVariable(std::vector<std::string> env, const std::string& name,
                                      const std::string& value);
// Returns env without NAME.
std::vector<std::string> withoutVariable(std::vector<std::string> env, const std::string& name);

// A dbus-daemon of its own, started on construction and ended on destruction (or when the test process dies). It
// activates no services, so a program on it starts no helpers that would outlive the test.
class SessionBus {
 public:
  SessionBus();
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  // True when the daemon runs and told its address.
  bool ok() const { return !busAddress.empty(); }
  const std::string& address() const { return busAddress; }
  // Returns base with DBUS_SESSION_BUS_ADDRESS set to this bus.
  std::vector<std::string> environment(const std::vector<std::string>& base) const;

  // Starts the tests' StatusNotifierWatcher (tray_watcher) on this bus and waits until it owns
  // org.kde.StatusNotifierWatcher. False when it did not take the name in time.
  bool startTrayWatcher();

  // Starts the recording notification server on this bus, answering GetCapabilities with `capabilities`, and
  // waits until it owns org.freedesktop.Notifications.
  bool startNotificationServer(const std::vector<std::string>& capabilities = {"body"});
  // The notifications it was sent so far, in order.
  struct Notification {
    std::string app, icon, summary, body;
  };
  std::vector<Notification> notifications() const;

  // The output of the daemon and the watcher so far: for failure messages.
  std::string diagnostics() const;

 private:
  TempDir dir;
  pid_t daemonPid = -1;
  pid_t watcherPid = -1;
  pid_t notificationServerPid = -1;
  std::string busAddress;
};

// Calls a method through `gdbus call` and returns its reply in GVariant text form, such as "(<'Active'>,)", or no
// value when the call failed.
std::optional<std::string> busCall(const std::string& busAddress, const std::string& destination,
                                   const std::string& objectPath, const std::string& method,
                                   const std::vector<std::string>& arguments = {});

bool busNameHasOwner(const std::string& busAddress, const std::string& name);

// Returns the strings quoted in GVariant text (single- or double-quoted, escapes undone), in order.
std::vector<std::string> quotedStrings(const std::string& gvariantText);

// An indicator that registered with the watcher.
struct TrayItem {
  std::string busName;
  std::string objectPath;
};

// The indicators registered with the watcher on the bus; empty when there is no watcher.
std::vector<TrayItem> registeredTrayItems(const std::string& busAddress);

// Returns whether an indicator of the process is registered: a watcher may still list the indicator of a process
// that has just ended.
bool hasTrayItemOf(const std::string& busAddress, pid_t pid);

// Returns a string or object-path property of the indicator (interface org.kde.StatusNotifierItem).
std::optional<std::string> trayItemProperty(const std::string& busAddress, const TrayItem& item,
                                            const std::string& property);

// One entry of an indicator's menu.
struct TrayMenuEntry {
  int id = 0;
  std::string label;  // empty for an entry without a label
};

// The entries of the indicator's menu (com.canonical.dbusmenu, at the item's Menu path), in menu order.
std::vector<TrayMenuEntry> trayMenuEntries(const std::string& busAddress, const TrayItem& item);

// Sends the menu entry a "clicked" event, as a status-area host does when the user picks it.
bool clickTrayMenuEntry(const std::string& busAddress, const TrayItem& item, int entryId);

// Waits (with the timeout as deadline) until an indicator with a "Quit" entry is registered on the bus, and clicks
// that entry. False when none appeared or the click could not be sent.
bool clickTrayQuit(const std::string& busAddress, std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace cs::test

#endif  // CS_TESTS_SUPPORT_SESSION_BUS_H
