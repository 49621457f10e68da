#include "app/session_state.h"

#include <cstdio>

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

SessionState relaunchedSession(const SessionState& state) {
  SessionState next;
  next.launchedInSandbox = state.launchedInSandbox;
  next.driver = state.driver;
  next.driverPid = state.driverPid;
  next.driverStartTime = state.driverStartTime;
  next.waylandTold = state.waylandTold;
  return next;
}

std::string windowLogText(const WindowInfo& window) {
  if (window.windowsPid != 0) {
    char handle[24];
    std::snprintf(handle, sizeof handle, "0x%llx", static_cast<unsigned long long>(window.xid));
    return std::string("hwnd=") + handle + " winpid=" + std::to_string(window.windowsPid) + " title=\"" +
           logText(window.title) + "\"";
  }
  return "xid=" + std::to_string(window.xid) + " pid=" + std::to_string(window.pid) + " title=\"" +
         logText(window.title) + "\"";
}

}  // namespace cs
