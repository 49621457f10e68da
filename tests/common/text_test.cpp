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
      {"", ""},         {"/", "/"}, {"///", "/"},         {"a//", "a"},    {"/a/b///", "/a/b"},
      {"/a/b", "/a/b"}, {"a", "a"}, {"//a//b", "//a//b"}, {"a/./", "a/."},
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

TEST(Text, LogTextEscapesControlsAndBrokenUtf8AndKeepsPrintableUtf8) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"Game 730", "Game 730"},
      {"a\nb\r\tc", "a\\x0ab\\x0d\\x09c"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x1b[2Jbell\x07\x7f", "\\x1b[2Jbell\\x07\\x7f"},
      {"Caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xae", "Caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xae"},
      {"csi\xc2\x9b"
       "2J nbsp\xc2\xa0",
       "csi\\xc2\\x9b2J nbsp\xc2\xa0"},
      {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9"},
      {"cut \xe2\x80", "cut \\xe2\\x80"},
      {"overlong \xc0\xaf surrogate \xed\xa0\x80", "overlong \\xc0\\xaf surrogate \\xed\\xa0\\x80"},
      {"C:\\games\\x.exe", "C:\\games\\x.exe"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(logText(text), expected) << "text \"" << text << "\"";
}

}  // namespace
}  // namespace cs
