// The launcher: a tray indicator and a monitor that polls once a second on the GTK main loop.
#include <glib.h>
#include <gtk/gtk.h>

#include "app/proton_monitor.h"
#include "tray/tray_indicator.h"

namespace cs {
namespace {

// Runs one pass; TRUE keeps the timer, which lives as long as the main loop.
gboolean onPoll(gpointer data) {
  static_cast<ProtonMonitor*>(data)->poll();
  return TRUE;
}

}  // namespace
}  // namespace cs

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  cs::ProtonMonitor monitor;
  monitor.start();
  cs::setupTray(monitor);
  g_timeout_add_seconds(1, cs::onPoll, &monitor);
  gtk_main();
  return 0;
}
