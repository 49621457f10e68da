// What the window watcher (CurselloWindowWatch.exe, which the launcher runs with a game's wine in the game's prefix)
// writes on its standard output, and the strict reading of one of its lines. The watcher runs beside the game's
// code, which can write into the same pipe: a line is taken only when it has exactly the shape below, and its text
// fields are bytes that nobody vouches for.
//
// Records, one a line, a kind and its fields separated by single tabs, at most kWatchLineMax bytes with the newline:
//     started <version> <ending>                             first, once; version is 1 (kWatchProtocolVersion);
//                                                            ending is "system" when Wine tells the watcher that
//                                                            the game is gone, "counting" when the watcher counts
//                                                            the prefix's processes itself
//     shown   <hwnd> <pid> <width> <height> <image> <title>  a window of another process that counts now
//     gone    <hwnd>                                         a shown window that counts no more
// hwnd: 1 to 16 lowercase hexadecimal digits, not 0. version, pid (the Windows process id), width and height:
// decimal without leading zeros, below 2^31; version and pid at least 1, width and height at least 2. image (the
// owner's executable as Windows names it; empty when unknown) and title: UTF-8 as written, where every byte below
// 0x20, the byte 0x7f and "\" stand as "\xNN" with two lowercase hexadecimal digits, and no other byte is escaped.
#ifndef CS_LAUNCH_WINDOW_WATCH_PROTOCOL_H
#define CS_LAUNCH_WINDOW_WATCH_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace cs {

// The longest line, its newline included: a reader drops a longer one whole.
inline constexpr std::size_t kWatchLineMax = 1024;
inline constexpr std::uint32_t kWatchProtocolVersion = 1;

struct WatchStarted {
  std::uint32_t version = 0;
  bool systemProcess = false;  // it ends when Wine says only system processes are left; else it counts them
  bool operator==(const WatchStarted&) const = default;
};

struct WatchWindowShown {
  std::uint64_t window = 0;
  std::uint32_t windowsPid = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::string imagePath;  // unescaped bytes, unchecked: log them through logText
  std::string title;      // the same
  bool operator==(const WatchWindowShown&) const = default;
};

struct WatchWindowGone {
  std::uint64_t window = 0;
  bool operator==(const WatchWindowGone&) const = default;
};

using WatchRecord = std::variant<WatchStarted, WatchWindowShown, WatchWindowGone>;

// Returns the record that the line (without its newline) holds, or no value for a line of any other shape.
std::optional<WatchRecord> parseWatchLine(std::string_view line);

}  // namespace cs

#endif  // CS_LAUNCH_WINDOW_WATCH_PROTOCOL_H
