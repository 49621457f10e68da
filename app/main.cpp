// The launcher: a tray indicator and a monitor that polls once a second on the GTK main loop.
#include <glib-unix.h>
#include <glib.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "app/proton_monitor.h"
#include "common/logger.h"
#include "common/runtime_dir.h"
#include "notify/desktop_notifier.h"
#include "tray/tray_indicator.h"

namespace cs {
namespace {

// Runs one pass; TRUE keeps the timer, which lives as long as the main loop.
gboolean onPoll(gpointer data) {
  static_cast<ProtonMonitor*>(data)->poll();
  return TRUE;
}

// A sandbox helper spoke, or its pipe ended: the monitor reads what is there without waiting.
gboolean onHelperWord(gint /*fd*/, GIOCondition /*condition*/, gpointer data) {
  static_cast<ProtonMonitor*>(data)->serviceSandboxStarts();
  return G_SOURCE_CONTINUE;
}

// The installed icon by its theme name; a launcher run from its build tree has only the icon the tray writes.
std::string notificationIcon(const PrivateDir& iconDir) {
  constexpr const char* kIconName = "CurselloLinuxLauncher";
  if (!iconDir.ok() || gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), kIconName)) return kIconName;
  gchar* uri = g_filename_to_uri((iconDir.path / "icon.png").c_str(), nullptr, nullptr);
  const std::string icon = uri != nullptr ? uri : kIconName;
  g_free(uri);
  return icon;
}

}  // namespace
}  // namespace cs

int main(int argc, char** argv) {
  // A second launcher of the same user would start a second companion in every game. The lock is held until the
  // process ends; where no private place for it exists the launcher runs unguarded rather than not at all.
  // The lock comes first, so that a second launcher makes nothing for an icon it never shows.
  cs::FileDescriptor instanceLock;
  if (cs::lockInstance(instanceLock) == cs::InstanceLock::kHeldByOther) {
    cs::Logger().log("CurselloLinuxLauncher is already running; exiting");
    return 0;
  }
  const cs::PrivateDir iconDir = cs::openIconDir();
  gtk_init(&argc, &argv);
  cs::ProtonMonitor monitor;
  // Once the session starts the launcher nobody reads its log: a game it cannot serve is also told on the desktop.
  monitor.setFailureReporter(cs::desktopNotifier(cs::notificationIcon(iconDir)));
  monitor.setDescriptorWatch(
      [&monitor](int fd) {
        return static_cast<std::uint32_t>(
            g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), cs::onHelperWord, &monitor));
      },
      [](std::uint32_t id) { g_source_remove(id); });
  monitor.start();
  cs::setupTray([&monitor] { monitor.stop(); }, iconDir);
  g_timeout_add_seconds(1, cs::onPoll, &monitor);
  gtk_main();
  return 0;
}
