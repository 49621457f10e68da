// splitNullSeparated on the bytes of a cmdline or environ file, which the process itself writes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "common/text.h"
#include "proc/process_snapshot.h"

namespace {

// The bytes with each run of NUL bytes cut to one and those at either end removed: what the items, joined by
// NUL bytes, must give back.
std::string withoutEmptyItems(std::string_view bytes) {
  std::string text;
  bool pendingSeparator = false;
  for (const char c : bytes) {
    if (c == '\0') {
      pendingSeparator = !text.empty();
      continue;
    }
    if (pendingSeparator) text.push_back('\0');
    pendingSeparator = false;
    text.push_back(c);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string bytes = cs::fuzz::bytesOf(data, size);
  const auto items = cs::splitNullSeparated(bytes);
  std::string joined;
  for (const auto& item : items) {
    const std::string_view view(item);
    require(!view.empty(), "items are not empty");
    require(view.find('\0') == std::string_view::npos, "items hold no NUL byte");
    if (!joined.empty()) joined.push_back('\0');
    joined.append(view);
  }
  require(joined == withoutEmptyItems(bytes), "the items joined by NUL are the input without its empty items");
  // The scan joins a cmdline in place, without the list; it must give what joinArgs gives on the items.
  require(cs::joinNullSeparated(bytes) == cs::joinArgs(items), "the join in place equals joinArgs of the items");
  return 0;
}
