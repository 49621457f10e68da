#include "notify/desktop_notifier.h"

#include <gio/gio.h>

#include <memory>
#include <utility>

namespace cs {

namespace {

constexpr const char* kAppName = "CurselloLinuxLauncher";

// What one notification carries from the moment it is asked for until the bus is there.
struct PendingNotification {
  std::string icon;
  std::string summary;
  std::string body;
};

void onNotified(GObject* connection, GAsyncResult* result, gpointer /*data*/) {
  // No server, or one that refuses: the user is told nothing more, and the log already holds the line.
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, nullptr);
  if (reply != nullptr) g_variant_unref(reply);
}

void onBus(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<PendingNotification> pending(static_cast<PendingNotification*>(data));
  GDBusConnection* connection = g_bus_get_finish(result, nullptr);
  if (connection == nullptr) return;
  // Servers may read the body as markup; a path holding "&" or "<" must come out as written.
  gchar* body = g_markup_escape_text(pending->body.c_str(), -1);
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  // Lets the server show the notification under the program's menu entry.
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kAppName));
  g_dbus_connection_call(connection, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify",
                         g_variant_new("(susssasa{sv}i)", kAppName, 0u, pending->icon.c_str(), pending->summary.c_str(),
                                       body, &actions, &hints, -1),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onNotified, nullptr);
  g_free(body);
  g_object_unref(connection);
}

std::string whatToDo(const LaunchFailure& failure) {
  switch (failure.kind) {
    case LaunchFailureKind::NoDisplay:
      return "The X11 display is unavailable, so the launcher cannot see game windows and never starts Cursello. "
             "Log in to an X11 session, or one with Xwayland, and start the launcher again.";
    case LaunchFailureKind::NoContext:
      return "No Proton build, or no Proton data folder (compatdata) of this game, was found in your Steam "
             "libraries. Make sure the game runs with Proton in Steam, then start it again.";
    case LaunchFailureKind::CurselloMissing:
      return "Cursello.exe is missing. Put Cursello.exe in " + failure.curselloDir.string() +
             " and start the game again.";
    case LaunchFailureKind::CompatDataMissing:
      return "The game's Proton data folder (compatdata) has gone. Start the game once from Steam with Proton, "
             "then start it again.";
    case LaunchFailureKind::PrefixMissing:
      return "The game's Wine prefix does not exist yet. Start the game once from Steam with Proton so that "
             "Steam creates it, then start it again.";
    case LaunchFailureKind::WineMissing:
      return "The game's Proton build has no wine loader. Reinstall that Proton build in Steam, then start the "
             "game again.";
    case LaunchFailureKind::SpawnFailed:
      return "Proton's wine loader could not be started. Reinstall that Proton build in Steam, then start the "
             "game again.";
    case LaunchFailureKind::SnapUnreachable:
      return "Steam from the Snap Store keeps its games in a confinement that the launcher cannot reach from "
             "outside. Steam from your distribution's package or from Flathub works with the launcher.";
    case LaunchFailureKind::SandboxClosed:
      return "The game runs in a sandbox that the launcher cannot enter. Sandboxes are made that way when "
             "unprivileged user namespaces are switched off: switch them on (for example with sudo sysctl "
             "kernel.unprivileged_userns_clone=1), then start Steam again.";
    case LaunchFailureKind::SandboxJoinFailed:
      return "Cursello could not be started inside the game's sandbox; the line below names the step that failed. "
             "Start the game again.";
  }
  return {};
}

}  // namespace

std::string failureSummary(const LaunchFailure& failure) {
  if (failure.kind == LaunchFailureKind::NoDisplay) return "Cursello cannot be started for any game";
  const std::string game = failure.windowTitle.empty() ? "AppID " + failure.appId : failure.windowTitle;
  return "Cursello could not be started for " + game;
}

std::string failureBody(const LaunchFailure& failure) { return whatToDo(failure) + "\n\n" + failure.message; }

LaunchFailureReporter desktopNotifier(std::string icon) {
  return [icon = std::move(icon)](const LaunchFailure& failure) {
    auto* pending = new PendingNotification{icon, failureSummary(failure), failureBody(failure)};
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onBus, pending);
  };
}

}  // namespace cs
