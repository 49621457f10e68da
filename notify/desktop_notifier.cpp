#include "notify/desktop_notifier.h"

#include <gio/gio.h>

#include <memory>
#include <utility>
#include <vector>

namespace cs {

namespace {

constexpr const char* kAppName = "CurselloLinuxLauncher";

// One notification's text, valid UTF-8.
struct Message {
  std::string summary;
  std::string body;
};

// What the reporter keeps from one notification to the next. Whether the server reads markup in the body is asked
// of it once; notifications that come meanwhile wait for the answer.
struct NotifierState {
  enum class Markup { kUnknown, kAsking, kRead, kShownAsIs };
  std::string icon;
  Markup markup = Markup::kUnknown;
  std::vector<Message> waiting;
};

// What one notification carries from the moment it is asked for until the bus is there.
struct PendingNotification {
  std::shared_ptr<NotifierState> state;
  Message message;
};

// A window title is the bytes its window set, a path is the bytes of the file system: GLib refuses a D-Bus string
// that is not UTF-8, so a Latin-1 title or one cut mid-character gets U+FFFD where its bytes are invalid.
std::string validUtf8(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string result = valid;
  g_free(valid);
  return result;
}

void onNotified(GObject* connection, GAsyncResult* result, gpointer /*data*/) {
  // No server, or one that refuses: the user is told nothing more, and the log already holds the line.
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, nullptr);
  if (reply != nullptr) g_variant_unref(reply);
}

void notify(GDBusConnection* connection, const NotifierState& state, const Message& message) {
  // A server that reads the body as markup must get a path holding "&" or "<" escaped to show it as written; any
  // other shows the escapes themselves.
  gchar* body = state.markup == NotifierState::Markup::kRead ? g_markup_escape_text(message.body.c_str(), -1)
                                                             : g_strdup(message.body.c_str());
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  // Lets the server show the notification under the program's menu entry.
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kAppName));
  g_dbus_connection_call(connection, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify",
                         g_variant_new("(susssasa{sv}i)", kAppName, 0u, state.icon.c_str(), message.summary.c_str(),
                                       body, &actions, &hints, -1),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onNotified, nullptr);
  g_free(body);
}

void onCapabilities(GObject* source, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<std::shared_ptr<NotifierState>> owner(static_cast<std::shared_ptr<NotifierState>*>(data));
  NotifierState& state = **owner;
  GDBusConnection* connection = G_DBUS_CONNECTION(source);
  GVariant* reply = g_dbus_connection_call_finish(connection, result, nullptr);
  // Without an answer (no server yet) the waiting ones go out as they are, and the next notification asks again.
  state.markup = NotifierState::Markup::kUnknown;
  if (reply != nullptr) {
    GVariantIter* capabilities = nullptr;
    g_variant_get(reply, "(as)", &capabilities);
    state.markup = NotifierState::Markup::kShownAsIs;
    const gchar* capability = nullptr;
    while (g_variant_iter_next(capabilities, "&s", &capability)) {
      if (g_strcmp0(capability, "body-markup") == 0) state.markup = NotifierState::Markup::kRead;
    }
    g_variant_iter_free(capabilities);
    g_variant_unref(reply);
  }
  for (const Message& message : state.waiting) notify(connection, state, message);
  state.waiting.clear();
}

void onBus(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<PendingNotification> pending(static_cast<PendingNotification*>(data));
  GDBusConnection* connection = g_bus_get_finish(result, nullptr);
  if (connection == nullptr) return;
  NotifierState& state = *pending->state;
  if (state.markup == NotifierState::Markup::kRead || state.markup == NotifierState::Markup::kShownAsIs) {
    notify(connection, state, pending->message);
  } else {
    state.waiting.push_back(std::move(pending->message));
    if (state.markup == NotifierState::Markup::kUnknown) {
      state.markup = NotifierState::Markup::kAsking;
      g_dbus_connection_call(connection, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                             "org.freedesktop.Notifications", "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
                             G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onCapabilities,
                             new std::shared_ptr<NotifierState>(pending->state));
    }
  }
  g_object_unref(connection);
}

std::string whatToDo(const LaunchFailure& failure) {
  switch (failure.kind) {
    case LaunchFailureKind::NoDisplay:
      return "The X11 display is unavailable, so the launcher cannot see the windows of games on X11 and never "
             "starts Cursello for them. Games on Wine's Wayland driver are still served. Log in to an X11 session, "
             "or one with Xwayland, and start the launcher again.";
    case LaunchFailureKind::NoContext:
      return "No Proton build, or no Proton data folder (compatdata) of this game, was found in your Steam "
             "libraries. Make sure the game runs with Proton in Steam, then start it again.";
    case LaunchFailureKind::CurselloMissing: {
      std::string places;
      for (const auto& dir : failure.curselloDirs) places += (places.empty() ? "" : " or in ") + dir.string();
      return "Cursello.exe is missing. Put Cursello.exe in " + places + " and start the game again.";
    }
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
      return "The game runs in a sandbox that belongs to root or to another user, which the launcher may not "
             "enter. Run Steam as the user who runs the launcher.";
    case LaunchFailureKind::SandboxUnreadable:
      return "The launcher could not open the game's sandbox (the line below says why), so Cursello cannot be "
             "started in there. Start the game again.";
    case LaunchFailureKind::UserNamespacesOff:
      return "The game runs in a sandbox that the launcher cannot enter. Sandboxes are made that way when "
             "unprivileged user namespaces are switched off: switch them on (for example with sudo sysctl "
             "kernel.unprivileged_userns_clone=1), then start Steam again.";
    case LaunchFailureKind::MountsShared:
      return "The game runs with processes of its own but the files of your system, a kind of sandbox in which "
             "the launcher does not start Cursello. Start the game from Steam without such a wrapper.";
    case LaunchFailureKind::PlaceUnknown:
      return "The launcher could not tell whether the game runs in a sandbox, so it did not start Cursello for "
             "it. Start the game again.";
    case LaunchFailureKind::SandboxJoinFailed:
      return "Cursello could not be started inside the game's sandbox; the line below names the step that failed. "
             "Start the game again.";
    case LaunchFailureKind::LauncherIsRoot:
      return "The launcher runs as root, and root starts nothing inside a game's sandbox: it would run the "
             "sandbox's programs with root's files. Quit it and start it as the user who plays.";
    case LaunchFailureKind::WatcherMissing:
      return "This build of the launcher lacks its window watcher, CurselloWindowWatch.exe (it is built only where "
             "MinGW is installed), so it cannot see the windows of games on Wine's Wayland driver. Install the "
             "launcher from a package, or build it again with MinGW (x86_64-w64-mingw32-gcc) installed.";
    case LaunchFailureKind::SandboxCrowded:
      return "A sandboxed program claims to run more Steam games at once than anyone plays. The launcher follows "
             "the first of them only; if you run Steam from Flathub, quit the games you are not playing.";
  }
  return {};
}

}  // namespace

std::string failureSummary(const LaunchFailure& failure) {
  if (failure.kind == LaunchFailureKind::NoDisplay) return "Cursello cannot be started for games on X11";
  if (failure.kind == LaunchFailureKind::WatcherMissing) {
    return "Cursello cannot be started for games on Wine's Wayland driver";
  }
  if (failure.kind == LaunchFailureKind::SandboxCrowded) return "Cursello passes over games of a sandbox";
  const std::string game = failure.windowTitle.empty() ? "AppID " + failure.appId : failure.windowTitle;
  return "Cursello could not be started for " + game;
}

std::string failureBody(const LaunchFailure& failure) { return whatToDo(failure) + "\n\n" + failure.message; }

LaunchFailureReporter desktopNotifier(std::string icon) {
  auto state = std::make_shared<NotifierState>();
  state->icon = std::move(icon);
  return [state](const LaunchFailure& failure) {
    auto* pending =
        new PendingNotification{state, {validUtf8(failureSummary(failure)), validUtf8(failureBody(failure))}};
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onBus, pending);
  };
}

}  // namespace cs
