// parseEnvironment on the items of an environ file, which the process itself writes, split as the scan splits it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fuzz/fuzz_check.h"
#include "proc/process_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string bytes = cs::fuzz::bytesOf(data, size);
  const auto items = cs::splitNullSeparated(bytes);
  const auto environment = cs::parseEnvironment(items);

  // Each name's first value, by a walk of the items in order; the names run to the first "=".
  std::unordered_map<std::string_view, std::string_view> firstValues;
  for (const auto& item : items) {
    const std::string_view view(item);
    const std::size_t equals = view.find('=');
    if (equals == std::string_view::npos) continue;
    firstValues.emplace(view.substr(0, equals), view.substr(equals + 1));
  }

  require(environment.size() == firstValues.size(), "one variable for each name of an item with \"=\"");
  for (const auto& [name, value] : environment) {
    const std::string_view nameView(name);
    require(nameView.find('=') == std::string_view::npos, "names hold no \"=\"");
    require(nameView.find('\0') == std::string_view::npos, "names hold no NUL byte");
    const auto first = firstValues.find(nameView);
    require(first != firstValues.end(), "every name comes from an item");
    require(std::string_view(value) == first->second, "the first occurrence of a name wins");
    // The lookup in place, which the poll uses instead of the map, finds the same value.
    const auto inPlace = cs::environmentValueIn(bytes, name);
    require(inPlace.has_value() && *inPlace == std::string_view(value), "the lookup in place finds every variable");
  }
  // And finds nothing the map lacks: try every prefix of every item as a name (names hold no "=" or NUL).
  for (const auto& item : items) {
    const std::string_view view(item);
    for (std::size_t length = 0; length <= view.size() && length <= 64; ++length) {
      const std::string_view name = view.substr(0, length);
      if (name.find('=') != std::string_view::npos) break;
      const auto found = environment.find(std::string(name));
      const auto inPlace = cs::environmentValueIn(bytes, name);
      require(inPlace.has_value() == (found != environment.end()), "the lookup in place agrees on presence");
    }
  }
  return 0;
}
