// Tells the user, through a desktop notification, why the companion could not be started: once the launcher
// starts with the session nobody reads its log.
#ifndef CS_NOTIFY_DESKTOP_NOTIFIER_H
#define CS_NOTIFY_DESKTOP_NOTIFIER_H

#include <string>

#include "launch/launch_failure.h"

namespace cs {

// The notification's summary: what failed, naming the game by its window title.
std::string failureSummary(const LaunchFailure& failure);

// The notification's body: what went wrong in plain words and what to do, then the log line itself.
std::string failureBody(const LaunchFailure& failure);

// Returns a reporter that sends each failure to org.freedesktop.Notifications on the session bus, with the app
// name and desktop entry "CurselloLinuxLauncher" and the given icon (a theme name or a file URI). Summary and body
// are made valid UTF-8 (U+FFFD for invalid bytes); the body is escaped as markup only when the server lists the
// "body-markup" capability, which it is asked for once. It never waits: the bus and the calls are asked for
// asynchronously, and without a bus or a notification server nothing happens.
LaunchFailureReporter desktopNotifier(std::string icon);

}  // namespace cs

#endif  // CS_NOTIFY_DESKTOP_NOTIFIER_H
