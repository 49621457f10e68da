#include "steam/wine_display_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "proc/process_handle.h"

namespace cs {

namespace {

constexpr std::string_view kWaylandLibrary = "/winewayland.so";
constexpr std::string_view kX11Library = "/winex11.so";

// What the lines seen so far map, the stronger driver kept.
WineDisplayDriver stronger(WineDisplayDriver a, WineDisplayDriver b) {
  if (a == WineDisplayDriver::Wayland || b == WineDisplayDriver::Wayland) return WineDisplayDriver::Wayland;
  if (a == WineDisplayDriver::X11 || b == WineDisplayDriver::X11) return WineDisplayDriver::X11;
  return WineDisplayDriver::Unknown;
}

WineDisplayDriver driverOfLine(std::string_view line) {
  if (line.ends_with(kWaylandLibrary)) return WineDisplayDriver::Wayland;
  if (line.ends_with(kX11Library)) return WineDisplayDriver::X11;
  return WineDisplayDriver::Unknown;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = lowerAscii(c);
  return lower;
}

// The file name at the end of a Windows or unix path.
std::string_view fileNameOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

WineDisplayDriver displayDriverInMaps(std::string_view maps) {
  WineDisplayDriver found = WineDisplayDriver::Unknown;
  for (std::size_t start = 0; start < maps.size();) {
    std::size_t end = maps.find('\n', start);
    if (end == std::string_view::npos) end = maps.size();
    found = stronger(found, driverOfLine(maps.substr(start, end - start)));
    start = end + 1;
  }
  return found;
}

WineDisplayDriver displayDriverOf(const ProcessHandle& process) {
  const FileDescriptor file = process.openAt("maps", O_RDONLY);
  if (file.get() < 0) return WineDisplayDriver::Unknown;
  // Line by line through one chunk: only the unfinished last line is carried over, so the memory held is a chunk
  // and a line whatever the map's length.
  WineDisplayDriver found = WineDisplayDriver::Unknown;
  std::string carried;
  char chunk[65536];
  std::size_t total = 0;
  for (;;) {
    const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return WineDisplayDriver::Unknown;
    if (count == 0) break;
    total += static_cast<std::size_t>(count);
    if (total > kMaxMemoryMapBytes) return WineDisplayDriver::Unknown;
    const std::string_view text(chunk, static_cast<std::size_t>(count));
    const std::size_t lastNewline = text.rfind('\n');
    if (lastNewline == std::string_view::npos) {
      // A path is at most a page: a longer line names no library of Wine's, and is not kept.
      if (carried.size() < 8192) carried.append(text);
      continue;
    }
    const std::size_t firstNewline = text.find('\n');
    carried.append(text.substr(0, firstNewline));
    found = stronger(found, driverOfLine(carried));
    found = stronger(found, displayDriverInMaps(text.substr(firstNewline + 1, lastNewline - firstNewline)));
    carried.assign(text.substr(lastNewline + 1));
  }
  return stronger(found, driverOfLine(carried));
}

std::string windowsProgramName(std::string_view commandLine) {
  std::string_view program;
  if (commandLine.starts_with('"')) {
    const std::size_t close = commandLine.find('"', 1);
    if (close == std::string_view::npos) return {};
    program = commandLine.substr(1, close - 1);
  } else {
    // Up to the first ".exe" that ends a word: a unix path given as it was may hold blanks. Looked for in place,
    // since every process's line is asked at every pass while a game waits.
    for (std::size_t at = commandLine.find('.'); at != std::string_view::npos; at = commandLine.find('.', at + 1)) {
      const std::size_t end = at + 4;
      if (end > commandLine.size() || (end < commandLine.size() && commandLine[end] != ' ')) continue;
      if (lowerAscii(commandLine[at + 1]) == 'e' && lowerAscii(commandLine[at + 2]) == 'x' &&
          lowerAscii(commandLine[at + 3]) == 'e') {
        program = commandLine.substr(0, end);
        break;
      }
    }
  }
  const std::string name = lowerCase(fileNameOf(program));
  return name.size() > 4 && name.ends_with(".exe") ? name : std::string();
}

bool isWineProgramImage(std::string_view imagePath) {
  constexpr std::string_view kWineFolder = "c:\\windows\\";
  return imagePath.size() >= kWineFolder.size() && lowerCase(imagePath.substr(0, kWineFolder.size())) == kWineFolder;
}

bool runsWineLoader(const ProcessHandle& process) {
  char target[4096];
  const ssize_t length = process.ok() ? readlinkat(process.fd(), "exe", target, sizeof target - 1) : -1;
  if (length <= 0) return false;
  const std::string_view name = fileNameOf(std::string_view(target, static_cast<std::size_t>(length)));
  return name.starts_with("wine") && !name.starts_with("wineserver");
}

}  // namespace cs
