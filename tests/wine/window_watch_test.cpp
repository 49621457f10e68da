// The window watcher in a real Wine prefix, run as an ordinary user with the system's wine on Xvfb: a game shows a
// message-only, a hidden, a 1x1, a minimised and a real window, and the watcher tells of the real one only, whether
// the game runs on Wine's own desktop or on a virtual desktop, tells of its going, and ends by itself after the game
// without keeping the wineserver.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "launch/window_watch_protocol.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"
#include "tests/wine/wine_prefix.h"

namespace cs::test {
namespace {

namespace fs = std::filesystem;

const fs::path kPrograms = CS_WINE_PROGRAMS_DIR;
const fs::path kWatcher = CS_WINDOW_WATCH_EXE;

class WindowWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kPrograms.empty() || kWatcher.empty() || loader.empty()) {
      GTEST_SKIP() << "MinGW (x86_64-w64-mingw32-gcc) or wine is not installed; ./scripts/test installs them";
    }
    ASSERT_TRUE(user) << "no test user";
    ASSERT_TRUE(x.ok()) << x.diagnostics();
    const fs::path templatePrefix = prefixTemplate(*user, loader);
    ASSERT_FALSE(templatePrefix.empty());
    giveTo(*user, home.path());
    ASSERT_TRUE(copyTree(templatePrefix, prefix));
    fs::copy_file(kPrograms / "window_kinds.exe", prefix / "drive_c/window_kinds.exe");
    fs::copy_file(kWatcher, home.path() / "CurselloWindowWatch.exe");
  }

  void TearDown() override {
    if (fs::exists(prefix))
      runWine(*user, {wineserverFor(loader).string(), "-k"}, prefix, std::chrono::seconds(30), {});
  }

  // Starts the command in the prefix as the user on the test's display, its standard output to `output` and its
  // errors beside it.
  std::unique_ptr<Subprocess> startWine(const std::vector<std::string>& argv, const fs::path& output) const {
    std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$@\" >>\"$0\" 2>>\"$0.err\"", output.string()};
    command.insert(command.end(), argv.begin(), argv.end());
    command = asUser(*user, command);
    return std::make_unique<Subprocess>(Subprocess::Options{.program = command.front(),
                                                            .argv = command,
                                                            .env = x.environment(wineEnvironment(prefix)),
                                                            .output = std::nullopt,
                                                            .workingDir = std::nullopt});
  }

  // The watcher's whole lines so far.
  std::vector<std::string> watchLines() const {
    const std::string text = slurp(watchOutput);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  std::string dump() const {
    std::string text = "--- the watcher's lines:\n";
    for (const std::string& line : watchLines()) text += line + "\n";
    return text + "--- the game's output:\n" + slurp(home.path() / "game.out") + "--- wine's errors:\n" +
           slurp(home.path() / "game.out.err") + slurp(watchOutput.string() + ".err");
  }

  // Runs the game with the words before it, starts the watcher once the game's windows are there, and checks what
  // the watcher tells, up to its own end after the game's.
  void watchGame(std::vector<std::string> gameCommand) {
    gameCommand.insert(gameCommand.begin(), loader.string());
    gameCommand.push_back("C:\\window_kinds.exe");
    const std::unique_ptr<Subprocess> game = startWine(gameCommand, home.path() / "game.out");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(prefix / "drive_c/windows-shown"); }, std::chrono::seconds(120)))
        << dump();
    // As the launcher does, once the game's wineserver runs.
    const std::unique_ptr<Subprocess> watcher =
        startWine({loader.string(), (home.path() / "CurselloWindowWatch.exe").string()}, watchOutput);

    ASSERT_TRUE(waitUntil([&] { return watchLines().size() >= 2; }, std::chrono::seconds(60))) << dump();
    // Some scans more, for any other window to be told of.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<std::string> lines = watchLines();
    ASSERT_EQ(lines.size(), 2U) << dump();
    EXPECT_EQ(parseWatchLine(lines[0]), WatchRecord(WatchStarted{.version = 1, .systemProcess = true})) << dump();
    const std::optional<WatchRecord> shown = parseWatchLine(lines[1]);
    ASSERT_TRUE(shown && std::holds_alternative<WatchWindowShown>(*shown)) << dump();
    const WatchWindowShown& window = std::get<WatchWindowShown>(*shown);
    EXPECT_EQ(window.width, 320) << dump();
    EXPECT_EQ(window.height, 240) << dump();
    EXPECT_EQ(window.imagePath, "C:\\window_kinds.exe") << dump();
    // The title is cut at a whole character where the line is full.
    std::string title = "Watched\tGame ";
    while (title.size() < window.title.size()) title += "\xc3\xa9";
    EXPECT_EQ(window.title, title) << dump();
    EXPECT_GE(lines[1].size(), kWatchLineMax - 2) << dump();

    writeFile(prefix / "drive_c/destroy-window", "");
    ASSERT_TRUE(waitUntil([&] { return watchLines().size() >= 3; }, std::chrono::seconds(20))) << dump();
    EXPECT_EQ(parseWatchLine(watchLines()[2]), WatchRecord(WatchWindowGone{.window = window.window})) << dump();

    writeFile(prefix / "drive_c/quit", "");
    EXPECT_TRUE(game->wait(std::chrono::seconds(30)).has_value()) << dump();
    const std::optional<int> status = watcher->wait(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value()) << "the watcher outlived the game\n" << dump();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << dump();
    EXPECT_EQ(watchLines().size(), 3U) << dump();
    EXPECT_TRUE(runWine(*user, {wineserverFor(loader).string(), "-w"}, prefix, std::chrono::seconds(30), {}))
        << "the wineserver outlived the game\n"
        << dump();
  }

  const std::optional<TestUser> user = sandboxTestUser();
  const fs::path loader = wineLoader();
  XServer x{false};
  const TempDir home{fs::path("/var/tmp")};
  const fs::path prefix = home.path() / "pfx";
  const fs::path watchOutput = home.path() / "watch.out";
};

TEST_F(WindowWatch, OnlyTheRealWindowOfTheGameIsToldOfUntilTheGameEnds) { watchGame({}); }

TEST_F(WindowWatch, AWindowOnAVirtualDesktopCounts) { watchGame({"explorer", "/desktop=watched,800x600"}); }

}  // namespace
}  // namespace cs::test
