// The icon the launcher carries and the file it writes at start, in the per-user directory under /tmp, including
// what it does when someone else prepared that directory.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/session_bus.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "tests/tray/running_launcher.h"
#include "tray/embedded_icon.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

std::string embeddedIcon() {
  return std::string(reinterpret_cast<const char*>(kEmbeddedIconPng), kEmbeddedIconPngSize);
}

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

TEST(EmbeddedIcon, IsTheRepositoryPngByteForByte) {
  const std::string source = slurp(CS_ICON_SOURCE);
  ASSERT_FALSE(source.empty()) << CS_ICON_SOURCE;
  EXPECT_EQ(embeddedIcon(), source);
}

// The status-area hosts are given a 32 by 32 RGBA image, not interlaced.
TEST(EmbeddedIcon, IsA32By32RgbaPng) {
  const std::string png = embeddedIcon();
  ASSERT_GT(png.size(), 33u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");  // the first chunk
  EXPECT_EQ(bigEndian32(png, 16), 32u) << "width";
  EXPECT_EQ(bigEndian32(png, 20), 32u) << "height";
  EXPECT_EQ(static_cast<int>(png[24]), 8) << "bit depth";
  EXPECT_EQ(static_cast<int>(png[25]), 6) << "colour type";
  EXPECT_EQ(static_cast<int>(png[28]), 0) << "interlace method";
  EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

// What is at a path, without following a link: enough to tell that nothing was written.
struct PathState {
  bool exists = false;
  mode_t type = 0;
  mode_t mode = 0;
  uid_t owner = 0;
  std::string linkTarget;
  std::map<std::string, std::string> files;  // a directory's entries and their bytes

  bool operator==(const PathState&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PathState& state) {
  if (!state.exists) return out << "(nothing)";
  out << "type " << std::oct << state.type << " mode " << state.mode << std::dec << " owner " << state.owner;
  if (!state.linkTarget.empty()) out << " -> " << state.linkTarget;
  for (const auto& [name, bytes] : state.files) out << "\n  " << name << ": " << bytes.size() << " bytes";
  return out;
}

PathState stateOf(const fs::path& path) {
  PathState state;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return state;
  state.exists = true;
  state.type = info.st_mode & S_IFMT;
  state.mode = info.st_mode & 07777;
  state.owner = info.st_uid;
  std::error_code ec;
  if (S_ISLNK(info.st_mode)) state.linkTarget = fs::read_symlink(path, ec).string();
  if (S_ISDIR(info.st_mode)) {
    for (const auto& entry : fs::directory_iterator(path, ec)) {
      state.files[entry.path().filename().string()] = slurp(entry.path());
    }
  }
  return state;
}

void removeIconDirectory() {
  std::error_code ec;
  fs::remove_all(iconDirectory(), ec);  // a soft link is removed, not followed
}

void makeDirectory(const fs::path& path, mode_t mode) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;  // past the umask
}

// Every test starts and ends with no icon directory: the launcher makes it afresh at its next start.
class IconFile : public ::testing::Test {
 protected:
  void SetUp() override {
    removeIconDirectory();
    ASSERT_TRUE(x.ok()) << x.diagnostics();
    ASSERT_TRUE(bus.ok()) << bus.diagnostics();
    ASSERT_TRUE(bus.startTrayWatcher()) << bus.diagnostics();
  }
  void TearDown() override { removeIconDirectory(); }

  // Runs the launcher until its indicator is registered, which it does only after writing the icon, notes the
  // icon theme path it names over the bus and what that directory holds, then ends it with SIGTERM.
  void runLauncherThroughStart(std::vector<std::string> env = {}) {
    RunningLauncher run(env.empty() ? x.environment(environmentWithoutDesktop()) : std::move(env), bus);
    ASSERT_TRUE(run.launcher().started());
    ASSERT_TRUE(waitUntil([&] { return hasTrayItemOf(bus.address(), run.launcher().pid()); }))
        << "no indicator; output:\n" << run.output();
    const auto items = registeredTrayItems(bus.address());
    ASSERT_EQ(items.size(), 1u);
    themePath = trayItemProperty(bus.address(), items.front(), "IconThemePath").value_or("");
    themeDir = stateOf(themePath);
    ownRuntimeDir = run.runtimeDir();
    run.launcher().signal(SIGTERM);
    const auto status = run.launcher().wait(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << "wait status " << *status;
    output = run.output();
    messages = run.messages();
  }

  // The directory named to the tray is a private one of ours that holds our icon and nothing else of note.
  void expectPrivateThemeDirWithOurIcon() const {
    EXPECT_EQ(themeDir.type, static_cast<mode_t>(S_IFDIR)) << themePath << ": " << themeDir;
    EXPECT_EQ(themeDir.mode, 0700u) << themeDir;
    EXPECT_EQ(themeDir.owner, getuid());
    EXPECT_EQ(themeDir.files.count("icon.png") ? themeDir.files.at("icon.png") : "", embeddedIcon()) << themeDir;
  }

  // A trouble with the icon is not logged.
  void expectNoIconMessage() const {
    for (const auto& message : messages) {
      EXPECT_EQ(message.find("icon"), std::string::npos) << message;
      EXPECT_EQ(message.find(iconDirectory().string()), std::string::npos) << message;
    }
  }

  XServer x{false};
  SessionBus bus;
  TempDir elsewhere;
  std::string output;
  std::vector<std::string> messages;
  std::string themePath;
  PathState themeDir;
  fs::path ownRuntimeDir;  // the XDG_RUNTIME_DIR the run's launcher had
};

TEST_F(IconFile, StartCreatesAPrivateDirectoryWithTheIcon) {
  ASSERT_NO_FATAL_FAILURE(runLauncherThroughStart());
  const PathState dir = stateOf(iconDirectory());
  EXPECT_EQ(dir.type, static_cast<mode_t>(S_IFDIR)) << dir;
  EXPECT_EQ(dir.mode, 0700u) << dir;
  EXPECT_EQ(dir.owner, getuid());
  // Only the icon: the file it was written to under another name was renamed, not left behind.
  const std::map<std::string, std::string> expected = {{"icon.png", embeddedIcon()}};
  EXPECT_TRUE(dir.files == expected) << dir;
  expectNoIconMessage();
}

TEST_F(IconFile, StartRewritesAnOlderIconByteForByte) {
  const struct {
    const char* name;
    mode_t directoryMode;
    std::string oldIcon;
  } rows[] = {
      {"longer icon, private directory", 0700, std::string(3 * kEmbeddedIconPngSize, 'x')},
      {"shorter icon, directory readable by all", 0755, "old"},
      {"empty icon", 0700, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    removeIconDirectory();
    ASSERT_NO_FATAL_FAILURE(makeDirectory(iconDirectory(), row.directoryMode));
    writeFile(iconDirectory() / "icon.png", row.oldIcon);
    ASSERT_NO_FATAL_FAILURE(runLauncherThroughStart());
    EXPECT_EQ(slurp(iconDirectory() / "icon.png"), embeddedIcon());
    EXPECT_EQ(stateOf(iconDirectory()).mode, row.directoryMode) << "an existing directory is reused as it is";
  }
}

TEST_F(IconFile, PlantedIconLinkIsReplacedNotFollowed) {
  ASSERT_NO_FATAL_FAILURE(makeDirectory(iconDirectory(), 0700));
  const fs::path victim = elsewhere.path() / "victim";
  writeFile(victim, "the victim's data");
  fs::create_symlink(victim, iconDirectory() / "icon.png");

  ASSERT_NO_FATAL_FAILURE(runLauncherThroughStart());
  EXPECT_EQ(slurp(victim), "the victim's data");
  const PathState icon = stateOf(iconDirectory() / "icon.png");
  EXPECT_EQ(icon.type, static_cast<mode_t>(S_IFREG)) << icon;
  EXPECT_EQ(slurp(iconDirectory() / "icon.png"), embeddedIcon());
}

// A path by the icon directory's name that someone else could have made: the launcher writes nothing there,
// says nothing, and names to the tray only a private directory of its own in its runtime directory, with our icon.
// A directory of ours that others may write to is made private and used.
struct Hostile {
  const char* name;
  bool needsRoot;
  bool ours;  // the planted directory is ours, only open to others
  void (*plant)(const fs::path& iconDir, const fs::path& elsewhere);
};

void PrintTo(const Hostile& hostile, std::ostream* out) { *out << hostile.name; }

// A directory of `nobody` by the icon directory's name, holding an icon of theirs.
void plantNobodysDirectory(const fs::path& iconDir, const fs::path&) {
  makeDirectory(iconDir, 0755);
  writeFile(iconDir / "icon.png", "planted icon");
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(chown(iconDir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
}

class IconFileRefused : public IconFile, public ::testing::WithParamInterface<Hostile> {};

TEST_P(IconFileRefused, WritesOnlyIntoAPrivateDirectoryOfItsOwnAndGoesOn) {
  if (GetParam().needsRoot && geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  ASSERT_NO_FATAL_FAILURE(GetParam().plant(iconDirectory(), elsewhere.path()));
  const PathState dirBefore = stateOf(iconDirectory());
  const PathState elsewhereBefore = stateOf(elsewhere.path());

  ASSERT_NO_FATAL_FAILURE(runLauncherThroughStart());
  EXPECT_EQ(stateOf(elsewhere.path()), elsewhereBefore);
  if (GetParam().ours) {
    EXPECT_EQ(themePath, iconDirectory().string());
  } else {
    EXPECT_EQ(stateOf(iconDirectory()), dirBefore);
    EXPECT_EQ(themePath, (ownRuntimeDir / "CurselloLinuxLauncher").string());
  }
  expectPrivateThemeDirWithOurIcon();
  EXPECT_FALSE(messages.empty()) << output;
  expectNoIconMessage();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, IconFileRefused,
    ::testing::Values(
        Hostile{"DirectoryIsASoftLinkToAnotherDirectory", false, false,
                [](const fs::path& iconDir, const fs::path& other) {
                  writeFile(other / "icon.png", "someone else's file");
                  fs::create_symlink(other, iconDir);
                }},
        Hostile{"DirectoryIsADanglingSoftLink", false, false,
                [](const fs::path& iconDir, const fs::path& other) { fs::create_symlink(other / "new", iconDir); }},
        Hostile{"DirectoryOwnedByAnotherUser", true, false, plantNobodysDirectory},
        Hostile{"DirectoryWritableByTheGroup", false, true,
                [](const fs::path& iconDir, const fs::path&) {
                  makeDirectory(iconDir, 0770);
                  writeFile(iconDir / "icon.png", "old icon");
                }},
        Hostile{"DirectoryWritableByEveryone", false, true,
                [](const fs::path& iconDir, const fs::path&) {
                  makeDirectory(iconDir, 01777);
                  writeFile(iconDir / "icon.png", "old icon");
                }},
        Hostile{"PathIsAFile", false, false,
                [](const fs::path& iconDir, const fs::path&) { writeFile(iconDir, "not a directory"); }}),
    [](const ::testing::TestParamInfo<Hostile>& param) { return std::string(param.param.name); });

// Without a runtime directory the fallback is a private directory under /tmp, named like the fixed one, made at
// the first start and used again by the next.
TEST_F(IconFile, DirectoryOwnedByAnotherUserWithoutARuntimeDirFallsBackToATmpDirectoryKeptForTheNextStart) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  ASSERT_NO_FATAL_FAILURE(plantNobodysDirectory(iconDirectory(), {}));
  const PathState before = stateOf(iconDirectory());

  const auto env = withVariable(x.environment(environmentWithoutDesktop()), "XDG_RUNTIME_DIR", "");
  ASSERT_NO_FATAL_FAILURE(runLauncherThroughStart(env));
  const std::string firstPath = themePath;
  ASSERT_NO_FATAL_FAILURE(runLauncherThroughStart(env));
  std::error_code ec;
  fs::remove_all(firstPath, ec);
  fs::remove_all(themePath, ec);
  EXPECT_EQ(themePath, firstPath);
  ASSERT_EQ(themePath.rfind(iconDirectory().string() + ".", 0), 0u) << themePath;
  expectPrivateThemeDirWithOurIcon();
  EXPECT_EQ(stateOf(iconDirectory()), before);
}

}  // namespace
}  // namespace cs::test
