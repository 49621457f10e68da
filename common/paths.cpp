#include "common/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace cs {

std::filesystem::path homePath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return home;
}

std::filesystem::path expandHome(const std::string& text) {
  if (text == "~") return homePath();
  // Only the current user's "~/"; "~name" and a tilde further in are ordinary characters.
  if (text.size() >= 2 && text[0] == '~' && text[1] == '/') return homePath() / text.substr(2);
  return text;
}

bool pathExists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec) && !ec;
}

std::filesystem::path executableDir() {
  std::array<char, 4096> buffer{};
  // readlink does not terminate the text; keep one byte for the terminator. A longer target is cut short.
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length > 0) {
    buffer[static_cast<std::size_t>(length)] = '\0';
    return std::filesystem::path(buffer.data()).parent_path();
  }
  std::error_code ec;
  std::filesystem::path current = std::filesystem::current_path(ec);
  if (ec) return {};
  return current;
}

std::vector<std::filesystem::path> curselloExePlaces() {
  constexpr const char* kExeName = "Cursello.exe";
  std::vector<std::filesystem::path> places = {executableDir() / kExeName};
  // A package's program directory on a read-only /usr cannot take the file: the user's own data directory can.
  // A relative XDG_DATA_HOME is no place at all: it would name a directory under whatever the working directory is.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  std::filesystem::path base;
  if (dataHome != nullptr && dataHome[0] == '/') {
    base = dataHome;
  } else if (!homePath().empty()) {
    base = homePath() / ".local" / "share";
  }
  if (!base.empty()) places.push_back(base / "CurselloLinuxLauncher" / kExeName);
  return places;
}

std::filesystem::path curselloExePath() {
  const std::vector<std::filesystem::path> places = curselloExePlaces();
  for (const auto& place : places) {
    if (pathExists(place)) return place;
  }
  return places.front();
}

std::string readFile(const std::filesystem::path& path) {
  // Plain descriptors rather than a stream: every pass reads three files of each of the user's processes, and a
  // stream's set-up costs more than the read. Files under /proc report a size of 0, so read until end of file.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string content;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t count = read(fd, chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // end of file, or a read error that ends the content here
    content.append(chunk.data(), static_cast<std::size_t>(count));
  }
  close(fd);
  return content;
}

std::optional<std::filesystem::file_time_type> lastWriteTime(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::file_time_type time = std::filesystem::last_write_time(path, ec);
  if (ec) return std::nullopt;
  return time;
}

}  // namespace cs
