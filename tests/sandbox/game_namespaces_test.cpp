// Where a game lives, judged of real processes: ours, one with a /tmp of its own, and one that has ended; and the
// texts that anyone may read of a process whose root is hidden.
#include "sandbox/game_namespaces.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace cs::test {
namespace {

TEST(GameNamespaces, TmpIsSharedOnlyWithoutAPrivateMount) {
  EXPECT_EQ(sharesLauncherTmp(ProcessHandle::open(getpid())), std::optional<bool>(true));
  EXPECT_EQ(judgeGamePlace(ProcessHandle::open(getpid())), GamePlace::Host);

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
  const ProcessHandle handle = ProcessHandle::open(sandboxed.pid());
  EXPECT_EQ(sharesLauncherTmp(handle), std::optional<bool>(false));
  EXPECT_EQ(judgeGamePlace(handle), GamePlace::Sandboxed);
  // Root may enter it; only its mount namespace is to be entered.
  const JoinVerdict verdict = planJoin(handle);
  EXPECT_TRUE(verdict.plan && verdict.plan->mount.get() >= 0 && verdict.plan->pid.get() < 0 &&
              verdict.plan->outerUser.get() < 0);

  sandboxed.kill();
  EXPECT_EQ(sharesLauncherTmp(handle), std::nullopt);
  EXPECT_EQ(judgeGamePlace(handle), GamePlace::Uncompared);
  EXPECT_EQ(planJoin(handle).obstacle, JoinObstacle::Unreadable);
}

TEST(GameNamespaces, TmpLiesWhereTheLongestLastMountThatHoldsItSays) {
  const std::string root = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  EXPECT_EQ(placeInMountTable(root, "/tmp"), (MountedPlace{"8:1", "/tmp"}));
  // A tmpfs of its own, then our /tmp bound over it, as a container of the Steam Linux Runtime binds it.
  const std::string own = root + "36 22 0:32 / /tmp rw - tmpfs tmpfs rw\n";
  EXPECT_EQ(placeInMountTable(own, "/tmp"), (MountedPlace{"0:32", "/"}));
  EXPECT_EQ(placeInMountTable(own + "40 36 8:1 /tmp /tmp rw - ext4 /dev/sda1 rw\n", "/tmp"),
            (MountedPlace{"8:1", "/tmp"}));
  // A mount point that merely starts like the path does not hold it; escapes are undone.
  EXPECT_EQ(placeInMountTable(root + "37 22 0:33 / /tm rw - tmpfs t rw\n", "/tmp"), (MountedPlace{"8:1", "/tmp"}));
  EXPECT_EQ(placeInMountTable(root + "38 22 8:1 /a\\040b /tmp rw - ext4 x rw\n", "/tmp"),
            (MountedPlace{"8:1", "/a b"}));
  EXPECT_EQ(placeInMountTable("garbage\n", "/tmp"), std::nullopt);
}

TEST(GameNamespaces, APlaceIsJudgedOncePerNamespace) {
  // A sandbox that drops its own /tmp when told (SIGUSR1): judged afresh it would then look native.
  TempDir dir;
  const std::filesystem::path ready = dir.path() / "ready";
  Subprocess sandboxed(
      {.program = programInPath("unshare"),
       .argv = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                "exec 3>" + ready.string() + " && mount -t tmpfs none /tmp && trap 'umount /tmp && echo 2 >&3' USR1 "
                "&& echo 1 >&3 && while :; do sleep 0.05; done"},
       .env = currentEnvironment(),
       .output = std::nullopt,
       .workingDir = std::nullopt});
  ASSERT_TRUE(waitUntil([&] { return slurp(ready) == "1\n"; })) << "the sandbox did not start";
  const ProcessHandle handle = ProcessHandle::open(sandboxed.pid());
  PlaceJudge judge;
  EXPECT_EQ(judge.placeOf(handle), GamePlace::Sandboxed);
  sandboxed.signal(SIGUSR1);
  ASSERT_TRUE(waitUntil([&] { return slurp(ready) == "1\n2\n"; })) << "the sandbox kept its /tmp";
  EXPECT_EQ(judgeGamePlace(handle), GamePlace::Host);
  EXPECT_EQ(judge.placeOf(handle), GamePlace::Sandboxed);
}

TEST(GameNamespaces, NoPlanEntersPidsOfItsOwnWithoutTheirMounts) {
  // A wine started there would run the host's files under the paths the sandbox named.
  Subprocess wrapper({.program = programInPath("unshare"),
                      .argv = {"unshare", "--pid", "--fork", "sleep", "60"},
                      .env = currentEnvironment(),
                      .output = std::nullopt,
                      .workingDir = std::nullopt});
  const std::string children =
      "/proc/" + std::to_string(wrapper.pid()) + "/task/" + std::to_string(wrapper.pid()) + "/children";
  ASSERT_TRUE(waitUntil([&] { return !slurp(children).empty(); })) << "the sandbox did not start";
  const ProcessHandle sandboxed = ProcessHandle::open(std::stoi(slurp(children)));
  EXPECT_EQ(judgeGamePlace(sandboxed), GamePlace::Sandboxed);
  EXPECT_EQ(planJoin(sandboxed).obstacle, JoinObstacle::SharedMounts);
}

TEST(GameNamespaces, WhatAnyoneMayReadOfAHiddenProcess) {
  EXPECT_EQ(nsPidCount("Name:\tgame.exe\nNSpid:\t48213\t7\nNSpgid:\t1\n"), 2);
  EXPECT_EQ(nsPidCount("NSpid:\t4821"), 1);
  EXPECT_EQ(nsPidCount("Name:\tx\nNSpgid:\t1\t2\nNSpid:"), 0);
  EXPECT_TRUE(inSandboxScope("0::/user.slice/user@1000.service/app.slice/app-flatpak-com.valvesoftware.Steam-42.scope"));
  EXPECT_TRUE(inSandboxScope("0::/user.slice/user@1000.service/app.slice/snap.steam.steam-0b1c.scope\n"));
  EXPECT_FALSE(inSandboxScope("0::/user.slice/user@1000.service/app.slice/app-steam-4242.scope\n"));
}

TEST(GameNamespaces, TheSnapsNameComesFromItsScope) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {"0::/user.slice/user@1000.service/app.slice/snap.steam.steam-0b1c.scope\n", "steam"},
      {"12:pids:/\n1:name=systemd:/snap.my-app2.daemon\n0::/", "my-app2"},
      {"0::/user.slice/user@1000.service/app.slice/app-flatpak-com.valvesoftware.Steam-42.scope\n", std::nullopt},
      {"0::/app.slice/snap.Steam.x.scope", std::nullopt},
      {"0::/app.slice/snap.ste\nam.x.scope\n0::/snap.steam", std::nullopt},
      {"0::/snap..x/snap." + std::string(41, 'a') + ".x/snap.ok.y", "ok"},
  };
  for (const auto& [text, name] : rows) EXPECT_EQ(snapNameFromCgroup(text), name) << "cgroup \"" << text << "\"";
}

}  // namespace
}  // namespace cs::test
