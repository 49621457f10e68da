#include "app/session_state.h"

#include "common/text.h"

namespace cs {

bool shouldLaunchCursello(SessionPhase phase, bool protonSeen, bool readyWindowFound) {
  return phase == SessionPhase::Waiting && protonSeen && readyWindowFound;
}

bool isDifferentLaunchedWindow(const SessionState& state, const WindowInfo& window) {
  if (state.launchedWindowXid == 0) return false;
  return window.xid != state.launchedWindowXid || window.pid != state.launchedWindowPid;
}

std::string windowLogText(const WindowInfo& window) {
  return "xid=" + std::to_string(window.xid) + " pid=" + std::to_string(window.pid) + " title=\"" +
         logText(window.title) + "\"";
}

}  // namespace cs
