#include "tray/tray_indicator.h"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>

#include "app/proton_monitor.h"
#include "tray/embedded_icon.h"

namespace cs {
namespace {

constexpr const char* kTooltip =
    "Cursello\n1. Start a Steam game\n2. Observe a cursor to change\n3. Hit CTRL-ALT-1 or CTRL-ALT-C";

constexpr const char* kIconFileName = "icon.png";

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd; }

 private:
  int fd;
};

std::filesystem::path iconRuntimeDir() {
  return std::filesystem::path("/tmp") / ("CurselloLinuxLauncher-" + std::to_string(getuid()));
}

// The directory's name is predictable and /tmp is writable by everyone, so another user may have created it
// first, or left a soft link by that name. Only a real directory of our own that nobody else can write to is
// written into. The caller opens it without following a link and the checks go through the descriptor, so the
// directory that was checked is the one written into.
bool isPrivateDirectory(int dirFd) {
  struct stat info {};
  if (dirFd < 0 || fstat(dirFd, &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool writeAll(int fd, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Writes the icon under a fresh name and renames it over icon.png: a reader never sees half a file, and a soft
// link planted as icon.png is replaced instead of followed.
void writeIconInto(int dirFd) {
  const std::string baseName = std::string(kIconFileName) + "." + std::to_string(getpid());
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string tempName = baseName + "." + std::to_string(attempt) + ".tmp";
    const FileDescriptor file(
        openat(dirFd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;  // left behind by an earlier run with the same pid
      return;
    }
    if (!writeAll(file.get(), kEmbeddedIconPng, kEmbeddedIconPngSize) ||
        renameat(dirFd, tempName.c_str(), dirFd, kIconFileName) != 0) {
      unlinkat(dirFd, tempName.c_str(), 0);
    }
    return;
  }
}

std::filesystem::path materializeEmbeddedIcon() {
  const std::filesystem::path dir = iconRuntimeDir();
  // Private from the start; an existing directory is reused as it is, if it passes the checks below.
  mkdir(dir.c_str(), 0700);
  const FileDescriptor dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (isPrivateDirectory(dirFd.get())) writeIconInto(dirFd.get());
  return dir / kIconFileName;
}

void onQuit(GtkMenuItem* /*item*/, gpointer data) {
  static_cast<ProtonMonitor*>(data)->stop();
  gtk_main_quit();
}

}  // namespace

void setupTray(ProtonMonitor& monitor) {
  const std::filesystem::path iconPath = materializeEmbeddedIcon();
  const std::string themePath = iconPath.parent_path().string();
  const std::string iconName = iconPath.stem().string();
  // With no status-notifier host the indicator falls back to a GtkStatusIcon, and that fallback scans the
  // default icon theme's search path for the theme path without stopping at the end of the list: it reads past
  // it (and crashes) unless the path is already there.
  gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), themePath.c_str());
  // The indicator asks for the session bus asynchronously, and some of its set-up can run before that answer
  // arrives, with no connection: it then never registers and the tray shows nothing. Opening the shared
  // connection first, and keeping it for the life of the process, makes the answer immediate. Without a session
  // bus this fails quietly, as before.
  g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);

  AppIndicator* indicator = app_indicator_new_with_path("CurselloLinuxLauncher", iconName.c_str(),
                                                        APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                                        themePath.c_str());
  app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
  app_indicator_set_title(indicator, kTooltip);
  app_indicator_set_icon_full(indicator, iconName.c_str(), kTooltip);

  GtkWidget* menu = gtk_menu_new();
  GtkWidget* quitItem = gtk_menu_item_new_with_label("Quit");
  g_signal_connect_data(quitItem, "activate", G_CALLBACK(onQuit), &monitor, nullptr, static_cast<GConnectFlags>(0));
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), quitItem);
  gtk_widget_show_all(menu);
  app_indicator_set_menu(indicator, GTK_MENU(menu));
  // The indicator, the menu and the item live until the process ends.
}

}  // namespace cs
