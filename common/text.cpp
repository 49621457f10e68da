#include "common/text.h"

#include <cstddef>

namespace cs {

namespace {

// The length of the well-formed UTF-8 sequence that starts text[at] (RFC 3629: no overlong form, no surrogate, at
// most U+10FFFF), or 0 when none starts there.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

void appendEscaped(std::string& out, unsigned char c) {
  constexpr const char* kHex = "0123456789abcdef";
  out += "\\x";
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0xF]);
}

}  // namespace

std::string joinArgs(const std::vector<std::string>& words) {
  std::string joined;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) joined.push_back(' ');
    joined += words[i];
  }
  return joined;
}

std::string withoutTrailingSlashes(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  return text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string logText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8SequenceLength(text, at);
    const auto lead = static_cast<unsigned char>(text[at]);
    // U+0080 to U+009F are written C2 80 to C2 9F; a terminal takes some of them (CSI) as the start of a command.
    const bool control = length == 0 || lead < 0x20 || lead == 0x7F ||
                         (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
    if (!control) {
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    const std::size_t end = at + (length == 0 ? 1 : length);
    for (; at < end; ++at) appendEscaped(out, static_cast<unsigned char>(text[at]));
  }
  return out;
}

}  // namespace cs
