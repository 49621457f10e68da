// Byte-string helpers shared by every subsystem; all are pure.
#ifndef CS_COMMON_TEXT_H
#define CS_COMMON_TEXT_H

#include <string>
#include <string_view>
#include <vector>

namespace cs {

// Joins the words with one space between each two; no quoting, so "x y" reads like two words.
std::string joinArgs(const std::vector<std::string>& words);

// Returns the text without its trailing "/" characters; a lone "/" is kept.
std::string withoutTrailingSlashes(std::string text);

// Returns whether the text ends with the suffix, byte for byte; the empty suffix ends every text.
bool endsWith(const std::string& text, const std::string& suffix);

// Returns the text with each control byte (below 0x20, and 0x7f) written as \xNN: text that another process chose,
// written into one log line or one record, can then hold no line break of its own. Other bytes stay as they are.
std::string escapeControlBytes(std::string_view text);

}  // namespace cs

#endif  // CS_COMMON_TEXT_H
