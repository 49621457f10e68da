#include "proc/process_snapshot.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "proc/process_handle.h"
#include "tests/support/test_support.h"

namespace cs {
namespace {

using namespace std::string_literals;

std::string printable(const std::string& bytes) {
  std::string text;
  for (char c : bytes) text += c == '\0' ? "\\0"s : std::string(1, c);
  return "\"" + text + "\"";
}

std::string describe(const std::vector<std::string>& items) {
  std::string text = "{";
  for (const auto& item : items) text += printable(item) + " ";
  return text + "}";
}

// --- Pure parsers ---------------------------------------------------------------------------------------------

TEST(ProcessSnapshot, SplitNullSeparatedDropsEmptyItems) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
      {"", {}},
      {"\0"s, {}},
      {"\0\0\0"s, {}},
      {"a\0b\0"s, {"a", "b"}},
      {"a\0\0b"s, {"a", "b"}},
      {"\0a\0"s, {"a"}},
      {"abc"s, {"abc"}},
      {"a\0bc"s, {"a", "bc"}},
      {"x y\0z\0"s, {"x y", "z"}},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(splitNullSeparated(text), expected) << "text " << printable(text);
  }
}

TEST(ProcessSnapshot, ParseEnvironmentKeepsFirstOccurrenceAndOddNames) {
  const std::vector<std::string> items = {"A=1", "A=2", "NOEQUALS", "E=", "B=c=d", "=x", "=y", "E=late"};
  const Environment expected = {{"A", "1"}, {"E", ""}, {"B", "c=d"}, {"", "x"}};
  EXPECT_EQ(parseEnvironment(items), expected) << "items " << describe(items);
  EXPECT_TRUE(parseEnvironment({}).empty());
}

TEST(ProcessSnapshot, EnvValueTellsAnEmptyValueFromAnAbsentName) {
  ProcessInfo info;
  info.environment = test::environBytes({{"EMPTY", ""}, {"SET", "v"}});
  EXPECT_EQ(envValue(info, "EMPTY"), std::optional<std::string>(""));
  EXPECT_EQ(envValue(info, "SET"), std::optional<std::string>("v"));
  EXPECT_EQ(envValue(info, "ABSENT"), std::nullopt);
  EXPECT_EQ(envValue(info, "set"), std::nullopt);
}

// The in-place readers must answer exactly as the split, the join and the map they replace, on any bytes.
TEST(ProcessSnapshot, InPlaceReadersAgreeWithSplitJoinAndMap) {
  std::mt19937 random(7);
  const std::string alphabet = "AB=x\0"s;
  const std::vector<std::string> names = {"", "A", "B", "AB", "BA", "x"};
  for (int i = 0; i < 20000; ++i) {
    std::string bytes(random() % 12, ' ');
    for (char& c : bytes) c = alphabet[random() % alphabet.size()];
    const std::vector<std::string> items = splitNullSeparated(bytes);
    EXPECT_EQ(joinNullSeparated(bytes), joinArgs(items)) << "bytes " << printable(bytes);
    const Environment environment = parseEnvironment(items);
    for (const std::string& name : names) {
      const auto found = environment.find(name);
      const std::optional<std::string_view> expected =
          found == environment.end() ? std::nullopt : std::optional<std::string_view>(found->second);
      EXPECT_EQ(environmentValueIn(bytes, name), expected) << "bytes " << printable(bytes) << " name " << name;
    }
  }
}

TEST(ProcessSnapshot, ParentPidTakesTheFieldAfterTheLastParenthesis) {
  const std::vector<std::pair<std::string, std::optional<std::int32_t>>> rows = {
      {"123 (a) b) S 45 123 123 0 -1", 45},
      {"1 (init) S 0 1 1 0", 0},
      {"7 (with space) R 77 7", 77},
      {"7 ()) S 8 7", 8},
      {"7 (x) S 2147483647 1", 2147483647},
      {"7 (x) S 2147483648 1", std::nullopt},
      {"7 (x) S 99999999999999999999 1", std::nullopt},
      {"7 (x) S -1 1", -1},
      {"7 (x) S", std::nullopt},
      {"7 (x) S ", std::nullopt},
      {"7 (x) S abc", std::nullopt},
      {"7 (x) ", std::nullopt},
      {"7 (x)", std::nullopt},
      {"7 (x", std::nullopt},
      {"7 x S 45", std::nullopt},
      {"", std::nullopt},
      {")", std::nullopt},
      {"7 (x) S 12", 12},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(parentPidFromStat(text), expected) << "stat " << printable(text);
  }
}

// --- The ancestor walk on a hand-built snapshot -----------------------------------------------------------------

void add(std::vector<ProcessInfo>& processes, std::int32_t pid, std::int32_t parentPid) {
  ProcessInfo info;
  info.pid = pid;
  info.parentPid = parentPid;
  info.commandLine = "p" + std::to_string(pid);
  processes.push_back(info);
}

// Pids 1000..1099, each the child of the one before; 1000's parent is pid 1, which is not in the snapshot.
ProcessSnapshot longChain() {
  std::vector<ProcessInfo> processes;
  for (std::int32_t pid = 1000; pid < 1100; ++pid) add(processes, pid, pid == 1000 ? 1 : pid - 1);
  return snapshotOf(processes);
}

TEST(ProcessSnapshot, AncestorWalkLooksAtSixtyFourPids) {
  const ProcessSnapshot snapshot = longChain();
  const std::int32_t start = 1099;
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, start, {start}));
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, start, {start - 1}));
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, start, {start - 63})) << "63rd ancestor";
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, start, {start - 64})) << "64th ancestor";
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, start, {start - 64, start - 63}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, start, {start + 1})) << "a descendant is no ancestor";
  // Near the top the walk reaches pid 1, outside the snapshot: it is tested, then the walk ends.
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, 1010, {1}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 1010, {0}));
}

TEST(ProcessSnapshot, AncestorWalkStopsAtUnknownAndInvalidPids) {
  std::vector<ProcessInfo> processes;
  add(processes, 10, 20);  // 20 is missing, as another user's process would be
  add(processes, 30, 31);  // 30 and 31 are each other's parent
  add(processes, 31, 30);
  add(processes, 40, -1);  // stat was unreadable
  add(processes, 50, 0);
  const ProcessSnapshot snapshot = snapshotOf(processes);

  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, 10, {20})) << "a missing parent is still tested";
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 10, {21}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 30, {32})) << "a cycle ends at the step limit";
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, 30, {31}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 40, {-1}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 50, {0}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 0, {0}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, -5, {-5}));
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, 777, {777})) << "a pid outside the snapshot is tested itself";
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 777, {10}));
  EXPECT_FALSE(isPidInSetOrDescendant(ProcessSnapshot{}, 10, {20}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, 10, {}));
}

// --- The snapshot of the real /proc -----------------------------------------------------------------------------

const ProcessInfo* find(const ProcessSnapshot& snapshot, std::int32_t pid) { return findProcess(snapshot, pid); }

// Waits until the pid shows up in a fresh snapshot and returns that snapshot.
ProcessSnapshot snapshotWith(std::int32_t pid) {
  ProcessSnapshot snapshot;
  test::waitUntil([&] {
    snapshot = scanProcesses();
    return find(snapshot, pid) != nullptr;
  });
  return snapshot;
}

TEST(ProcessSnapshot, ScanSatisfiesItsInvariantsAndHoldsThisProcess) {
  const ProcessSnapshot snapshot = scanProcesses();
  ASSERT_FALSE(snapshot.processes.empty());
  EXPECT_EQ(snapshot.indexByPid.size(), snapshot.processes.size());
  for (std::size_t i = 0; i < snapshot.processes.size(); ++i) {
    const ProcessInfo& info = snapshot.processes[i];
    EXPECT_GT(info.pid, 0);
    EXPECT_FALSE(info.commandLine.empty()) << "pid " << info.pid;
    EXPECT_EQ(find(snapshot, info.pid), &info) << "pid " << info.pid;
    // Nothing but the command line is read until a rule asks.
    EXPECT_FALSE(info.parentPid.has_value() || info.environment.has_value()) << "pid " << info.pid;
  }
  const ProcessInfo* self = find(snapshot, getpid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(parentPidOf(*self), getppid());
  EXPECT_NE(self->commandLine.find("proc_tests"), std::string::npos) << self->commandLine;
  EXPECT_EQ(readProcParentPid(getpid()), getppid());
  EXPECT_TRUE(isCurrentUserProcess(getpid()));
  EXPECT_FALSE(isCurrentUserProcess(0));
  EXPECT_FALSE(isCurrentUserProcess(-1));
  EXPECT_FALSE(readProcParentPid(-1).has_value());
}

TEST(ProcessSnapshot, ScanReadsCommandLineParentAndEnvironmentOfAChild) {
  struct Row {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string commandLine;
    Environment environment;
  };
  const std::vector<Row> rows = {
      {{"fake-game", "arg with spaces", "", "last", ""},
       {"DUP=first", "DUP=second", "=x", "A=", "B=c=d", "NOEQUALS", "PLAIN=value"},
       "fake-game arg with spaces last",
       {{"DUP", "first"}, {"", "x"}, {"A", ""}, {"B", "c=d"}, {"PLAIN", "value"}}},
      {{"", "", "/x/proton waitforexitandrun"},
       {},
       "/x/proton waitforexitandrun",
       {}},
  };
  std::vector<std::unique_ptr<test::Subprocess>> children;
  for (const Row& row : rows) {
    children.push_back(std::make_unique<test::Subprocess>(
        test::Subprocess::Options{test::fakeProcessBinary(), row.argv, row.env, std::nullopt, std::nullopt}));
    ASSERT_TRUE(children.back()->started()) << "argv " << describe(row.argv);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const std::int32_t pid = children[i]->pid();
    const ProcessSnapshot snapshot = snapshotWith(pid);
    const ProcessInfo* info = find(snapshot, pid);
    ASSERT_NE(info, nullptr) << "argv " << describe(row.argv);
    EXPECT_EQ(info->pid, pid);
    EXPECT_EQ(info->commandLine, row.commandLine) << "argv " << describe(row.argv);
    EXPECT_EQ(parentPidOf(*info), getpid()) << "argv " << describe(row.argv);
    EXPECT_EQ(environmentOf(*info), row.environment) << "env " << describe(row.env);
  }
}

TEST(ProcessSnapshot, AProcessThatEndsAfterTheScanLacksWhatWasNotReadYet) {
  auto child = std::make_unique<test::Subprocess>(
      test::Subprocess::Options{test::fakeProcessBinary(), {"ends-soon"}, {"SET=1"}, std::nullopt, std::nullopt});
  ASSERT_TRUE(child->started());
  const std::int32_t pid = child->pid();
  const ProcessSnapshot snapshot = snapshotWith(pid);
  child.reset();  // killed and reaped: /proc/<pid> is gone
  const ProcessInfo* info = find(snapshot, pid);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->commandLine, "ends-soon");
  EXPECT_EQ(parentPidOf(*info), -1);
  EXPECT_EQ(envValue(*info, "SET"), std::nullopt);
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, pid, {getpid()}));
}

// Any process can make its command line and environment a gigabyte long without touching that memory. The scan
// and the later reads take at most their caps, keep no buffer past them, and never take a cut line as whole.
TEST(ProcessSnapshot, AGigabyteCommandLineAndEnvironmentAreReadNoFurtherThanTheirCaps) {
  const test::TempDir dir;
  const std::filesystem::path ready = dir.path() / "ready";
  auto child = std::make_unique<test::Subprocess>(test::Subprocess::Options{
      test::fakeProcessBinary(),
      {"reaper", "SteamLaunch", "AppId=570"},
      {"FAKE_HUGE_ARGS=1024", "FAKE_READY_FILE=" + ready.string(), "STEAM_COMPAT_DATA_PATH=/s/steamapps/compatdata/570"},
      std::nullopt,
      std::nullopt});
  ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(ready); }))
      << "the stand-in could not grow its lines";
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const ProcessSnapshot snapshot = snapshotWith(child->pid());
  const ProcessInfo* info = find(snapshot, child->pid());
  ASSERT_NE(info, nullptr) << "a process with a long line still has its place in the tree";
  EXPECT_TRUE(info->commandLineTooLong);
  EXPECT_EQ(info->commandLine, "");
  EXPECT_EQ(envValue(*info, "STEAM_COMPAT_DATA_PATH"), std::nullopt);
  EXPECT_TRUE(info->environmentTooLong);
  EXPECT_EQ(parentPidOf(*info), getpid());
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  // Reading either line whole would take a gigabyte; the caps take a few hundred kilobytes.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB more at the peak";
}

// A pid passes to another process between the scan and a later read: what is read then is nothing, never the
// new process's bytes in the place of the first one's.
TEST(ProcessSnapshot, APidThatPassedToAnotherProcessGivesNothingMore) {
  auto first = std::make_unique<test::Subprocess>(test::Subprocess::Options{
      test::fakeProcessBinary(), {"first"}, {"WHO=first"}, std::nullopt, std::nullopt});
  const std::int32_t pid = first->pid();
  const ProcessSnapshot snapshot = snapshotWith(pid);
  const ProcessInfo* info = find(snapshot, pid);
  ASSERT_NE(info, nullptr);
  const std::uint64_t started = startTimeOf(*info);
  EXPECT_GT(started, 0u);
  EXPECT_TRUE(ProcessHandle::open(pid, started).ok());
  first.reset();
  // The kernel hands out the pid after the last one given: as root, ask for this one again.
  std::unique_ptr<test::Subprocess> second;
  for (int attempt = 0; attempt < 50 && !second; ++attempt) {
    test::writeFile("/proc/sys/kernel/ns_last_pid", std::to_string(pid - 1));
    auto candidate = std::make_unique<test::Subprocess>(test::Subprocess::Options{
        test::fakeProcessBinary(), {"second"}, {"WHO=second"}, std::nullopt, std::nullopt});
    if (candidate->pid() == pid) second = std::move(candidate);
  }
  if (!second) GTEST_SKIP() << "the pid could not be given to a new process (not root, or a busy machine)";
  ASSERT_TRUE(test::waitUntil([&] { return readFile("/proc/" + std::to_string(pid) + "/cmdline").starts_with("second"); }));
  EXPECT_FALSE(ProcessHandle::open(pid, started).ok());
  EXPECT_EQ(envValue(*info, "WHO"), std::nullopt);
  EXPECT_EQ(startTimeOf(*info), started) << "the pass keeps the start time it read first";
}

TEST(ProcessSnapshot, ScanLeavesOutZombies) {
  // A child that has exited but is not reaped yet keeps its /proc entry with an empty cmdline.
  test::Subprocess child({test::fakeProcessBinary(), {"short-lived"}, {"FAKE_EXIT_AFTER_MS=0"}, {}, {}});
  ASSERT_TRUE(child.started());
  const std::int32_t pid = child.pid();
  const std::filesystem::path stat = "/proc/" + std::to_string(pid) + "/stat";
  ASSERT_TRUE(test::waitUntil([&] { return readFile(stat).find(") Z ") != std::string::npos; }))
      << readFile(stat);
  EXPECT_TRUE(isCurrentUserProcess(pid));
  EXPECT_EQ(find(scanProcesses(), pid), nullptr);
}

TEST(ProcessSnapshot, ChainOfDescendantsIsFoundFromItsRoot) {
  const test::TempDir dir;
  const std::filesystem::path ready = dir.path() / "ready";
  std::vector<std::string> env = {"FAKE_CHILD_CHAIN=3", "FAKE_READY_FILE=" + ready.string()};
  test::Subprocess root({test::fakeProcessBinary(), {"chain-root"}, env, {}, {}});
  ASSERT_TRUE(root.started());
  ASSERT_TRUE(test::waitUntil([&] { return !test::slurp(ready).empty(); }));
  std::int32_t leaf = -1;
  std::istringstream(test::slurp(ready)) >> leaf;
  ASSERT_GT(leaf, 0);

  const ProcessSnapshot snapshot = snapshotWith(leaf);
  // leaf -> two middle processes -> root -> this test.
  std::vector<std::int32_t> line = {leaf};
  for (int i = 0; i < 4; ++i) {
    const ProcessInfo* info = find(snapshot, line.back());
    ASSERT_NE(info, nullptr) << "pid " << line.back();
    EXPECT_EQ(info->commandLine, "chain-root");
    line.push_back(parentPidOf(*info));
  }
  EXPECT_EQ(line[3], root.pid());
  EXPECT_EQ(line[4], getpid());

  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, leaf, {root.pid()}));
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, leaf, {line[2]}));
  EXPECT_TRUE(isPidInSetOrDescendant(snapshot, leaf, {getpid()}));
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, root.pid(), {leaf})) << "the walk goes up only";
  EXPECT_FALSE(isPidInSetOrDescendant(snapshot, getpid(), {root.pid()}));
}

TEST(ProcessSnapshot, ScanLeavesOutOtherUsersProcesses) {
  if (getuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  const std::filesystem::path setpriv = "/usr/bin/setpriv";
  if (!pathExists(setpriv)) GTEST_SKIP() << "no " << setpriv;
  const std::string program = test::fakeProcessBinary().string();
  test::Subprocess other({setpriv,
                          {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", program, "other-user"},
                          {},
                          {},
                          {}});
  ASSERT_TRUE(other.started());
  const std::int32_t pid = other.pid();
  // setpriv changes its ids and then execs; once the command line is the program's, the switch is done.
  const std::filesystem::path cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
  ASSERT_TRUE(test::waitUntil([&] { return readFile(cmdline) == program + "\0other-user\0"s; }))
      << printable(readFile(cmdline));
  // The process is there and readable, just not ours.
  EXPECT_TRUE(pathExists("/proc/" + std::to_string(pid)));
  EXPECT_FALSE(isCurrentUserProcess(pid));
  EXPECT_EQ(find(scanProcesses(), pid), nullptr);
}

}  // namespace
}  // namespace cs
