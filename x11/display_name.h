// X display names as DISPLAY holds them, and whether two of them name the same display.
#ifndef CS_X11_DISPLAY_NAME_H
#define CS_X11_DISPLAY_NAME_H

#include <optional>
#include <string>
#include <string_view>

namespace cs {

// Where a display name points: the host ("" for this machine's local socket) and the display number.
struct DisplayAddress {
  std::string host;
  int number = -1;
  int screen = 0;
};

// Parses "[protocol/][host]:number[.screen]": ":1", ":1.0", "unix:1" and "unix/:1" name the local socket of
// display 1; "localhost:10.0" names display 10 over TCP. No value for anything else (an empty name, no number, a
// number out of range, trailing bytes).
std::optional<DisplayAddress> parseDisplayName(std::string_view name);

// Returns whether the two names reach the same display: the same host, "unix" and no host counting as one, and
// the same number; the screen does not matter. Names that do not parse are the same only when byte-equal.
bool sameDisplay(std::string_view a, std::string_view b);

}  // namespace cs

#endif  // CS_X11_DISPLAY_NAME_H
