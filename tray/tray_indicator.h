// The status-area indicator: the launcher's only user interface.
#ifndef CS_TRAY_TRAY_INDICATOR_H
#define CS_TRAY_TRAY_INDICATOR_H

#include <functional>

namespace cs {

struct PrivateDir;

// Writes the icon into iconDir (when it is ok), shows the indicator with its tooltip and its one item, "Quit",
// which calls onQuit and then ends the GTK main loop; what onQuit refers to must outlive the main loop. Where the
// indicator's library cannot be loaded, logs why and shows nothing.
void setupTray(std::function<void()> onQuit, const PrivateDir& iconDir);

}  // namespace cs

#endif  // CS_TRAY_TRAY_INDICATOR_H
