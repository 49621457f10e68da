#include "launch/window_watch_protocol.h"

#include <charconv>
#include <limits>
#include <system_error>
#include <vector>

namespace cs {
namespace {

// The fields of a line: every tab separates two, so "a\t" is "a" and an empty field.
std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

bool isLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Decimal digits without a sign or leading zero, at least `least`, below 2^31.
std::optional<std::uint32_t> parseCount(std::string_view text, std::uint32_t least) {
  if (text.empty() || text.size() > 10 || text.front() == '0') return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < least || value > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return value;
}

// 1 to 16 lowercase hexadecimal digits without a leading zero.
std::optional<std::uint64_t> parseHandle(std::string_view text) {
  if (text.empty() || text.size() > 16 || text.front() == '0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!isLowerHexDigit(c)) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return value;
}

bool mustBeEscaped(unsigned char byte) { return byte < 0x20 || byte == 0x7f || byte == '\\'; }

// The bytes a text field stands for: "\xNN" only for a byte that must be escaped, and no such byte bare.
std::optional<std::string> unescape(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte != '\\') {
      if (mustBeEscaped(byte)) return std::nullopt;
      bytes.push_back(text[at]);
      continue;
    }
    if (text.size() - at < 4) return std::nullopt;
    if (text[at + 1] != 'x' || !isLowerHexDigit(text[at + 2]) || !isLowerHexDigit(text[at + 3])) {
      return std::nullopt;
    }
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    const auto decoded = static_cast<unsigned char>(nibble(text[at + 2]) * 16 + nibble(text[at + 3]));
    if (!mustBeEscaped(decoded)) return std::nullopt;
    bytes.push_back(static_cast<char>(decoded));
    at += 3;
  }
  return bytes;
}

std::optional<WatchRecord> parseStarted(const std::vector<std::string_view>& fields) {
  if (fields.size() != 3) return std::nullopt;
  const std::optional<std::uint32_t> version = parseCount(fields[1], 1);
  if (!version || (fields[2] != "system" && fields[2] != "counting")) return std::nullopt;
  return WatchStarted{.version = *version, .systemProcess = fields[2] == "system"};
}

std::optional<WatchRecord> parseShown(const std::vector<std::string_view>& fields) {
  if (fields.size() != 7) return std::nullopt;
  const std::optional<std::uint64_t> window = parseHandle(fields[1]);
  const std::optional<std::uint32_t> pid = parseCount(fields[2], 1);
  const std::optional<std::uint32_t> width = parseCount(fields[3], 2);
  const std::optional<std::uint32_t> height = parseCount(fields[4], 2);
  std::optional<std::string> imagePath = unescape(fields[5]);
  std::optional<std::string> title = unescape(fields[6]);
  if (!window || !pid || !width || !height || !imagePath || !title) return std::nullopt;
  return WatchWindowShown{.window = *window,
                          .windowsPid = *pid,
                          .width = static_cast<std::int32_t>(*width),
                          .height = static_cast<std::int32_t>(*height),
                          .imagePath = std::move(*imagePath),
                          .title = std::move(*title)};
}

std::optional<WatchRecord> parseGone(const std::vector<std::string_view>& fields) {
  if (fields.size() != 2) return std::nullopt;
  const std::optional<std::uint64_t> window = parseHandle(fields[1]);
  if (!window) return std::nullopt;
  return WatchWindowGone{.window = *window};
}

}  // namespace

std::optional<WatchRecord> parseWatchLine(std::string_view line) {
  if (line.size() >= kWatchLineMax) return std::nullopt;
  const std::vector<std::string_view> fields = splitFields(line);
  if (fields.front() == "started") return parseStarted(fields);
  if (fields.front() == "shown") return parseShown(fields);
  if (fields.front() == "gone") return parseGone(fields);
  return std::nullopt;
}

}  // namespace cs
