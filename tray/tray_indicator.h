// The status-area indicator: the launcher's only user interface.
#ifndef CS_TRAY_TRAY_INDICATOR_H
#define CS_TRAY_TRAY_INDICATOR_H

namespace cs {

class ProtonMonitor;
struct PrivateDir;

// Writes the icon into iconDir (when it is ok), shows the indicator with its tooltip and its one item, "Quit",
// which stops the monitor and ends the GTK main loop. The monitor must outlive the main loop. Where the indicator's
// library cannot be loaded, logs why and shows nothing.
void setupTray(ProtonMonitor& monitor, const PrivateDir& iconDir);

}  // namespace cs

#endif  // CS_TRAY_TRAY_INDICATOR_H
