// protonDirFromCmdline on a process's command line, which that process chooses.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "steam/proton_runtime.h"

namespace {

constexpr std::string_view kScript = "/proton";
constexpr std::string_view kCommon = "/steamapps/common/";

bool isSpaceByte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The reference, position by position: the first "/proton" that ends a word and has "/steamapps/common/"
// starting at or before it; the directory is everything in front of it.
std::optional<std::string> dirByScan(const std::string& line) {
  for (std::size_t q = 0; q + kScript.size() <= line.size(); ++q) {
    if (line.compare(q, kScript.size(), kScript) != 0) continue;
    const std::size_t after = q + kScript.size();
    if (after != line.size() && !isSpaceByte(line[after])) continue;
    if (line.rfind(kCommon, q) == std::string::npos) continue;
    return line.substr(0, q);
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string line = cs::fuzz::bytesOf(data, size);
  const auto found = cs::protonDirFromCmdline(line);
  std::optional<std::string> dir;
  if (found) dir = found->native();

  if (dir) {
    require(!dir->empty(), "a build directory is not empty");
    require(line.compare(0, dir->size(), *dir) == 0, "the directory is the start of the line, verbatim");
  }
  require(dir == dirByScan(line), "the directory ends at the first accepted \"/proton\"");
  return 0;
}
