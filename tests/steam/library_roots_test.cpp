#include "steam/library_roots.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace cs {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

constexpr std::size_t kMiB = 1024 * 1024;

std::string vdfWithPaths(const std::vector<std::string>& escapedPaths) {
  std::string text = "\"libraryfolders\"\n{\n";
  for (std::size_t i = 0; i < escapedPaths.size(); ++i) {
    text += "\t\"" + std::to_string(i) + "\"\n\t{\n\t\t\"path\"\t\t\"" + escapedPaths[i] +
            "\"\n\t\t\"label\"\t\t\"\"\n\t\t\"contentid\"\t\t\"4263\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"228980\"\t\t\"1\"\n"
            "\t\t}\n\t}\n";
  }
  return text + "}\n";
}

struct VdfRow {
  std::string text;
  Paths paths;
};

TEST(LibraryPathsFromVdfText, TakesEveryQuotedPathKey) {
  const std::vector<VdfRow> rows = {
      {vdfWithPaths({"/home/u/.local/share/Steam", "/mnt/games/SteamLibrary"}),
       {"/home/u/.local/share/Steam", "/mnt/games/SteamLibrary"}},
      {"\"path\" \"/a\"", {"/a"}},
      {"\"path\"\"/a\"", {"/a"}},
      {"\"path\"\t\n\t\"/a\"", {"/a"}},
      {"\"path\" \v\f\r\"/a\"", {"/a"}},
      {"{\"x\"{\"y\"{\"path\" \"/deep\"}}} \"path\" \"/flat\"", {"/deep", "/flat"}},
      {"\"Path\" \"/a\"", {}},
      {"\"PATH\" \"/a\"", {}},
      {"\"libpath\" \"/a\"", {}},
      {"\"path \" \"/a\"", {}},
      {"path \"/a\"", {}},
      {"\"path\" /a", {}},
      {"\"path\" x \"/a\"", {}},
      {"\"path\" \"\"", {}},
      {"\"path\" \"\" \"path\" \"/b\"", {"/b"}},
      {"\"path\" \"\"path\" \"/c\"", {"/c"}},
      {"\"path\" \"path\" \"/x\"", {"path"}},
      {"\"path\"path\" \"/y\"", {"/y"}},
      {"\"path\" \"/a", {}},
      {"\"path\" \"/ok\" \"path\" \"/a", {"/ok"}},
      {"\"path\" \"/a\nb\"", {"/a\nb"}},
      {"\"path\" \" /spaced /\"", {" /spaced /"}},
      {"\"path\" \"/mnt/Spiele \xc3\x9c\"", {"/mnt/Spiele \xc3\x9c"}},
      {std::string("\"path\" \"/a\0b\"", 13), {std::string("/a\0b", 4)}},
      {"\"path\" \"/a\" \"path\" \"/a\"", {"/a", "/a"}},
      {"", {}},
  };
  for (const VdfRow& row : rows) {
    EXPECT_EQ(libraryPathsFromVdfText(row.text), row.paths) << "text: \"" << row.text << "\"";
  }
}

TEST(LibraryPathsFromVdfText, UndoesBackslashEscapes) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {R"(D:\\Games\\SteamLibrary)", R"(D:\Games\SteamLibrary)"},
      {R"(a\qb)", "aqb"},
      {R"(a\nb)", "anb"},
      {R"(a\\\\b)", R"(a\\b)"},
      {R"(a\\\b)", R"(a\b)"},
      {R"(C:\)", R"(C:\)"},
      {R"(\\\)", R"(\\)"},
      {R"(\)", R"(\)"},
      {R"(\x)", "x"},
  };
  for (const auto& [value, expected] : rows) {
    EXPECT_EQ(libraryPathsFromVdfText("\"path\" \"" + value + "\""), Paths{expected}) << "value: " << value;
  }
  // An escaped quote cannot be part of a value: the value ends there and keeps its backslash.
  EXPECT_EQ(libraryPathsFromVdfText(R"("path" "/a\"b" "path" "/c")"), (Paths{R"(/a\)", "/c"}));
}

// The pattern the parser stands for, run by std::regex on inputs short enough for its recursion.
Paths pathsByRegex(const std::string& text) {
  static const std::regex path_re("\"path\"\\s*\"([^\"]+)\"");
  Paths paths;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), path_re); it != std::sregex_iterator(); ++it) {
    paths.emplace_back((*it)[1].str());
  }
  return paths;
}

TEST(LibraryPathsFromVdfText, AgreesWithThePatternOnShortTexts) {
  // No backslashes here, so the captured values come back unchanged.
  const std::vector<std::string> pieces = {"\"path\"", "\"", "path", " ", "\t", "\n", "x", "\"pat", "h\"", "/"};
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int round = 0; round < 10000; ++round) {
    std::string text;
    for (int n = length(random); n > 0; --n) text += pieces[pick(random)];
    ASSERT_EQ(libraryPathsFromVdfText(text), pathsByRegex(text)) << "text: \"" << text << "\"";
  }
}

TEST(LibraryPathsFromVdfText, ReadsAMebibyteValue) {
  const std::string value = "/" + std::string(kMiB, 'v');
  EXPECT_EQ(libraryPathsFromVdfText("\"path\" \"" + value + "\""), Paths{value});
  EXPECT_EQ(libraryPathsFromVdfText("\"path\" \"" + value), Paths{});

  std::string escaped;
  while (escaped.size() < kMiB) escaped += R"(\\)";
  EXPECT_EQ(libraryPathsFromVdfText("\"path\" \"" + escaped + "\""), Paths{std::string(escaped.size() / 2, '\\')});
}

TEST(LibraryPathsFromVdfText, CrossesAMebibyteOfWhiteSpace) {
  std::string space;
  for (std::size_t i = 0; space.size() < kMiB; ++i) space.push_back(" \t\n\v\f\r"[i % 6]);
  EXPECT_EQ(libraryPathsFromVdfText("\"path\"" + space + "\"/lib\""), Paths{"/lib"});
  EXPECT_EQ(libraryPathsFromVdfText("\"path\"" + space + "x\"/lib\""), Paths{});
  EXPECT_EQ(libraryPathsFromVdfText("\"path\"" + space), Paths{});
}

TEST(LibraryPathsFromVdfText, SkipsAMebibyteOfNearMisses) {
  const std::vector<std::string> misses = {"\"path\" x", "\"Path\" \"/a\"", "\"path\" \"\"", "\"pat\" \"/a\"",
                                           "\"path\"path", "\"xpath\" \"/a\"", "\"path\"\t\nx"};
  for (const std::string& miss : misses) {
    std::string text;
    while (text.size() < kMiB) text += miss;
    EXPECT_EQ(libraryPathsFromVdfText(text), Paths{}) << "repeated: \"" << miss << "\"";
    EXPECT_EQ(libraryPathsFromVdfText(text + "\n\"path\" \"/z\""), Paths{"/z"}) << "repeated: \"" << miss << "\"";
  }
  std::string many;
  while (many.size() < kMiB) many += "\"path\" \"/m\"";
  EXPECT_EQ(libraryPathsFromVdfText(many).size(), many.size() / 11);
}

TEST(ParseLibraryFolderPaths, ReadsTheFileAndToleratesItsAbsence) {
  test::TempDir dir;
  const fs::path vdf = dir.path() / "libraryfolders.vdf";
  test::writeFile(vdf, vdfWithPaths({"/home/u/.local/share/Steam", R"(/mnt/back\\slash)"}));
  EXPECT_EQ(parseLibraryFolderPaths(vdf), (Paths{"/home/u/.local/share/Steam", R"(/mnt/back\slash)"}));
  EXPECT_EQ(parseLibraryFolderPaths(dir.path() / "missing.vdf"), Paths{});
  EXPECT_EQ(parseLibraryFolderPaths(dir.path()), Paths{});
}

TEST(DefaultSteamRoots, ExpandsBothLocationsUnderHome) {
  {
    test::ScopedEnvironmentVariable home("HOME", "/home/u");
    EXPECT_EQ(defaultSteamRoots(), (Paths{"/home/u/.steam/debian-installation", "/home/u/.local/share/Steam"}));
  }
  {
    test::ScopedEnvironmentVariable home("HOME", "/home/u/");
    EXPECT_EQ(defaultSteamRoots(), (Paths{"/home/u/.steam/debian-installation", "/home/u/.local/share/Steam"}));
  }
  {
    test::ScopedEnvironmentVariable home("HOME", std::nullopt);
    EXPECT_EQ(defaultSteamRoots(), (Paths{".steam/debian-installation", ".local/share/Steam"}));
  }
}

TEST(SteamLibraryRoots, ListsRootsAndTheirLibrariesOnceInFirstSeenOrder) {
  test::TempDir dir;
  const fs::path home = dir.path() / "home";
  const fs::path debianRoot = home / ".steam/debian-installation";
  const fs::path localRoot = home / ".local/share/Steam";
  const std::string games = (dir.path() / "mnt/games/SteamLibrary").string();
  const std::string lib = (dir.path() / "mnt/lib").string();
  test::writeFile(debianRoot / "steamapps/libraryfolders.vdf", vdfWithPaths({localRoot.string(), games}));
  test::writeFile(localRoot / "steamapps/libraryfolders.vdf",
                  vdfWithPaths({localRoot.string() + "/", games, (dir.path() / "mnt/x/../lib").string(), lib,
                                lib + "//", dir.path().string() + "/./mnt//games/SteamLibrary"}));
  // A library's own list is not followed.
  test::writeFile(fs::path(games) / "steamapps/libraryfolders.vdf",
                  vdfWithPaths({(dir.path() / "hidden").string()}));

  test::ScopedEnvironmentVariable scopedHome("HOME", home.string());
  EXPECT_EQ(steamLibraryRoots(defaultSteamRoots()),
            (Paths{debianRoot, localRoot, games, localRoot.string() + "/", lib, lib + "/"}));
}

TEST(SteamLibraryRoots, NormalisesRootsThatDoNotExistAndSkipsEmptyOnes) {
  test::TempDir dir;
  const fs::path missing = dir.path() / "nowhere";
  EXPECT_EQ(steamLibraryRoots({missing / "./a//b/../c", "", missing / "a/c", missing / "a/c/"}),
            (Paths{missing / "a/c", missing / "a/c/"}));
  EXPECT_EQ(steamLibraryRoots({}), Paths{});

  test::ScopedEnvironmentVariable home("HOME", std::nullopt);
  EXPECT_EQ(steamLibraryRoots(defaultSteamRoots()), (Paths{".steam/debian-installation", ".local/share/Steam"}));
}

TEST(SteamLibraryRoots, KeepsTheFirst256OfAListAnyoneCouldHaveWritten) {
  test::TempDir dir;
  std::vector<std::string> listed;
  for (int i = 0; i < 50000; ++i) listed.push_back("/lib/" + std::to_string(i % 2 == 0 ? 0 : i));
  test::writeFile(dir.path() / "steamapps/libraryfolders.vdf", vdfWithPaths(listed));
  const Paths libraries = steamLibraryRoots({dir.path()});
  ASSERT_EQ(libraries.size(), 256u);
  EXPECT_EQ(libraries[1], "/lib/0");
  EXPECT_EQ(libraries[2], "/lib/1");
  EXPECT_EQ(libraries[255], "/lib/507");
}

}  // namespace
}  // namespace cs
