#include "common/text.h"

namespace cs {

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

std::string escapeControlBytes(std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      escaped.push_back(c);
      continue;
    }
    escaped += "\\x";
    escaped.push_back(kHex[byte >> 4]);
    escaped.push_back(kHex[byte & 0xf]);
  }
  return escaped;
}

}  // namespace cs
