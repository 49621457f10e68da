// The parsers of an X server's replies and connection setup, on bytes a hostile server chose: nothing is read past
// the bytes (the sanitizers see to that), and what comes out lies within the part the reply's length field covers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "x11/x_replies.h"

namespace {

std::uint32_t card32At(const std::uint8_t* data, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, data + at, sizeof value);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  // A copy of exactly the input's size, so that a read past it is one past the allocation.
  const std::vector<std::uint8_t> bytes(data, data + size);
  const cs::XBytes reply(bytes);
  // What a reply holds past its header: as far as both the bytes and its length field reach.
  const std::size_t body = size < 32 ? 0 : std::min<std::size_t>(size, 32 + std::size_t{card32At(data, 4)} * 4) - 32;
  const std::uint32_t valueLength = size < 32 ? 0 : card32At(data, 16);

  const std::vector<std::uint32_t> windows = cs::windowsFromProperty(reply);
  require(windows.size() * 4 <= body && windows.size() <= valueLength, "the windows lie within the reply's body");
  for (std::size_t i = 0; i < windows.size(); ++i) {
    require(windows[i] == card32At(data, 32 + 4 * i), "each window is the item at its place");
  }

  const std::string netName = cs::netWmNameFromProperty(reply);
  require(netName.size() <= body && netName.size() <= valueLength, "the title lies within the reply's body");
  require(netName.empty() || std::memcmp(netName.data(), data + 32, netName.size()) == 0, "the title is the items");

  const std::string wmName = cs::wmNameFromProperty(reply);
  require(wmName.size() <= body && wmName.find('\0') == std::string::npos, "WM_NAME ends before its first NUL");
  require(wmName.empty() || std::memcmp(wmName.data(), data + 32, wmName.size()) == 0, "WM_NAME is the items");

  if (const auto pid = cs::pidFromProperty(reply)) {
    require(body >= 4 && valueLength >= 1, "a pid comes from an item the reply holds");
    require(static_cast<std::uint32_t>(*pid) == card32At(data, 32), "the pid is the first item");
  }

  const std::vector<std::uint32_t> children = cs::childrenFromQueryTree(reply);
  require(children.size() * 4 <= body, "the children lie within the reply's body");
  for (std::size_t i = 0; i < children.size(); ++i) {
    require(children[i] == card32At(data, 32 + 4 * i), "each child is the item at its place");
  }

  if (const auto pid = cs::clientPidFromClientIds(reply)) require(*pid > 0, "a client's pid is positive");

  for (int screen = 0; screen < 4; ++screen) {
    if (cs::rootOfScreen(reply, screen)) require(size > 28 && screen < data[28], "a root belongs to a listed screen");
  }
  return 0;
}
