#include "app/session_state.h"

#include "common/text.h"

namespace cs {

bool shouldLaunchCursello(SessionPhase phase, bool protonSeen, bool readyWindowFound) {
  return phase == SessionPhase::Waiting && protonSeen && readyWindowFound;
}

std::int32_t countMissingWindowPolls(const SessionState& state, std::optional<bool> windowSeen) {
  if (!windowSeen) return state.missingWindowPolls;
  return state.phase == SessionPhase::Launched && state.childGone && !*windowSeen ? state.missingWindowPolls + 1 : 0;
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
