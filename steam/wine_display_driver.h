// Which display driver a game's Wine took. Wine loads one driver's unix library into each of its processes (the
// prefix's desktop process first) and keeps only the one it chose, so the memory map of any Windows process of the
// game tells it; nothing in the environment does (a game on X11 has WAYLAND_DISPLAY too).
#ifndef CS_STEAM_WINE_DISPLAY_DRIVER_H
#define CS_STEAM_WINE_DISPLAY_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cs {

class ProcessHandle;

enum class WineDisplayDriver : std::int32_t {
  Unknown,  // no driver mapped yet (the process has made no window so far), or the map could not be read
  X11,
  Wayland,
};

// The most bytes of one memory map read: a game maps thousands of regions, and the drivers' libraries lie high, near
// the end of the listing; a map longer than this tells nothing.
inline constexpr std::size_t kMaxMemoryMapBytes = 8u << 20;

// Returns the driver whose unix library (a path ending in "/winewayland.so" or "/winex11.so") a line of the
// /proc/<pid>/maps text maps; Wayland when both are (Wine unloads the one it did not choose).
WineDisplayDriver displayDriverInMaps(std::string_view maps);

// Reads the memory map of the held process, in chunks and at most kMaxMemoryMapBytes of it, and returns the driver
// it maps.
WineDisplayDriver displayDriverOf(const ProcessHandle& process);

// Returns the file name, in lower case, of the Windows program that a Wine process's command line starts with. Wine
// writes the program's command line over its own: a Windows path (quoted when it holds a blank), or for the first
// program of a prefix the unix path it was started by, unquoted even when it holds a blank. Empty when the line
// names no ".exe" program.
std::string windowsProgramName(std::string_view commandLine);

// Whether the image path (as Windows names a program) is one of Wine's own programs, below C:\windows, whose windows
// are never a game's.
bool isWineProgramImage(std::string_view imagePath);

// Whether the held process runs Wine's loader (wine, wine64 or their preloaders, by its executable's file name),
// as every Windows program under Wine does; a wineserver does not.
bool runsWineLoader(const ProcessHandle& process);

}  // namespace cs

#endif  // CS_STEAM_WINE_DISPLAY_DRIVER_H
