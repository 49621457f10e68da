// parentPidFromStat on the text of /proc/<pid>/stat, whose command name the process chooses (prctl, or the name
// of the file it runs): spaces, parentheses and anything else but NUL.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "proc/process_snapshot.h"

namespace {

// A stat line as the kernel writes it, with the given command name, state and parent pid.
std::string statLine(std::string_view name, char state, std::int32_t parentPid) {
  return "4242 (" + std::string(name) + ") " + state + " " + std::to_string(parentPid) +
         " 4242 4242 34817 4242 4194560 1095 0 0 0 2 0 0 0 20 0 1 0 98765 8982528 1234 18446744073709551615\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string text = cs::fuzz::bytesOf(data, size);

  // Any bytes: a parent pid comes only from the digits after the last ")".
  const std::optional<std::int32_t> any = cs::parentPidFromStat(text);
  if (any) {
    const std::size_t close = text.rfind(')');
    require(close != std::string::npos, "a parent pid needs a \")\"");
    const std::int64_t magnitude = *any < 0 ? -static_cast<std::int64_t>(*any) : *any;
    require(text.find(std::to_string(magnitude), close) != std::string::npos,
            "the parent pid's digits stand after the last \")\"");
  }

  // The bytes as a command name in a well-formed line: whatever the name holds, the parent pid is read right.
  std::uint32_t seed = 0;
  std::memcpy(&seed, data, size < sizeof seed ? size : sizeof seed);
  const std::int32_t parentPid = static_cast<std::int32_t>(seed & 0x7fffffffU);
  const char state = "RSDZTtXxKWIP"[seed % 12];
  std::string name = text;
  for (char& c : name) {
    if (c == '\0') c = ' ';  // the kernel ends a name at its first NUL
  }
  require(cs::parentPidFromStat(statLine(name, state, parentPid)) == parentPid,
          "a well-formed line gives its parent pid, whatever its command name");
  return 0;
}
