#include "launch/wine_window_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

#include "launch/cursello_launch.h"

namespace cs {

void WatchedWindows::take(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!skippingLong) {
      // The cap counts the newline: a line's text is at most one byte shorter.
      if (partial.size() + piece.size() >= kWatchLineMax) {
        partial.clear();
        skippingLong = true;
        ++dropped;
      } else {
        partial.append(piece);
      }
    }
    if (newline == std::string_view::npos) return;
    if (!skippingLong) takeLine(partial);
    partial.clear();
    skippingLong = false;
    bytes.remove_prefix(newline + 1);
  }
}

void WatchedWindows::takeLine(std::string_view line) {
  const std::optional<WatchRecord> record = parseWatchLine(line);
  const auto keptAt = [&](std::uint64_t window) {
    return std::find_if(shown.begin(), shown.end(), [&](const WatchWindowShown& w) { return w.window == window; });
  };
  bool taken = false;
  if (!record) {
    ++dropped;
    return;
  }
  if (const auto* started = std::get_if<WatchStarted>(&*record)) {
    taken = !startedSeen && started->version == kWatchProtocolVersion;
    startedSeen = startedSeen || taken;
  } else if (!startedSeen) {
    // Nothing counts before the watcher said who it is.
  } else if (const auto* window = std::get_if<WatchWindowShown>(&*record)) {
    taken = shown.size() < kMaxWindows && keptAt(window->window) == shown.end();
    if (taken) shown.push_back(*window);
  } else if (const auto* gone = std::get_if<WatchWindowGone>(&*record)) {
    const auto at = keptAt(gone->window);
    taken = at != shown.end();
    if (taken) shown.erase(at);
  }
  if (!taken) ++dropped;
}


bool wineserverRuns(const std::filesystem::path& prefix) {
  struct stat folder {};
  if (stat(prefix.c_str(), &folder) != 0) return false;
  // Wine keeps its server's socket in a directory of the user's in /tmp named after the prefix's device and inode:
  // below ".wine-<uid>" upstream and in Proton; below a private directory of its own in Debian's build, which names
  // it in the prefix's "wineserver" file.
  std::vector<std::string> parents = {".wine-" + std::to_string(getuid())};
  const FileDescriptor named(open((prefix / "wineserver").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char name[64] = {};
  struct stat file {};
  if (named.get() >= 0 && fstat(named.get(), &file) == 0 && S_ISREG(file.st_mode)) {
    const ssize_t length = ::read(named.get(), name, sizeof name - 1);
    const std::string_view text(name, length > 0 ? static_cast<std::size_t>(length) : 0);
    if (!text.empty() && text.find_first_of("/\n") == std::string_view::npos && text != "." && text != "..") {
      parents.emplace_back(text);
    }
  }
  char serverDir[64];
  std::snprintf(serverDir, sizeof serverDir, "server-%llx-%llx", static_cast<unsigned long long>(folder.st_dev),
                static_cast<unsigned long long>(folder.st_ino));
  for (const std::string& parent : parents) {
    struct stat server {};
    const std::string socketPath = "/tmp/" + parent + "/" + serverDir + "/socket";
    if (lstat(socketPath.c_str(), &server) == 0 && S_ISSOCK(server.st_mode)) return true;
  }
  return false;
}

std::optional<WatchPipe> makeWatchPipe(std::string& error) {
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error = std::string("no pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  WatchPipe pipe{FileDescriptor(ends[0]), FileDescriptor(ends[1])};
  // Our end never waits: a pass reads what has come and goes on.
  if (fcntl(pipe.readEnd.get(), F_SETFL, O_NONBLOCK) != 0) {
    error = std::string("pipe not made non-blocking: ") + std::strerror(errno);
    return std::nullopt;
  }
  return pipe;
}

std::unique_ptr<WineWindowWatch> WineWindowWatch::start(const std::filesystem::path& wine,
                                                        const std::filesystem::path& exe,
                                                        std::vector<std::string> environment, std::string& error) {
  std::optional<WatchPipe> pipe = makeWatchPipe(error);
  if (!pipe) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // dup2 clears close-on-exec on the copy: the watcher keeps its standard output and nothing else of ours.
  posix_spawn_file_actions_adddup2(&actions, pipe->writeEnd.get(), STDOUT_FILENO);
  std::vector<std::string> arguments = {wine.string(), exe.string()};
  std::vector<char*> argv = pointersTo(arguments);
  std::vector<char*> envp = pointersTo(environment);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, arguments.front().c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    error = std::strerror(failed);
    return nullptr;
  }
  return adopt(static_cast<std::int32_t>(pid), std::move(pipe->readEnd));
}

std::unique_ptr<WineWindowWatch> WineWindowWatch::adopt(std::int32_t pid, FileDescriptor readEnd) {
  return std::unique_ptr<WineWindowWatch>(new WineWindowWatch(pid, std::move(readEnd)));
}

WineWindowWatch::~WineWindowWatch() = default;

void WineWindowWatch::read() {
  if (closed) return;
  char chunk[8192];
  for (std::size_t taken = 0; taken < kMaxBytesPerRead;) {
    const ssize_t count = ::read(output.get(), chunk, std::min(sizeof chunk, kMaxBytesPerRead - taken));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      if (errno != EAGAIN) closed = true;
      return;
    }
    if (count == 0) {
      closed = true;
      return;
    }
    taken += static_cast<std::size_t>(count);
    records_.take(std::string_view(chunk, static_cast<std::size_t>(count)));
  }
}

void WineWindowWatch::stop() {
  if (!wasReaped && processId > 0) kill(processId, SIGKILL);
}

}  // namespace cs
