#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cs {
namespace {

std::string describe(const std::vector<std::string>& words) {
  std::string text = "{";
  for (const auto& w : words) text += "\"" + w + "\" ";
  return text + "}";
}

TEST(Text, JoinArgsPutsOneSpaceBetweenWordsWithoutQuoting) {
  struct Row {
    std::vector<std::string> words;
    std::string joined;
  };
  const std::vector<Row> rows = {
      {{}, ""},
      {{"one"}, "one"},
      {{""}, ""},
      {{"wine", "", "x y"}, "wine  x y"},
      {{"x y", "z"}, "x y z"},
      {{"", ""}, " "},
      {{"a", "b", "c"}, "a b c"},
  };
  for (const Row& row : rows) EXPECT_EQ(joinArgs(row.words), row.joined) << "words " << describe(row.words);
}

TEST(Text, WithoutTrailingSlashesKeepsALoneSlashAndInnerSlashes) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},          {"/", "/"},       {"///", "/"},   {"a//", "a"},   {"/a/b///", "/a/b"},
      {"/a/b", "/a/b"},  {"a", "a"},       {"//a//b", "//a//b"},          {"a/./", "a/."},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(withoutTrailingSlashes(text), expected) << "text \"" << text << "\"";
  }
}

TEST(Text, EndsWithComparesTheLastBytesExactly) {
  struct Row {
    std::string text;
    std::string suffix;
    bool expected;
  };
  const std::vector<Row> rows = {
      {"", "", true},
      {"abc", "", true},
      {"", "a", false},
      {"/steamapps/compatdata/123", "/123", true},
      {"/steamapps/compatdata/1234", "/123", false},
      {"/steamapps/compatdata/0123", "/123", false},
      {"abc", "abc", true},
      {"bc", "abc", false},
      {"ABC", "bc", false},
      {std::string("a\0b", 3), std::string("\0b", 2), true},
      {std::string("a\0b", 3), "b", true},
      {"ab", std::string("\0b", 2), false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(endsWith(row.text, row.suffix), row.expected)
        << "text \"" << row.text << "\" suffix \"" << row.suffix << "\"";
  }
}

TEST(EscapeControlBytes, WritesEachControlByteAsItsHexCodeAndLeavesTheRest) {
  EXPECT_EQ(escapeControlBytes("Game\n2026-12-09 00:00:00 Launched"), "Game\\x0a2026-12-09 00:00:00 Launched");
  EXPECT_EQ(escapeControlBytes(std::string("a\tb\x7f\0\x1b", 6)), "a\\x09b\\x7f\\x00\\x1b");
  EXPECT_EQ(escapeControlBytes("Caf\xc3\xa9 \\ \"x\""), "Caf\xc3\xa9 \\ \"x\"");
}

}  // namespace
}  // namespace cs
