// Where a game lives, judged of real processes: ours, one with a /tmp of its own, and one that has ended.
#include "sandbox/game_namespaces.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace cs::test {
namespace {

TEST(GameNamespaces, TmpIsSharedOnlyWithoutAPrivateMount) {
  EXPECT_EQ(sharesLauncherTmp(getpid()), std::optional<bool>(true));

  // A process with its own /tmp, as a Flatpak or Snap sandbox gives one. It reports through a file opened before
  // the mount hides the test's temporary directory.
  TempDir dir;
  const std::filesystem::path ready = dir.path() / "ready";
  Subprocess sandboxed(
      {.program = programInPath("unshare"),
       .argv = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                "exec 3>" + ready.string() + " && mount -t tmpfs none /tmp && echo >&3 && exec sleep 60 3>&-"},
       .env = currentEnvironment(),
       .output = std::nullopt,
       .workingDir = std::nullopt});
  ASSERT_TRUE(waitUntil([&] { return !slurp(ready).empty(); })) << "the sandbox did not start";
  EXPECT_EQ(sharesLauncherTmp(sandboxed.pid()), std::optional<bool>(false));

  sandboxed.kill();
  EXPECT_EQ(sharesLauncherTmp(sandboxed.pid()), std::nullopt);
}

}  // namespace
}  // namespace cs::test
