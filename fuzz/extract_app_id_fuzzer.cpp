// extractAppId on a process's command line, which that process chooses, and against the pattern it stands for.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>

#include "fuzz/fuzz_check.h"
#include "steam/steam_launch.h"

namespace {

constexpr const char* kCompanionAppId = "4081736";

// The reference: the leftmost match of appid_re, no value when there is none or it is the companion's AppID.
std::optional<std::string> appIdByRegex(const std::string& commandLine) {
  static const std::regex appid_re("SteamLaunch\\s+AppId=([0-9]+)", std::regex::ECMAScript);
  std::smatch match;
  if (!std::regex_search(commandLine, match, appid_re) || match[1] == kCompanionAppId) return std::nullopt;
  return match[1].str();
}

bool allDigits(const std::string& text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string commandLine = cs::fuzz::bytesOf(data, size);
  const auto found = cs::extractAppId(commandLine);
  std::optional<std::string> appId;
  if (found) appId = std::string(*found);

  if (appId) {
    require(!appId->empty() && allDigits(*appId), "an AppID is a run of decimal digits");
    require(*appId != kCompanionAppId, "the companion's own AppID is no launch");
    require(commandLine.find("SteamLaunch") != std::string::npos, "an AppID needs the launch marker");
    require(commandLine.find("AppId=" + *appId) != std::string::npos, "the AppID follows \"AppId=\"");
  }
  if (size <= cs::fuzz::kMaxRegexInput) require(appId == appIdByRegex(commandLine), "agrees with appid_re");
  return 0;
}
