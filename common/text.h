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

// Returns the text as it may be written into the log: every control character (C0, DEL, and C1 written in UTF-8)
// and every byte that is not part of valid UTF-8 becomes "\xNN" per byte, so that a newline or a terminal escape
// in another process's title, path or name cannot forge a line; printable UTF-8 stays as it is.
std::string logText(std::string_view text);

}  // namespace cs

#endif  // CS_COMMON_TEXT_H
