#include "launch/pending_sandbox_starts.h"

#include <chrono>
#include <iterator>
#include <utility>

namespace cs {

PendingSandboxStarts::PendingSandboxStarts(Logger& log, std::vector<std::int32_t>& orphanedHelpers)
    : logger(log), orphans(orphanedHelpers) {}

void PendingSandboxStarts::setDescriptorWatch(std::function<std::uint32_t(int)> watch,
                                              std::function<void(std::uint32_t)> unwatch) {
  watchDescriptor = std::move(watch);
  unwatchDescriptor = std::move(unwatch);
}

void PendingSandboxStarts::add(const std::string& appId, SandboxStart start, std::string windowTitle) {
  // The helper's word comes when it comes; the main loop reads it as it arrives, and the pass if nothing watches.
  Pending& pending = starts[appId] = Pending{std::move(start), std::move(windowTitle), 0};
  if (watchDescriptor) pending.watchId = watchDescriptor(pending.start.status.get());
}

void PendingSandboxStarts::service(const Adopt& adopt, const LaunchFailureReporter& report) {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = starts.begin(); it != starts.end();) {
    Pending& pending = it->second;
    const SandboxStartState outcome = advanceSandboxStart(pending.start, logger, now);
    if (outcome == SandboxStartState::Waiting) {
      // An ended pipe stays readable: what is left (the helper's exit status, the deadline) waits for the pass.
      if (pending.start.ended && pending.watchId != 0 && unwatchDescriptor) {
        unwatchDescriptor(pending.watchId);
        pending.watchId = 0;
      }
      ++it;
      continue;
    }
    if (outcome == SandboxStartState::Started) {
      // A helper its session took is waited for there, never as an orphan.
      if (adopt(it->first, pending.start.helperPid)) pending.start.reaped = true;
    } else if (outcome == SandboxStartState::Failed && report && pending.start.failure) {
      LaunchFailure failure = *pending.start.failure;
      failure.windowTitle = pending.windowTitle;
      report(failure);
    }
    const auto next = std::next(it);
    drop(it);
    it = next;
  }
}

void PendingSandboxStarts::drop(const std::string& appId) {
  if (const auto it = starts.find(appId); it != starts.end()) drop(it);
}

void PendingSandboxStarts::drop(std::map<std::string, Pending>::iterator it) {
  Pending& pending = it->second;
  if (pending.watchId != 0 && unwatchDescriptor) unwatchDescriptor(pending.watchId);
  // Its helper, still to be reaped, goes to the orphans.
  if (!pending.start.reaped) orphans.push_back(pending.start.helperPid);
  starts.erase(it);
}

}  // namespace cs
