#include "x11/x_replies.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace cs {

namespace {

// Every reply starts with 32 bytes, whatever its length field says.
constexpr std::size_t kReplyHeader = 32;
constexpr std::size_t kSetupHeader = 8;

// The predefined atoms of the core protocol that the scan names.
constexpr std::uint32_t kAtomCardinal = 6;
constexpr std::uint32_t kAtomString = 31;
constexpr std::uint32_t kAtomWindow = 33;

std::uint16_t card16(XBytes bytes, std::size_t at) {
  std::uint16_t value = 0;
  if (at + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

std::uint32_t card32(XBytes bytes, std::size_t at) {
  std::uint32_t value = 0;
  if (at + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

std::uint8_t card8(XBytes bytes, std::size_t at) { return at < bytes.size() ? bytes[at] : 0; }

// The reply as far as both its bytes and its length field reach; empty when not even the header is there.
XBytes wholeReply(XBytes reply) {
  if (reply.size() < kReplyHeader) return {};
  const std::size_t stated = kReplyHeader + std::size_t{card32(reply, 4)} * 4;
  return reply.first(std::min(reply.size(), stated));
}

// A GetProperty reply:
//     0 reply (1)    1 format (0, 8, 16 or 32)   2 sequence (2)   4 length (4, in 4-byte units past 32)
//     8 type (atom)  12 bytes after (4)          16 value length (4, in items)   20 unused (12)
//     32 the items
struct Property {
  std::uint32_t type = 0;
  std::uint8_t format = 0;
  XBytes items;  // only whole items, at most as many as the value length says
  std::size_t count = 0;
};

std::optional<Property> propertyOf(XBytes reply) {
  const XBytes whole = wholeReply(reply);
  if (whole.empty()) return std::nullopt;
  Property property;
  property.format = card8(whole, 1);
  property.type = card32(whole, 8);
  if (property.format != 8 && property.format != 16 && property.format != 32) return property;
  const std::size_t itemSize = property.format / 8;
  const XBytes body = whole.subspan(kReplyHeader);
  property.count = std::min<std::size_t>(card32(whole, 16), body.size() / itemSize);
  property.items = body.first(property.count * itemSize);
  return property;
}

std::vector<std::uint32_t> card32List(XBytes bytes, std::size_t count) {
  std::vector<std::uint32_t> values(count);
  if (count > 0) std::memcpy(values.data(), bytes.data(), count * sizeof(std::uint32_t));
  return values;
}

}  // namespace

XBytes replyBytes(const void* reply) {
  if (reply == nullptr) return {};
  std::uint32_t length = 0;
  std::memcpy(&length, static_cast<const std::uint8_t*>(reply) + 4, sizeof length);
  return {static_cast<const std::uint8_t*>(reply), kReplyHeader + std::size_t{length} * 4};
}

XBytes setupBytes(const void* setup) {
  if (setup == nullptr) return {};
  std::uint16_t length = 0;
  std::memcpy(&length, static_cast<const std::uint8_t*>(setup) + 6, sizeof length);
  return {static_cast<const std::uint8_t*>(setup), kSetupHeader + std::size_t{length} * 4};
}

std::optional<std::int32_t> pidFromProperty(XBytes reply) {
  const std::optional<Property> property = propertyOf(reply);
  if (!property || property->type != kAtomCardinal || property->format != 32 || property->count == 0) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(card32(property->items, 0));
}

std::string netWmNameFromProperty(XBytes reply) {
  const std::optional<Property> property = propertyOf(reply);
  if (!property || property->format != 8) return {};
  return std::string(reinterpret_cast<const char*>(property->items.data()), property->items.size());
}

std::string wmNameFromProperty(XBytes reply) {
  const std::optional<Property> property = propertyOf(reply);
  if (!property || property->type != kAtomString || property->format != 8) return {};
  const auto* bytes = reinterpret_cast<const char*>(property->items.data());
  return std::string(bytes, strnlen(bytes, property->items.size()));
}

std::vector<std::uint32_t> windowsFromProperty(XBytes reply) {
  const std::optional<Property> property = propertyOf(reply);
  if (!property || property->type != kAtomWindow || property->format != 32) return {};
  return card32List(property->items, property->count);
}

// A QueryTree reply:
//     0 reply (1)   1 unused   2 sequence (2)   4 length (4)   8 root (4)   12 parent (4)   16 children (2)
//     18 unused (14)   32 the children, 4 bytes each
std::vector<std::uint32_t> childrenFromQueryTree(XBytes reply) {
  const XBytes whole = wholeReply(reply);
  if (whole.empty()) return {};
  const std::size_t count = std::min<std::size_t>(card16(whole, 16), (whole.size() - kReplyHeader) / 4);
  return card32List(whole.subspan(kReplyHeader), count);
}

// An X-Resource QueryClientIds reply:
//     0 reply (1)   1 unused   2 sequence (2)   4 length (4)   8 ids (4)   12 unused (20)
//     32 the ids, each: client (4)   mask (4)   value length (4, in bytes)   the value, 4-byte numbers
std::optional<std::int32_t> clientPidFromClientIds(XBytes reply) {
  const XBytes whole = wholeReply(reply);
  if (whole.empty()) return std::nullopt;
  constexpr std::size_t kIdHeader = 12;
  const std::uint32_t ids = card32(whole, 8);
  std::size_t at = kReplyHeader;
  for (std::uint32_t i = 0; i < ids && whole.size() - at >= kIdHeader; ++i) {
    const std::size_t valueBytes = std::size_t{card32(whole, at + 8)} / 4 * 4;
    at += kIdHeader;
    if (valueBytes > whole.size() - at) break;  // an id cut short holds nothing that can be trusted
    if (valueBytes >= 4) {
      const std::uint32_t pid = card32(whole, at);
      if (pid > 0 && pid <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        return static_cast<std::int32_t>(pid);
      }
    }
    at += valueBytes;
  }
  return std::nullopt;
}

// A successful connection setup:
//     0 status 1 (1)   1 unused   2 protocol (4)   6 length (2, in 4-byte units past 8)   8 release, id base, id
//     mask, motion buffer (16)   24 vendor length (2)   26 request length (2)   28 screens (1)   29 formats (1)
//     30 unused here (10)   40 the vendor, padded to 4 bytes   the formats, 8 bytes each   the screens, each:
//     its root (4) and more, 40 bytes in all, the last its number of depths (1); then its depths, each 8 bytes
//     with its number of visuals (2) at 2, followed by its visuals, 24 bytes each
std::optional<std::uint32_t> rootOfScreen(XBytes setup, int screen) {
  constexpr std::size_t kFixed = 40, kFormat = 8, kScreen = 40, kDepth = 8, kVisual = 24;
  if (setup.size() < kSetupHeader || screen < 0) return std::nullopt;
  const XBytes whole = setup.first(std::min(setup.size(), kSetupHeader + std::size_t{card16(setup, 6)} * 4));
  if (whole.size() < kFixed || card8(whole, 0) != 1) return std::nullopt;
  const std::size_t screens = card8(whole, 28);
  std::size_t at = kFixed + (std::size_t{card16(whole, 24)} + 3) / 4 * 4 + kFormat * card8(whole, 29);
  for (std::size_t i = 0; i < screens; ++i) {
    if (at > whole.size() || whole.size() - at < kScreen) return std::nullopt;
    if (i == static_cast<std::size_t>(screen)) return card32(whole, at);
    const std::size_t depths = card8(whole, at + kScreen - 1);
    at += kScreen;
    for (std::size_t d = 0; d < depths; ++d) {
      if (at > whole.size() || whole.size() - at < kDepth) return std::nullopt;
      at += kDepth + kVisual * card16(whole, at + 2);
    }
  }
  return std::nullopt;
}

}  // namespace cs
