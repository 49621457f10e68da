#include "steam/proton_runtime.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <utility>

#include "steam/library_roots.h"

namespace cs {

namespace {

constexpr const char* kScriptElement = "/proton";
constexpr std::size_t kScriptElementLength = 7;
constexpr const char* kCommonPart = "/steamapps/common/";

bool isSpaceByte(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Position of the first "/proton" that protonDirFromCmdline accepts, or npos.
std::size_t acceptedScriptPosition(const std::string& commandLine) {
  // Whether "/steamapps/common/" starts at or before a position only grows with the position, so its first
  // occurrence answers the backward search for every candidate at once.
  const std::size_t common = commandLine.find(kCommonPart);
  if (common == std::string::npos) return std::string::npos;
  std::size_t p = commandLine.find(kScriptElement);
  while (p != std::string::npos) {
    const std::size_t after = p + kScriptElementLength;
    const bool endsWord = after == commandLine.size() || isSpaceByte(commandLine[after]);
    if (common <= p && endsWord) return p;
    p = commandLine.find(kScriptElement, after);
  }
  return std::string::npos;
}

struct Candidate {
  std::filesystem::path winePath;
  std::optional<std::filesystem::file_time_type> buildTime;
};

// Later build time first, a build without a time last, then the greater wine path text first. Times are read
// before sorting: reading them inside the comparison would let a build that changes mid-sort answer two ways,
// and std::sort may run past the array on an inconsistent order.
bool comesBefore(const Candidate& a, const Candidate& b) {
  if (a.buildTime.has_value() != b.buildTime.has_value()) return a.buildTime.has_value();
  if (a.buildTime && *a.buildTime != *b.buildTime) return *a.buildTime > *b.buildTime;
  return a.winePath.native() > b.winePath.native();
}

// Appends the usable Proton builds under one library's steamapps/common, in directory order.
void collectBuilds(const FileRoot& files, const std::filesystem::path& library, std::vector<Candidate>& candidates) {
  const std::filesystem::path common = library / "steamapps/common";
  if (!files.isDirectory(common)) return;
  for (const std::string& name : files.entryNames(common)) {
    if (!isCandidateProtonDirName(name)) continue;
    const std::filesystem::path build = common / name;
    // Soft links to builds elsewhere count; one that dangles or cannot be read is skipped, the walk goes on.
    if (!files.isDirectory(build)) continue;
    const std::filesystem::path winePath = winePathForProtonDir(build);
    if (!files.exists(winePath)) continue;
    candidates.push_back({winePath.lexically_normal(), std::nullopt});
  }
}

}  // namespace

std::filesystem::path winePathForProtonDir(const std::filesystem::path& protonDir) {
  return protonDir / "files/bin/wine";
}

// Accepts a process's arguments joined by spaces, in which a build's "proton" script follows its directory:
//     /lib/steamapps/common/Proton 9.0/proton waitforexitandrun /g/game.exe
// The first "/proton" that ends a word and has "/steamapps/common/" at or before it ends the directory, which
// runs from the start of the line (so an interpreter in front of the script is part of it).
std::optional<std::filesystem::path> protonDirFromCmdline(const std::string& commandLine) {
  const std::size_t p = acceptedScriptPosition(commandLine);
  if (p == std::string::npos) return std::nullopt;
  return std::filesystem::path(commandLine.substr(0, p));
}

std::optional<std::filesystem::path> protonDirFromCommandLine(const std::string& commandLine,
                                                              const FileRoot& files) {
  const std::size_t p = acceptedScriptPosition(commandLine);
  if (p == std::string::npos) return std::nullopt;
  const std::filesystem::path dir(commandLine.substr(0, p));
  if (files.exists(winePathForProtonDir(dir))) return dir.lexically_normal();
  // Steam runs the script through an interpreter (python3 .../proton, or its reaper and runtime entry point in
  // front), so the directory may start at any later word; the longest one that names a build wins.
  for (std::size_t s = 1; s < p; ++s) {
    if (commandLine[s] != '/' || !isSpaceByte(commandLine[s - 1])) continue;
    // The kernel refuses a path this long outright, so asking for it is wasted work on a huge line.
    if (p - s >= PATH_MAX) continue;
    const std::filesystem::path tail(commandLine.substr(s, p - s));
    if (files.exists(winePathForProtonDir(tail))) return tail.lexically_normal();
  }
  return std::nullopt;
}

bool isCandidateProtonDirName(const std::string& name) {
  return startsWith(name, "Proton") || startsWith(name, "GE-Proton");
}

std::optional<std::filesystem::path> findFallbackWinePath(const std::vector<std::filesystem::path>& roots,
                                                          const FileRoot& files) {
  std::vector<Candidate> candidates;
  for (const std::filesystem::path& library : steamLibraryRoots(roots, files)) {
    collectBuilds(files, library, candidates);
  }
  if (candidates.empty()) return std::nullopt;

  // Steam's own default build is the safest guess; the earliest library's copy wins without looking at times.
  for (const Candidate& candidate : candidates) {
    if (candidate.winePath.native().find("/Proton - Experimental/") != std::string::npos) return candidate.winePath;
  }
  for (Candidate& candidate : candidates) {
    candidate.buildTime = files.lastWriteTime(candidate.winePath.parent_path().parent_path().parent_path());
  }
  std::sort(candidates.begin(), candidates.end(), comesBefore);
  return candidates.front().winePath;
}

}  // namespace cs
