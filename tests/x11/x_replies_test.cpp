#include "x11/x_replies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace cs {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCardinal = 6, kString = 31, kWindow = 33, kUtf8String = 300;

void put(Bytes& bytes, std::size_t at, std::uint32_t value, std::size_t size = 4) {
  if (bytes.size() < at + size) bytes.resize(at + size);
  std::memcpy(bytes.data() + at, &value, size);  // 16-bit fields take the low half on a little-endian machine
}

// A reply of the header and the words after it, whose length field tells their number truthfully unless told.
Bytes reply(const std::vector<std::uint32_t>& words, std::optional<std::uint32_t> statedWords = std::nullopt) {
  Bytes bytes(32);
  bytes[0] = 1;
  put(bytes, 4, statedWords.value_or(static_cast<std::uint32_t>(words.size())));
  for (std::size_t i = 0; i < words.size(); ++i) put(bytes, 32 + 4 * i, words[i]);
  return bytes;
}

Bytes property(std::uint32_t type, std::uint8_t format, std::uint32_t valueLength,
               const std::vector<std::uint32_t>& words, std::optional<std::uint32_t> statedWords = std::nullopt) {
  Bytes bytes = reply(words, statedWords);
  bytes[1] = format;
  put(bytes, 8, type);
  put(bytes, 16, valueLength);
  return bytes;
}

std::uint32_t text(const char (&four)[5]) {
  std::uint32_t word = 0;
  std::memcpy(&word, four, 4);
  return word;
}

// A hostile server states lengths its replies do not hold; only what the bytes hold is read.
TEST(XReplies, EveryCountAServerStatesIsCutToWhatTheReplyHolds) {
  EXPECT_EQ(windowsFromProperty(property(kWindow, 32, 1000, {7, 8})), (std::vector<std::uint32_t>{7, 8}));
  EXPECT_EQ(netWmNameFromProperty(property(kUtf8String, 8, 1000, {text("Game")})), "Game");
  EXPECT_EQ(wmNameFromProperty(property(kString, 8, 1000, {text("Ga\0e")})), "Ga");
  EXPECT_EQ(pidFromProperty(property(kCardinal, 32, 1, {})), std::nullopt);
  // A length field that says less than the bytes: the reply ends where it says.
  EXPECT_EQ(windowsFromProperty(property(kWindow, 32, 3, {7, 8, 9}, 1)), (std::vector<std::uint32_t>{7}));
  EXPECT_EQ(windowsFromProperty(Bytes(31, 0xff)), (std::vector<std::uint32_t>{}));

  Bytes tree = reply({11, 12, 13});
  put(tree, 16, 500, 2);
  EXPECT_EQ(childrenFromQueryTree(tree), (std::vector<std::uint32_t>{11, 12, 13}));

  // Two ids stated: the first says 400 bytes of value and holds one pid, which cannot be trusted.
  Bytes ids = reply({1, 2, 400, 4242});
  put(ids, 8, 2);
  EXPECT_EQ(clientPidFromClientIds(ids), std::nullopt);
  put(ids, 32 + 8, 4);
  EXPECT_EQ(clientPidFromClientIds(ids), 4242);

  // A setup that states two screens and holds one: its root, and nothing of the other.
  Bytes setup(40);
  setup[0] = 1;
  put(setup, 24, 4, 2);      // vendor
  setup[28] = 2;             // screens
  setup[29] = 1;             // formats
  setup.resize(40 + 4 + 8);  // the vendor, one format
  put(setup, setup.size(), 0x1234);
  setup.resize(setup.size() + 36);  // the rest of the screen, without depths
  put(setup, 6, static_cast<std::uint32_t>((setup.size() - 8) / 4), 2);
  EXPECT_EQ(rootOfScreen(setup, 0), 0x1234u);
  EXPECT_EQ(rootOfScreen(setup, 1), std::nullopt);
  put(setup, 6, 1, 2);  // a length that cuts the setup before its screens
  EXPECT_EQ(rootOfScreen(setup, 0), std::nullopt);
}

}  // namespace
}  // namespace cs
