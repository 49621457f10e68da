// The starts inside games' sandboxes whose helper has not yet told how they went.
#ifndef CS_LAUNCH_PENDING_SANDBOX_STARTS_H
#define CS_LAUNCH_PENDING_SANDBOX_STARTS_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/logger.h"
#include "launch/launch_failure.h"
#include "launch/sandboxed_launch.h"

namespace cs {

// Holds each start, by AppID, until its helper has told how it went: until then the helper's pid is the start's,
// not a session's child. A helper whose start is forgotten before it was waited for goes to the orphans, which the
// owner reaps. The logger and the orphans must outlive the starts.
class PendingSandboxStarts {
 public:
  // Told a settled start that came up: takes the helper as the companion of appId's session and returns true, or
  // returns false when there is no session to take it.
  using Adopt = std::function<bool(const std::string& appId, std::int32_t helperPid)>;

  PendingSandboxStarts(Logger& log, std::vector<std::int32_t>& orphanedHelpers);
  PendingSandboxStarts(const PendingSandboxStarts&) = delete;
  PendingSandboxStarts& operator=(const PendingSandboxStarts&) = delete;

  // Sets how the status descriptor of a start is watched: watch(fd) returns an id, and service is to be called when
  // the descriptor becomes readable until unwatch(id). Unset, the starts are followed when service is called only.
  void setDescriptorWatch(std::function<std::uint32_t(int)> watch, std::function<void(std::uint32_t)> unwatch);
  // Holds appId's start, with the title of the game's window for a failure to name, and watches its descriptor.
  void add(const std::string& appId, SandboxStart start, std::string windowTitle);
  // Reads, without waiting, what the helpers said, and settles those it can: a start that came up is offered to
  // adopt, a failed one is told to report (when set) with its window's title; either is forgotten then.
  void service(const Adopt& adopt, const LaunchFailureReporter& report);
  // Forgets appId's start, if there is one.
  void drop(const std::string& appId);

 private:
  struct Pending {
    SandboxStart start;
    std::string windowTitle;
    std::uint32_t watchId = 0;  // 0: not watched
  };

  void drop(std::map<std::string, Pending>::iterator it);

  Logger& logger;
  std::vector<std::int32_t>& orphans;
  std::map<std::string, Pending> starts;
  std::function<std::uint32_t(int)> watchDescriptor;
  std::function<void(std::uint32_t)> unwatchDescriptor;
};

}  // namespace cs

#endif  // CS_LAUNCH_PENDING_SANDBOX_STARTS_H
