// The system's wine for tests that run Windows programs as the test user: its loader and wineserver, and a prefix
// made once by wineboot and copied for each case.
#ifndef CS_TESTS_WINE_WINE_PREFIX_H
#define CS_TESTS_WINE_WINE_PREFIX_H

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs::test {

// The 64-bit wine loader, or an empty path when wine is not installed.
std::filesystem::path wineLoader();

// The wineserver of the same build as the loader.
std::filesystem::path wineserverFor(const std::filesystem::path& loader);

// The environment wine runs in for the tests: the prefix, HOME beside it, quiet, and nothing to install.
std::vector<std::string> wineEnvironment(const std::filesystem::path& prefix);

// Runs the wine program (the loader or wineserver) with the arguments as the user, in the prefix; returns whether
// it ended with status 0 within the time given.
bool runWine(const TestUser& user, const std::vector<std::string>& argv, const std::filesystem::path& prefix,
             std::chrono::seconds timeout, const std::optional<std::filesystem::path>& output);

// Copies the tree as it is, owners included: wine refuses a prefix that is not the user's own.
bool copyTree(const std::filesystem::path& from, const std::filesystem::path& to);

// The prefix every case starts from, owned by the user, made once for each build of wine and kept in the build
// tree; an empty path (and a test failure) when wineboot failed.
std::filesystem::path prefixTemplate(const TestUser& user, const std::filesystem::path& loader);

// The wineservers that serve the prefix, wherever they run (another mount namespace, another /tmp); -1 when the
// prefix is not there.
int wineserversOfPrefix(const std::filesystem::path& prefix);

}  // namespace cs::test

#endif  // CS_TESTS_WINE_WINE_PREFIX_H
