// What every fuzz target uses to report a broken property: a crash that libFuzzer records with its input.
#ifndef CS_FUZZ_FUZZ_CHECK_H
#define CS_FUZZ_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace cs::fuzz {

// The longest input handed to std::regex: its executor recurses once per character matched, and a few KB is
// where the stack of a sanitized build stops being safe.
constexpr std::size_t kMaxRegexInput = 2048;

// Returns the fuzzer's bytes as one string, NUL bytes included.
inline std::string bytesOf(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Aborts with the property's name when it does not hold; libFuzzer then saves the input as a crash.
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", property);
  std::abort();
}

}  // namespace cs::fuzz

#endif  // CS_FUZZ_FUZZ_CHECK_H
