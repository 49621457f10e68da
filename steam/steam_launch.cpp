#include "steam/steam_launch.h"

#include <cstddef>
#include <string_view>

namespace cs {

namespace {

// The companion product's own AppID: Steam starting it is not a game being launched.
constexpr const char* kCompanionAppId = "4081736";
constexpr const char* kLaunchMarker = "SteamLaunch";

bool isRegexSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// appid_re: SteamLaunch\s+AppId=([0-9]+), leftmost search.
//
// Hand-written because std::regex recurses once per repeated character and overflows the stack on a long
// digit or white-space run. Each try starts at an occurrence of "SteamLaunch". \s+ must take the whole
// white-space run: giving any of it back leaves a white-space byte where "A" is needed, so there is nothing to
// backtrack into. [0-9]+ ends the pattern, so its greedy run is the whole digit run. A failed try therefore
// fails for every shorter run too, and the next start to try is the next "SteamLaunch". That occurrence lies
// past the white space just scanned (it starts with "S"), so every byte is looked at a bounded number of times.
std::optional<std::string> firstAppIdMatch(const std::string& text) {
  constexpr std::size_t kMarkerLength = 11;  // "SteamLaunch"
  constexpr std::string_view kKey = "AppId=";
  std::size_t start = text.find(kLaunchMarker);
  while (start != std::string::npos) {
    std::size_t pos = start + kMarkerLength;
    const std::size_t spaceStart = pos;
    while (pos < text.size() && isRegexSpace(text[pos])) ++pos;
    if (pos > spaceStart && text.compare(pos, kKey.size(), kKey) == 0) {
      const std::size_t digitsStart = pos + kKey.size();
      std::size_t digitsEnd = digitsStart;
      while (digitsEnd < text.size() && isDigit(text[digitsEnd])) ++digitsEnd;
      if (digitsEnd > digitsStart) return text.substr(digitsStart, digitsEnd - digitsStart);
    }
    start = text.find(kLaunchMarker, pos);
  }
  return std::nullopt;
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::optional<std::string> extractAppId(const std::string& commandLine) {
  std::optional<std::string> appId = firstAppIdMatch(commandLine);
  // Only the leftmost launch counts: the companion's own AppID there is not overridden by a later one.
  if (appId && *appId == kCompanionAppId) return std::nullopt;
  return appId;
}

bool isCurselloChild(const ProcessInfo& info) {
  return contains(info.commandLine, "Cursello.exe") || contains(info.commandLine, "--proton-child");
}

}  // namespace cs
