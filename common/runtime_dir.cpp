#include "common/runtime_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cs {
namespace {

constexpr const char* kXdgSubdirName = "CurselloLinuxLauncher";
constexpr const char* kLockFileName = "CurselloLinuxLauncher.lock";
constexpr const char* kCacheLockPrefix = "CurselloLinuxLauncher-";  // followed by the host name and ".lock"

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isOwnDirectory(const struct stat& info) { return S_ISDIR(info.st_mode) && info.st_uid == getuid(); }

bool othersMayWrite(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Opens `name` below parentFd (or the absolute path, with AT_FDCWD) when it is a directory of the real user that
// nobody else may write to; the checks go through the descriptor.
FileDescriptor openPrivateDirectory(int parentFd, const char* name) {
  FileDescriptor fd(openat(parentFd, name, kDirFlags));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !isOwnDirectory(info) || othersMayWrite(info)) return {};
  return fd;
}

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
PrivateDir openFreshTmpDir(uid_t nameUid) {
  std::string pattern = tmpRuntimeDirPath(nameUid).string() + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  FileDescriptor fd = openPrivateDirectory(AT_FDCWD, pattern.c_str());
  if (fd.get() < 0) return {};
  return {pattern, std::move(fd)};
}

// A directory that an earlier start made by mkdtemp: nobody else can make one that is ours, so any of them serves
// as well as a fresh one, and taking it again keeps each start from leaving one more behind.
PrivateDir openEarlierTmpDir(uid_t nameUid) {
  const std::filesystem::path fixed = tmpRuntimeDirPath(nameUid);
  const std::string prefix = fixed.filename().string() + ".";
  const std::unique_ptr<DIR, int (*)(DIR*)> tmp(opendir(fixed.parent_path().c_str()), closedir);
  if (!tmp) return {};
  while (const dirent* entry = readdir(tmp.get())) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) continue;
    FileDescriptor fd = openPrivateDirectory(dirfd(tmp.get()), entry->d_name);
    if (fd.get() >= 0) return {fixed.parent_path() / name, std::move(fd)};
  }
  return {};
}

// The home: HOME when it is an absolute path, else the one the user database names. A login, su, ssh and cron
// set HOME to the latter alike.
std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
  return found->pw_dir[0] == '/' ? found->pw_dir : "";
}

// $HOME/.cache, created private when missing in a home of the real user. Not $XDG_CACHE_HOME: only some sessions
// set it, and su carries the caller's into the other user's programs, so launchers of one user would disagree.
// A soft link there (to another disk) is followed: the directory it reaches must still be the real user's. The
// group or others may write to it, since the lock file's own checks keep their files from holding the lock.
FileDescriptor openCacheDir() {
  const std::string home = homeDirectory();
  if (home.empty()) return {};
  FileDescriptor homeFd(open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (homeFd.get() < 0 || fstat(homeFd.get(), &info) != 0 || !isOwnDirectory(info)) return {};
  mkdirat(homeFd.get(), ".cache", 0700);
  FileDescriptor fd(openat(homeFd.get(), ".cache", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !isOwnDirectory(info)) return {};
  return fd;
}

// A home may be shared by several machines over the network, and a launcher runs on each: the name tells them
// apart. A "/" cannot be part of a file name.
std::string cacheLockFileName() {
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, HOST_NAME_MAX);
  std::string name = host;
  std::replace(name.begin(), name.end(), '/', '_');
  return kCacheLockPrefix + name + ".lock";
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

std::filesystem::path tmpRuntimeDirPath() { return tmpRuntimeDirPath(getuid()); }

std::filesystem::path tmpRuntimeDirPath(uid_t nameUid) {
  return std::filesystem::path("/tmp") / ("CurselloLinuxLauncher-" + std::to_string(nameUid));
}

PrivateDir openXdgRuntimeDir() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || value[0] != '/') return {};
  // The session manager makes it; we never create or repair it.
  FileDescriptor fd = openPrivateDirectory(AT_FDCWD, value);
  if (fd.get() < 0) return {};
  return {value, std::move(fd)};
}

PrivateDir openIconDir() { return openIconDir(getuid()); }

PrivateDir openIconDir(uid_t nameUid) {
  const std::filesystem::path tmpDir = tmpRuntimeDirPath(nameUid);
  PrivateDir dir = openOwnDirectory(AT_FDCWD, tmpDir, tmpDir.c_str());
  if (dir.ok()) return dir;
  // The fixed name is taken by someone else: use a place they cannot reach, and never give theirs to the tray.
  const PrivateDir xdg = openXdgRuntimeDir();
  if (xdg.ok()) {
    dir = openOwnDirectory(xdg.fd.get(), xdg.path / kXdgSubdirName, kXdgSubdirName);
    if (dir.ok()) return dir;
  }
  dir = openEarlierTmpDir(nameUid);
  if (dir.ok()) return dir;
  return openFreshTmpDir(nameUid);
}

InstanceLock lockInstance(FileDescriptor& holder) {
  // The login manager makes /run/user/<uid> for the user's first session, whether or not XDG_RUNTIME_DIR names
  // it: a launcher started from su, ssh or cron finds the same one as the desktop's.
  const std::string userRuntimeDir = "/run/user/" + std::to_string(getuid());
  FileDescriptor dir = openPrivateDirectory(AT_FDCWD, userRuntimeDir.c_str());
  std::string name = kLockFileName;
  if (dir.get() < 0) {
    dir = openCacheDir();
    name = cacheLockFileName();
  }
  if (dir.get() < 0) return InstanceLock::kNoGuard;
  // Close-on-exec: a companion started later must not inherit the lock and outlive us holding it.
  FileDescriptor fd(openat(dir.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat info {};
  // A file that someone else put there, or anything but a regular file, must not keep us out.
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid()) {
    return InstanceLock::kNoGuard;
  }
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? InstanceLock::kHeldByOther : InstanceLock::kNoGuard;
  }
  holder = std::move(fd);
  return InstanceLock::kHeld;
}

}  // namespace cs
