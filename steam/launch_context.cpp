#include "steam/launch_context.h"

#include <utility>

#include "steam/library_roots.h"
#include "steam/proton_runtime.h"

namespace cs {

namespace {

std::optional<LaunchContext> contextWithBuild(const std::string& appId, std::optional<std::filesystem::path> running,
                                              const std::vector<std::filesystem::path>& roots, const FileRoot& files) {
  // The game's own build comes first: the companion must share its wineserver, which a different build
  // would not talk to. An installed build is only the fallback.
  std::filesystem::path protonDir;
  if (running) {
    protonDir = std::move(*running);
  } else if (std::optional<std::filesystem::path> fallback = findFallbackWinePath(roots, files)) {
    protonDir = fallback->parent_path().parent_path().parent_path();
  } else {
    return std::nullopt;
  }

  LaunchContext context;
  context.protonDir = protonDir.lexically_normal();
  context.winePath = winePathForProtonDir(context.protonDir).lexically_normal();
  // The prefix may live in another library than the build, so every library is asked for it.
  for (const std::filesystem::path& library : steamLibraryRoots(roots, files)) {
    std::filesystem::path compatDataPath = library / "steamapps/compatdata" / std::filesystem::path(appId);
    if (!files.exists(compatDataPath)) continue;
    context.libraryRoot = library;
    context.compatDataPath = std::move(compatDataPath);
    return context;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LaunchContext> findLaunchContext(const std::string& appId,
                                               const std::vector<std::string>& protonCommandLines,
                                               const std::vector<std::filesystem::path>& roots, const FileRoot& files) {
  std::optional<std::filesystem::path> running;
  for (const std::string& commandLine : protonCommandLines) {
    running = protonDirFromCommandLine(commandLine, files);
    if (running) break;
  }
  return contextWithBuild(appId, std::move(running), roots, files);
}

}  // namespace cs
