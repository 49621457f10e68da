// The launcher installed as a desktop program: the tree its install rules write, the Debian package, the package
// installed on this system and serving a game, and the per-user install with its uninstall.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "tests/support/session_bus.h"
#include "tests/support/steam_desktop.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

// Every file and link below root, as paths relative to it; with directories too when withDirs is true.
std::set<std::string> treeOf(const fs::path& root, bool withDirs = false) {
  std::set<std::string> paths;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (withDirs || !it->is_directory() || it->is_symlink()) paths.insert(it->path().lexically_relative(root).string());
  }
  return paths;
}

// The value of `key` in a desktop entry's text.
std::string entryValue(const std::string& entry, const std::string& key) {
  const auto at = entry.find("\n" + key + "=");
  if (at == std::string::npos) return {};
  const auto start = at + key.size() + 2;
  return entry.substr(start, entry.find('\n', start) - start);
}

CommandResult validateEntries(const std::vector<fs::path>& entries) {
  std::vector<std::string> argv = {"desktop-file-validate"};
  for (const auto& entry : entries) argv.push_back(entry.string());
  return runCommand(argv);
}

TEST(InstallTree, HoldsTheProgramDirectoryTheLinkBothEntriesAndTheIconOnly) {
  const TempDir dest;
  const auto install = runCommand({"cmake", "--install", CS_BUILD_DIR, "--prefix", "/usr/local"},
                                  withVariable(currentEnvironment(), "DESTDIR", dest.path().string()));
  ASSERT_EQ(install.status, 0) << install.output;
  // No test, benchmark or helper; the autostart entry where sessions look, not under the prefix's etc.
  EXPECT_EQ(
      treeOf(dest.path()),
      (std::set<std::string>{"etc/xdg/autostart/CurselloLinuxLauncher.desktop", "usr/local/bin/CurselloLinuxLauncher",
                             "usr/local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher",
                             "usr/local/share/applications/CurselloLinuxLauncher.desktop",
                             "usr/local/share/icons/hicolor/32x32/apps/CurselloLinuxLauncher.png",
                             "usr/local/share/metainfo/CurselloLinuxLauncher.metainfo.xml"}));
  EXPECT_EQ(fs::read_symlink(dest.path() / "usr/local/bin/CurselloLinuxLauncher"),
            "../lib/CurselloLinuxLauncher/CurselloLinuxLauncher");
  const auto valid = validateEntries({dest.path() / "etc/xdg/autostart/CurselloLinuxLauncher.desktop",
                                      dest.path() / "usr/local/share/applications/CurselloLinuxLauncher.desktop"});
  EXPECT_EQ(valid.status, 0) << valid.output;
  EXPECT_EQ(valid.output, "");
}

TEST(DebianPackage, CarriesTheSystemTreeAndDependsOnItsLibraries) {
  const auto contents = runCommand({"dpkg-deb", "--contents", CS_PACKAGE_FILE});
  ASSERT_EQ(contents.status, 0) << contents.output;
  for (const std::string file :
       {" ./usr/lib/CurselloLinuxLauncher/CurselloLinuxLauncher\n",
        " ./usr/bin/CurselloLinuxLauncher -> ../lib/CurselloLinuxLauncher/CurselloLinuxLauncher\n",
        " ./usr/share/applications/CurselloLinuxLauncher.desktop\n",
        " ./etc/xdg/autostart/CurselloLinuxLauncher.desktop\n",
        " ./usr/share/icons/hicolor/32x32/apps/CurselloLinuxLauncher.png\n",
        " ./usr/share/doc/cursello-linux-launcher/copyright\n",
        " ./usr/share/doc/cursello-linux-launcher/changelog.gz\n"}) {
    EXPECT_NE(contents.output.find(file), std::string::npos) << file << "in\n" << contents.output;
  }
  const auto depends = runCommand({"dpkg-deb", "--field", CS_PACKAGE_FILE, "Depends"});
  for (const std::string library : {"libgtk-3-0 ", "libayatana-appindicator3-1 ", "libx11-6"}) {
    EXPECT_NE(depends.output.find(library), std::string::npos) << library << "in " << depends.output;
  }
}

TEST(DebianPackage, LintianReportsNoError) {
  const auto lint = runCommand({"lintian", "--fail-on", "error", CS_PACKAGE_FILE});
  EXPECT_EQ(lint.status, 0) << lint.output;
}

// Cursello.exe belongs to no package: without its removal the purge would leave the program directory.
CommandResult purgePackage() {
  std::error_code ec;
  fs::remove("/usr/lib/CurselloLinuxLauncher/Cursello.exe", ec);
  return runCommand({"apt-get", "purge", "-y", "-q", "cursello-linux-launcher"});
}

TEST(SystemInstall, PackageFromAptServesAGameFromPathAndPurgesWithoutTrace) {
  if (getuid() != 0) GTEST_SKIP() << "installs into /usr: needs root";
  XServer x;
  SessionBus bus;
  ASSERT_TRUE(x.ok() && bus.ok() && bus.startTrayWatcher()) << x.diagnostics() << bus.diagnostics();
  const fs::path programDir = "/usr/lib/CurselloLinuxLauncher";
  // Also when an assertion ends the test early.
  struct Purge {
    ~Purge() { purgePackage(); }
  } purge;
  const auto env = withVariable(currentEnvironment(), "DEBIAN_FRONTEND", "noninteractive");
  const auto install = runCommand({"apt-get", "install", "-y", "-q", CS_PACKAGE_FILE}, env);
  ASSERT_EQ(install.status, 0) << install.output;
  // What the package put there, directories shared with other packages left out.
  std::vector<fs::path> owned = {programDir, "/usr/share/doc/cursello-linux-launcher"};
  std::istringstream listed(runCommand({"dpkg-query", "--listfiles", "cursello-linux-launcher"}).output);
  for (std::string line; std::getline(listed, line);) {
    if (fs::is_symlink(line) || fs::is_regular_file(line)) owned.push_back(line);
  }
  ASSERT_GE(owned.size(), 9u);

  {
    SteamDesktop desktop(x.display(), bus.address());
    const fs::path proton = desktop.installProton("Proton 9.0");
    desktop.makeCompatData("730");
    writeFile(programDir / "Cursello.exe", "MZ stand-in for Cursello.exe\n");
    const fs::path program = programInPath("CurselloLinuxLauncher");
    ASSERT_EQ(program, "/usr/bin/CurselloLinuxLauncher");
    desktop.startInstalledLauncher(program);
    desktop.startSteamLaunch("730", proton, {});
    desktop.startGame("730", proton, "Game 730");
    ASSERT_TRUE(desktop.waitForLog("Launched Cursello for AppID 730 with child pid ")) << slurp(desktop.logFile());
    const auto pids = desktop.companionPids();
    ASSERT_EQ(pids.size(), 1u);
    ASSERT_TRUE(waitUntil([&] { return desktop.companionArgs(pids[0]).size() == 5; }));
    EXPECT_EQ(desktop.companionArgs(pids[0])[1], (programDir / "Cursello.exe").string());
  }

  const auto purged = purgePackage();
  EXPECT_EQ(purged.status, 0) << purged.output;
  EXPECT_NE(runCommand({"dpkg-query", "--status", "cursello-linux-launcher"}).status, 0) << "still known to dpkg";
  for (const auto& path : owned) {
    std::error_code ec;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path, ec))) << path << " is left";
  }
}

TEST(UserInstall, InstallsUnderTheHomeAndUninstallsExactlyThat) {
  const TempDir tmp;
  const fs::path home = tmp.path() / "home";
  const fs::path data = tmp.path() / "data";  // XDG_DATA_HOME; the config home is the default ~/.config
  writeFile(home / ".local/share/applications/mine.desktop", "[Desktop Entry]\n");
  writeFile(tmp.path() / "Cursello.exe", "MZ stand-in for Cursello.exe\n");
  const auto before = treeOf(tmp.path(), true);
  auto env = withVariable(currentEnvironment(), "HOME", home.string());
  env = withVariable(withVariable(env, "XDG_DATA_HOME", data.string()), "CS_BUILD_DIR", CS_PACKAGE_BUILD_DIR);
  env = withoutVariable(env, "XDG_CONFIG_HOME");
  const std::string script = std::string(CS_SOURCE_DIR) + "/scripts/install";

  const auto install = runCommand({script, (tmp.path() / "Cursello.exe").string()}, env);
  ASSERT_EQ(install.status, 0) << install.output;
  const fs::path program = home / ".local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher";
  EXPECT_EQ(access(program.c_str(), X_OK), 0);
  EXPECT_EQ(slurp(program.parent_path() / "Cursello.exe"), "MZ stand-in for Cursello.exe\n");
  EXPECT_EQ(fs::canonical(home / ".local/bin/CurselloLinuxLauncher"), program);
  const fs::path autostart = home / ".config/autostart/CurselloLinuxLauncher.desktop";
  EXPECT_EQ(entryValue(slurp(autostart), "Exec"), program.string());
  const fs::path menu = data / "applications/CurselloLinuxLauncher.desktop";
  EXPECT_EQ(entryValue(slurp(menu), "Exec"), program.string());
  EXPECT_TRUE(fs::exists(data / "icons/hicolor/32x32/apps/CurselloLinuxLauncher.png"));
  const auto valid = validateEntries({autostart, menu});
  EXPECT_EQ(valid.status, 0) << valid.output;

  const auto uninstall = runCommand({script, "--uninstall"}, env);
  ASSERT_EQ(uninstall.status, 0) << uninstall.output;
  EXPECT_EQ(treeOf(tmp.path(), true), before);
}

}  // namespace
}  // namespace cs::test
