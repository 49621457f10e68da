#include "launch/pending_sandbox_starts.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace cs {
namespace {

// A helper that says nothing by itself: what it says is written into its status pipe by the test.
struct Helper {
  test::Subprocess process{{"/bin/sleep", {"sleep", "60"}, {}, {}, {}}};
  FileDescriptor writeEnd;

  SandboxStart start(const std::string& appId) {
    int ends[2] = {-1, -1};
    EXPECT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    writeEnd = FileDescriptor(ends[1]);
    SandboxStart started;
    started.appId = appId;
    started.helperPid = process.pid();
    started.status = FileDescriptor(ends[0]);
    started.deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
    return started;
  }
  void say(const std::string& words) {
    EXPECT_EQ(write(writeEnd.get(), words.data(), words.size()), static_cast<ssize_t>(words.size()));
    writeEnd = FileDescriptor();
  }
};

TEST(PendingSandboxStarts, AStartedHelperIsItsSessionsOrAnOrphanAndAWaitingOneStaysUntilDropped) {
  Logger logger;
  std::vector<std::int32_t> orphans;
  PendingSandboxStarts starts(logger, orphans);
  Helper taken, untaken, waiting;
  starts.add("10", taken.start("10"), "Taken");
  starts.add("20", untaken.start("20"), "Untaken");
  starts.add("30", waiting.start("30"), "Waiting");
  taken.say("started\n");
  untaken.say("started\n");

  std::vector<std::pair<std::string, std::int32_t>> adopted;
  starts.service(
      [&](const std::string& appId, std::int32_t helperPid) {
        adopted.emplace_back(appId, helperPid);
        return appId == "10";
      },
      {});
  EXPECT_EQ(adopted, (std::vector<std::pair<std::string, std::int32_t>>{{"10", taken.process.pid()},
                                                                         {"20", untaken.process.pid()}}));
  EXPECT_EQ(orphans, std::vector<std::int32_t>{untaken.process.pid()});

  // Settled starts are gone: dropping their AppIDs orphans nothing twice.
  starts.drop("10");
  starts.drop("20");
  starts.drop("30");
  EXPECT_EQ(orphans, (std::vector<std::int32_t>{untaken.process.pid(), waiting.process.pid()}));
}

TEST(PendingSandboxStarts, AFailedStartIsReportedWithItsWindowTitleAndItsHelperOrphaned) {
  Logger logger;
  std::vector<std::int32_t> orphans;
  PendingSandboxStarts starts(logger, orphans);
  Helper helper;
  starts.add("10", helper.start("10"), "The Game");
  helper.say("fail\tno-context\n");

  std::vector<LaunchFailure> reported;
  starts.service([](const std::string&, std::int32_t) { return true; },
                 [&](const LaunchFailure& failure) { reported.push_back(failure); });
  ASSERT_EQ(reported.size(), 1U);
  EXPECT_EQ(reported[0].kind, LaunchFailureKind::NoContext);
  EXPECT_EQ(reported[0].windowTitle, "The Game");
  EXPECT_EQ(orphans, std::vector<std::int32_t>{helper.process.pid()});
}

TEST(PendingSandboxStarts, ADescriptorIsUnwatchedOnceWhenItsPipeEndsOrItsStartIsDropped) {
  Logger logger;
  std::vector<std::int32_t> orphans;
  PendingSandboxStarts starts(logger, orphans);
  std::vector<int> watched;
  std::vector<std::uint32_t> unwatched;
  starts.setDescriptorWatch(
      [&](int fd) {
        watched.push_back(fd);
        return static_cast<std::uint32_t>(watched.size());
      },
      [&](std::uint32_t id) { unwatched.push_back(id); });
  Helper ending, dropped;
  SandboxStart endingStart = ending.start("10");
  const int endingFd = endingStart.status.get();
  starts.add("10", std::move(endingStart), "");
  starts.add("20", dropped.start("20"), "");
  ASSERT_EQ(watched.size(), 2U);
  EXPECT_EQ(watched[0], endingFd);

  // A pipe that ended without a word, from a helper still running, stays readable: it waits for the pass, unwatched.
  ending.say("");
  starts.service([](const std::string&, std::int32_t) { return true; }, {});
  EXPECT_EQ(unwatched, std::vector<std::uint32_t>{1});
  EXPECT_TRUE(orphans.empty());

  starts.drop("10");
  starts.drop("20");
  EXPECT_EQ(unwatched, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(orphans, (std::vector<std::int32_t>{ending.process.pid(), dropped.process.pid()}));
}

}  // namespace
}  // namespace cs
