#include "common/runtime_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

namespace cs {
namespace {

constexpr const char* kXdgSubdirName = "CurselloLinuxLauncher";
constexpr const char* kLockFileName = "CurselloLinuxLauncher.lock";

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isOwnDirectory(const struct stat& info) { return S_ISDIR(info.st_mode) && info.st_uid == getuid(); }

bool othersMayWrite(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Opens the directory `name` below `parentFd` (or the absolute path, with AT_FDCWD), creating it private when it
// is missing. A soft link by that name is refused by O_NOFOLLOW, and the checks go through the descriptor, so
// nobody can swap the directory between check and use. A directory of ours that the group or others may write
// to is made private, since nobody but us should place files beside our icon.
PrivateDir openOwnDirectory(int parentFd, const std::filesystem::path& path, const char* name) {
  mkdirat(parentFd, name, 0700);
  FileDescriptor fd(openat(parentFd, name, kDirFlags));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !isOwnDirectory(info)) return {};
  if (othersMayWrite(info) && fchmod(fd.get(), 0700) != 0) return {};
  return {path, std::move(fd)};
}

// A directory made afresh by mkdtemp is private (0700) and ours; nobody else can replace it in sticky /tmp.
PrivateDir openFreshTmpDir() {
  std::string pattern = tmpRuntimeDirPath().string() + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  FileDescriptor fd(open(pattern.c_str(), kDirFlags));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !isOwnDirectory(info) || othersMayWrite(info)) return {};
  return {pattern, std::move(fd)};
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) close(fd);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

std::filesystem::path tmpRuntimeDirPath() {
  return std::filesystem::path("/tmp") / ("CurselloLinuxLauncher-" + std::to_string(getuid()));
}

PrivateDir openXdgRuntimeDir() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || value[0] != '/') return {};
  // The session manager makes it; we never create or repair it.
  FileDescriptor fd(open(value, kDirFlags));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !isOwnDirectory(info) || othersMayWrite(info)) return {};
  return {value, std::move(fd)};
}

PrivateDir openIconDir() {
  const std::filesystem::path tmpDir = tmpRuntimeDirPath();
  PrivateDir dir = openOwnDirectory(AT_FDCWD, tmpDir, tmpDir.c_str());
  if (dir.ok()) return dir;
  // The fixed name is taken by someone else: use a place they cannot reach, and never give theirs to the tray.
  const PrivateDir xdg = openXdgRuntimeDir();
  if (xdg.ok()) {
    dir = openOwnDirectory(xdg.fd.get(), xdg.path / kXdgSubdirName, kXdgSubdirName);
    if (dir.ok()) return dir;
  }
  return openFreshTmpDir();
}

InstanceLock lockInstance(const PrivateDir& iconDir, FileDescriptor& holder) {
  const PrivateDir xdg = openXdgRuntimeDir();
  const int dirFd = xdg.ok() ? xdg.fd.get() : iconDir.fd.get();
  if (dirFd < 0) return InstanceLock::kNoGuard;
  // Close-on-exec: a companion started later must not inherit the lock and outlive us holding it.
  FileDescriptor fd(openat(dirFd, kLockFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return InstanceLock::kNoGuard;
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? InstanceLock::kHeldByOther : InstanceLock::kNoGuard;
  }
  holder = std::move(fd);
  return InstanceLock::kHeld;
}

}  // namespace cs
