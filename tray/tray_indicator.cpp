#include "tray/tray_indicator.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "common/logger.h"
#include "common/runtime_dir.h"
#include "tray/embedded_icon.h"

namespace cs {
namespace {

constexpr const char* kTooltip =
    "Cursello\n1. Start a Steam game\n2. Observe a cursor to change\n3. Hit CTRL-ALT-1 or CTRL-ALT-C";

constexpr const char* kIconFileName = "icon.png";

// Loaded at run time rather than linked: many systems (and sessions with no tray at all) lack the library, and the
// launcher serves games there just the same. The header only gives the functions' types.
constexpr const char* kIndicatorLibrary = "libayatana-appindicator3.so.1";

struct IndicatorApi {
  decltype(&app_indicator_new_with_path) newWithPath = nullptr;
  decltype(&app_indicator_set_status) setStatus = nullptr;
  decltype(&app_indicator_set_title) setTitle = nullptr;
  decltype(&app_indicator_set_icon_full) setIconFull = nullptr;
  decltype(&app_indicator_set_menu) setMenu = nullptr;
};

template <typename Function>
bool lookUp(void* library, const char* name, Function& function, std::string& error) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (function == nullptr) error = std::string("no ") + name + " in it";
  return function != nullptr;
}

// Returns the indicator's functions, or nothing with the reason in error. The library stays loaded for the life
// of the process, as the indicator does (also when it lacks a function: unloading a library that registered
// types with GLib is not safe).
std::optional<IndicatorApi> loadIndicatorApi(std::string& error) {
  void* library = dlopen(kIndicatorLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown error";
    return std::nullopt;
  }
  IndicatorApi api;
  if (!lookUp(library, "app_indicator_new_with_path", api.newWithPath, error) ||
      !lookUp(library, "app_indicator_set_status", api.setStatus, error) ||
      !lookUp(library, "app_indicator_set_title", api.setTitle, error) ||
      !lookUp(library, "app_indicator_set_icon_full", api.setIconFull, error) ||
      !lookUp(library, "app_indicator_set_menu", api.setMenu, error)) {
    return std::nullopt;
  }
  return api;
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

void onQuitItem(GtkMenuItem* /*item*/, gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  gtk_main_quit();
}

void deleteQuitAction(gpointer data, GClosure* /*closure*/) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

void setupTray(std::function<void()> onQuit, const PrivateDir& iconDir) {
  // The icon is written even where no tray shows it: notifications show it too.
  if (iconDir.ok()) writeIconInto(iconDir.fd.get());
  std::string error;
  const std::optional<IndicatorApi> api = loadIndicatorApi(error);
  if (!api) {
    Logger().log(std::string("Running without a tray icon: ") + kIndicatorLibrary + " cannot be loaded: " + error);
    return;
  }
  // Only a directory we checked is named to GTK and the tray host, which read icon files from it: with none, the
  // indicator goes without a theme path (and without an icon of its own) rather than read files of someone else.
  const std::string themePath = iconDir.ok() ? iconDir.path.string() : std::string();
  const std::string iconName = std::filesystem::path(kIconFileName).stem().string();
  // With no status-notifier host the indicator falls back to a GtkStatusIcon, and that fallback scans the
  // default icon theme's search path for the theme path without stopping at the end of the list: it reads past
  // it (and crashes) unless the path is already there.
  if (!themePath.empty()) gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), themePath.c_str());
  // The indicator asks for the session bus asynchronously, and some of its set-up can run before that answer
  // arrives, with no connection: it then never registers and the tray shows nothing. Opening the shared
  // connection first, and keeping it for the life of the process, makes the answer immediate. Without a session
  // bus this fails quietly, as before.
  g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);

  AppIndicator* indicator =
      api->newWithPath("CurselloLinuxLauncher", iconName.c_str(), APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                  themePath.empty() ? nullptr : themePath.c_str());
  api->setStatus(indicator, APP_INDICATOR_STATUS_ACTIVE);
  api->setTitle(indicator, kTooltip);
  api->setIconFull(indicator, iconName.c_str(), kTooltip);

  GtkWidget* menu = gtk_menu_new();
  GtkWidget* quitItem = gtk_menu_item_new_with_label("Quit");
  g_signal_connect_data(quitItem, "activate", G_CALLBACK(onQuitItem), new std::function<void()>(std::move(onQuit)),
                        deleteQuitAction, static_cast<GConnectFlags>(0));
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), quitItem);
  gtk_widget_show_all(menu);
  api->setMenu(indicator, GTK_MENU(menu));
  // The indicator, the menu and the item live until the process ends.
}

}  // namespace cs
