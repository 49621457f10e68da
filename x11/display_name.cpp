#include "x11/display_name.h"

#include <charconv>

namespace cs {

namespace {

// Reads a whole decimal number of at most 9 digits; a display number of more is no display.
std::optional<int> decimal(std::string_view text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<DisplayAddress> parseDisplayName(std::string_view name) {
  // The protocol prefix ("unix/", "tcp/") goes before the host, and "unix" as the host means the local socket.
  std::string_view protocol;
  if (const std::size_t slash = name.find('/'); slash != std::string_view::npos) {
    protocol = name.substr(0, slash);
    name.remove_prefix(slash + 1);
  }
  // The number follows the last colon: an IPv6 host holds colons of its own.
  const std::size_t colon = name.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  DisplayAddress address;
  address.host = std::string(name.substr(0, colon));
  if (address.host == "unix" || (address.host.empty() && protocol != "tcp")) address.host.clear();
  if (address.host.empty() && protocol == "tcp") address.host = "localhost";
  std::string_view rest = name.substr(colon + 1);
  const std::size_t dot = rest.find('.');
  const auto number = decimal(rest.substr(0, dot));
  if (!number) return std::nullopt;
  address.number = *number;
  if (dot != std::string_view::npos) {
    const auto screen = decimal(rest.substr(dot + 1));
    if (!screen) return std::nullopt;
    address.screen = *screen;
  }
  return address;
}

bool sameDisplay(std::string_view a, std::string_view b) {
  const auto first = parseDisplayName(a);
  const auto second = parseDisplayName(b);
  if (!first || !second) return !first && !second && a == b;
  return first->host == second->host && first->number == second->number;
}

}  // namespace cs
