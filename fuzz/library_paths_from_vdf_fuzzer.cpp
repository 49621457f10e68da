// libraryPathsFromVdfText on the text of libraryfolders.vdf, a file in the user's Steam installation that any
// program of the user can write, and against the pattern it stands for.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "steam/library_roots.h"

namespace {

// The reference unescaping: a backslash that is not the last byte is dropped and the byte after it kept.
std::string unescaped(const std::string& value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      text.push_back(value[i + 1]);
      ++i;
    } else {
      text.push_back(value[i]);
    }
  }
  return text;
}

// The reference: group 1 of every non-overlapping match of path_re in order, unescaped.
std::vector<std::string> pathsByRegex(const std::string& text) {
  static const std::regex path_re("\"path\"\\s*\"([^\"]+)\"", std::regex::ECMAScript);
  std::vector<std::string> paths;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), path_re); it != std::sregex_iterator(); ++it) {
    paths.push_back(unescaped((*it)[1].str()));
  }
  return paths;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string text = cs::fuzz::bytesOf(data, size);
  std::vector<std::string> paths;
  for (const auto& path : cs::libraryPathsFromVdfText(text)) paths.push_back(path.native());

  for (const std::string& path : paths) {
    require(!path.empty(), "a path is not empty");
    require(path.find('"') == std::string::npos, "a path holds no quote");
  }
  require(paths.size() <= occurrences(text, "\"path\""), "each path has a key of its own");
  if (size <= cs::fuzz::kMaxRegexInput) require(paths == pathsByRegex(text), "agrees with path_re");
  return 0;
}
