// The window watcher of one game on Wine's Wayland driver: CurselloWindowWatch.exe, run with the game's own wine in
// the game's prefix (inside the game's sandbox, through the sandbox helper, for a game in one), tells what Wine knows
// of the prefix's windows on its standard output. The launcher reads that pipe at each pass without ever waiting, a
// bounded amount at a time, and keeps the windows that count now.
#ifndef CS_LAUNCH_WINE_WINDOW_WATCH_H
#define CS_LAUNCH_WINE_WINDOW_WATCH_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/runtime_dir.h"
#include "launch/window_watch_protocol.h"

namespace cs {

// The file name of the watcher, installed beside the launcher.
inline constexpr std::string_view kWindowWatchExeName = "CurselloWindowWatch.exe";

// What a watcher said, from the bytes of its pipe. The game's code can write into that pipe too, so every line is
// taken only in its exact shape, and what is kept has a bound whatever arrives.
class WatchedWindows {
 public:
  // The most windows kept at once: a game shows a few; the rest of a flood are not kept.
  static constexpr std::size_t kMaxWindows = 64;

  // Takes the bytes that came, in order. A line longer than kWatchLineMax, or of any other shape, is dropped whole;
  // so are a second "started" line, a "shown" for a window already kept and a "gone" for one never shown.
  void take(std::string_view bytes);
  // Whether the watcher said it started.
  bool started() const { return startedSeen; }
  // The windows that count now, in the order they were shown.
  const std::vector<WatchWindowShown>& windows() const { return shown; }
  // How many lines were dropped so far.
  std::size_t droppedLines() const { return dropped; }

 private:
  void takeLine(std::string_view line);

  std::string partial;         // the unfinished last line
  bool skippingLong = false;   // the rest of a line past the cap is being passed over
  bool startedSeen = false;
  std::vector<WatchWindowShown> shown;
  std::size_t dropped = 0;
};

// Whether a wineserver serves the prefix (the directory that Wine's WINEPREFIX names): its socket is in place. A wine
// started on a prefix without one starts a server of its own and boots the prefix, so a watcher waits for the game's.
bool wineserverRuns(const std::filesystem::path& prefix);

// A watcher's output pipe: our end never waits; both are close-on-exec, so a child gets the write end only as
// the standard output it is given.
struct WatchPipe {
  FileDescriptor readEnd;   // non-blocking
  FileDescriptor writeEnd;
};

// Makes the pipe; no value, with error set, when it cannot.
std::optional<WatchPipe> makeWatchPipe(std::string& error);

// One running watcher, started by the launcher, which reaps it.
class WineWindowWatch {
 public:
  // The most bytes read from the pipe in one pass; what is left waits for the next.
  static constexpr std::size_t kMaxBytesPerRead = 64 * 1024;

  // Starts `wine exe` with the environment (NAME=VALUE), its standard input /dev/null and its standard output a pipe
  // of ours; its errors go where the launcher's go. Returns null and sets error when it could not be started.
  static std::unique_ptr<WineWindowWatch> start(const std::filesystem::path& wine, const std::filesystem::path& exe,
                                                std::vector<std::string> environment, std::string& error);
  // Follows a watcher that another child of the launcher started with the write end of the pipe as its standard
  // output (the sandbox helper, whose end ends the watcher): pid is that child's, reaped and signalled as the
  // watcher's. readEnd comes from makeWatchPipe.
  static std::unique_ptr<WineWindowWatch> adopt(std::int32_t pid, FileDescriptor readEnd);
  ~WineWindowWatch();
  WineWindowWatch(const WineWindowWatch&) = delete;
  WineWindowWatch& operator=(const WineWindowWatch&) = delete;

  std::int32_t pid() const { return processId; }
  // Reads what has come, at most kMaxBytesPerRead, without waiting.
  void read();
  // Whether the watcher's end of the pipe is closed: it has ended.
  bool pipeClosed() const { return closed; }
  const WatchedWindows& records() const { return records_; }
  // Ends the watcher (SIGKILL) unless it was reaped already; the caller still reaps it.
  void stop();
  // Tells that the launcher has reaped it: its pid may be another process's from now on and is never signalled.
  void reaped() { wasReaped = true; }
  bool hasEnded() const { return wasReaped; }

 private:
  WineWindowWatch(std::int32_t pid, FileDescriptor pipe) : processId(pid), output(std::move(pipe)) {}

  std::int32_t processId = -1;
  FileDescriptor output;
  bool closed = false;
  bool wasReaped = false;
  WatchedWindows records_;
};

}  // namespace cs

#endif  // CS_LAUNCH_WINE_WINDOW_WATCH_H
