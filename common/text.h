// Byte-string helpers shared by every subsystem; all are pure.
#ifndef CS_COMMON_TEXT_H
#define CS_COMMON_TEXT_H

#include <string>
#include <vector>

namespace cs {

// Joins the words with one space between each two; no quoting, so "x y" reads like two words.
std::string joinArgs(const std::vector<std::string>& words);

// Returns the text without its trailing "/" characters; a lone "/" is kept.
std::string withoutTrailingSlashes(std::string text);

// Returns whether the text ends with the suffix, byte for byte; the empty suffix ends every text.
bool endsWith(const std::string& text, const std::string& suffix);

}  // namespace cs

#endif  // CS_COMMON_TEXT_H
