#include "sandbox/game_namespaces.h"

#include <sys/stat.h>

#include <string>

namespace cs {

std::optional<bool> sharesLauncherTmp(std::int32_t pid) {
  // A sandbox (Flatpak, Snap) mounts a /tmp of its own, while the Steam Linux Runtime's container binds ours: the
  // mount namespace alone says nothing, the directory itself does.
  struct stat theirs {};
  struct stat ours {};
  const std::string path = "/proc/" + std::to_string(pid) + "/root/tmp";
  if (stat(path.c_str(), &theirs) != 0 || stat("/tmp", &ours) != 0) return std::nullopt;
  return theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

}  // namespace cs
