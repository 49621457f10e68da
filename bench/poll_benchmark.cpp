// Prints what one idle poll costs: the launcher runs a pass every second all day, so a pass must stay a small
// fraction of a second of one core. Measures the pass's parts on this machine's real /proc (optionally crowded
// with extra processes that carry desktop-sized environments) and, when DISPLAY names a server, its window scan.
//
//   poll_benchmark [passes=200] [extra processes=0]
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/proton_monitor.h"
#include "proc/process_snapshot.h"
#include "steam/proton_processes.h"
#include "steam/steam_launch.h"
#include "x11/window_scanner.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double medianMs = 0;
  double p95Ms = 0;
};

Figures measure(int passes, const std::function<void()>& work) {
  std::vector<double> ms;
  ms.reserve(static_cast<std::size_t>(passes));
  for (int i = 0; i < passes; ++i) {
    const auto start = Clock::now();
    work();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)]};
}

void report(const char* what, const Figures& f) {
  std::printf("%-46s median %8.3f ms   p95 %8.3f ms   (%.2f%% of a core at one pass a second)\n", what, f.medianMs,
              f.p95Ms, f.medianMs / 10.0);
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<pid_t> crowd(int count) {
  std::vector<pid_t> pids;
  std::vector<std::string> env;
  for (int i = 0; i < 60; ++i) env.push_back("DESKTOP_VARIABLE_" + std::to_string(i) + "=" + std::string(60, 'x'));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string sleep = "/bin/sleep";
  std::string seconds = "3600";
  char* argv[] = {sleep.data(), seconds.data(), nullptr};
  for (int i = 0; i < count; ++i) {
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, envp.data()) == 0) pids.push_back(pid);
  }
  return pids;
}

}  // namespace

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const int extra = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;
  const std::vector<pid_t> crowdPids = crowd(extra);

  const cs::ProcessSnapshot sample = cs::scanProcesses();
  std::printf("%zu processes of this user in /proc (%d extra started), %d passes each\n", sample.processes.size(),
              extra, passes);

  report("scanProcesses", measure(passes, [] { (void)cs::scanProcesses(); }));
  report("steamLaunchAppIds on a snapshot", measure(passes, [&] { (void)cs::steamLaunchAppIds(sample); }));
  report("protonProcessPidsForAppId on a snapshot",
         measure(passes, [&] { (void)cs::protonProcessPidsForAppId(sample, "730"); }));

  const cs::X11WindowScanner scanner;
  if (scanner.available()) {
    std::printf("%zu top-level windows with a pid on %s\n", scanner.scan().size(), std::getenv("DISPLAY"));
    report("X11WindowScanner::scan", measure(passes, [&] { (void)scanner.scan(); }));
  } else {
    std::printf("no X display: the window scan is not measured\n");
  }

  // The whole idle pass, as the timer runs it: no game, so nothing is logged.
  cs::ProtonMonitor monitor;
  const double cpuBefore = cpuSeconds();
  const auto wallBefore = Clock::now();
  const Figures idle = measure(passes, [&] { monitor.poll(); });
  const double cpu = cpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  report("ProtonMonitor::poll, idle", idle);
  std::printf("CPU time per idle pass: %.3f ms (wall %.3f ms)\n", cpu * 1000.0 / passes, wall * 1000.0 / passes);

  for (pid_t pid : crowdPids) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return 0;
}
