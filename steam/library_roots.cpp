#include "steam/library_roots.h"

#include <cstddef>
#include <set>
#include <string_view>
#include <utility>

#include "common/paths.h"

namespace cs {

namespace {

bool isRegexSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Drops each backslash that has a byte after it and keeps that byte as it is: Steam writes "\\" for one
// backslash. No escape letter means anything; a backslash in last position stays.
std::string unescapeVdfValue(std::string_view value) {
  std::string text;
  text.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    text.push_back(value[i]);
  }
  return text;
}

// Steam lets a user add a handful of libraries; a list longer than this was not written by Steam, and each library
// costs its caller a few file-system lookups.
constexpr std::size_t kMaxLibraries = 256;

// The libraries found so far, and the same as a set, so that a long list is not compared pair by pair.
struct LibraryList {
  std::vector<std::filesystem::path> paths;
  std::set<std::filesystem::path> seen;

  void add(const std::filesystem::path& path) {
    if (path.empty() || paths.size() >= kMaxLibraries) return;
    std::filesystem::path normal = path.lexically_normal();
    if (seen.insert(normal).second) paths.push_back(std::move(normal));
  }
};

}  // namespace

std::vector<std::filesystem::path> defaultSteamRoots() {
  return {expandHome("~/.steam/debian-installation"), expandHome("~/.local/share/Steam")};
}

// Accepts the text of a libraryfolders.vdf, of which only the quoted "path" keys matter, at any depth:
//     "libraryfolders" { "0" { "path"  "/home/u/.local/share/Steam"  "apps" { ... } } "1" { ... } }
// Every non-overlapping match of path_re, in text order, gives one path.
//
// path_re: "path"\s*"([^"]+)", iterated non-overlapping search.
//
// Hand-written because std::regex recurses once per repeated character and overflows the stack on a long value
// or white-space run. Each try starts at an occurrence of "path" with its quotes. \s* must take the whole
// white-space run, since giving any of it back leaves a white-space byte where a quote is needed. [^"]+ must run
// to the next quote, since giving any of it back leaves a non-quote byte where the closing quote is needed. So
// neither run can backtrack into another split, and a failed try fails outright. When no quote follows the
// value's opening quote, no later try can succeed either (it would need quotes past that point), so the search
// stops. The other failures cost the white-space run, and the next try starts past it (a quote cannot lie
// inside it) or at the key's own closing quote, so each byte is looked at a bounded number of times.
std::vector<std::filesystem::path> libraryPathsFromVdfText(const std::string& text) {
  constexpr std::string_view kKey = "\"path\"";
  std::vector<std::filesystem::path> paths;
  std::size_t start = text.find(kKey);
  while (start != std::string::npos) {
    std::size_t pos = start + kKey.size();
    while (pos < text.size() && isRegexSpace(text[pos])) ++pos;
    if (pos < text.size() && text[pos] == '"') {
      const std::size_t valueStart = pos + 1;
      const std::size_t valueEnd = text.find('"', valueStart);
      if (valueEnd == std::string::npos) break;
      if (valueEnd > valueStart) {
        paths.emplace_back(unescapeVdfValue(std::string_view(text).substr(valueStart, valueEnd - valueStart)));
        start = text.find(kKey, valueEnd + 1);
        continue;
      }
    }
    start = text.find(kKey, start + 1);
  }
  return paths;
}

std::vector<std::filesystem::path> parseLibraryFolderPaths(const std::filesystem::path& vdfPath,
                                                           const FileRoot& files) {
  return libraryPathsFromVdfText(files.read(vdfPath));
}

std::vector<std::filesystem::path> steamLibraryRoots(const std::vector<std::filesystem::path>& roots,
                                                     const FileRoot& files) {
  // Only the given roots' lists are read: Steam keeps the one list in its installation, not in each library.
  LibraryList libraries;
  for (const std::filesystem::path& root : roots) {
    libraries.add(root);
    for (const std::filesystem::path& library : parseLibraryFolderPaths(root / "steamapps/libraryfolders.vdf", files)) {
      libraries.add(library);
    }
  }
  return std::move(libraries.paths);
}

}  // namespace cs
