// parseWatchLine and WatchedWindows on the lines of the window watcher's pipe, which the game can write into as well: any bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz/fuzz_check.h"
#include "launch/window_watch_protocol.h"
#include "launch/wine_window_watch.h"

namespace {

// Text as the watcher escapes it.
std::string escaped(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || byte == '\\') {
      text += "\\x";
      text += "0123456789abcdef"[byte >> 4];
      text += "0123456789abcdef"[byte & 15];
    } else {
      text += c;
    }
  }
  return text;
}

std::string hex(std::uint64_t value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789abcdef"[value % 16]);
    value /= 16;
  } while (value != 0);
  return digits;
}

// The one spelling of a record, as the watcher writes it.
std::string lineOf(const cs::WatchRecord& record) {
  if (const auto* started = std::get_if<cs::WatchStarted>(&record)) {
    return "started\t" + std::to_string(started->version) + "\t" + (started->systemProcess ? "system" : "counting");
  }
  if (const auto* gone = std::get_if<cs::WatchWindowGone>(&record)) return "gone\t" + hex(gone->window);
  const auto& shown = std::get<cs::WatchWindowShown>(record);
  return "shown\t" + hex(shown.window) + "\t" + std::to_string(shown.windowsPid) + "\t" + std::to_string(shown.width) +
         "\t" + std::to_string(shown.height) + "\t" + escaped(shown.imagePath) + "\t" + escaped(shown.title);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cs::fuzz::require;
  const std::string text = cs::fuzz::bytesOf(data, size);

  // Any bytes: a record read has one spelling, the line itself, within the cap.
  if (const std::optional<cs::WatchRecord> record = cs::parseWatchLine(text)) {
    require(text.size() < cs::kWatchLineMax, "a line read fits the cap");
    require(lineOf(*record) == text, "a record read is written back as the very line");
  }

  // The bytes as a window's title: they come back as they were, whatever they hold.
  const std::string line = "shown\t1a\t32\t320\t240\tC:\\x5cg.exe\t" + escaped(text);
  const std::optional<cs::WatchRecord> shown = cs::parseWatchLine(line);
  if (line.size() < cs::kWatchLineMax) {
    require(shown && std::get<cs::WatchWindowShown>(*shown).title == text, "an escaped title comes back whole");
  } else {
    require(!shown, "a line over the cap is refused");
  }

  // The bytes as the pipe brings them, split anywhere: whatever they hold, what is kept stays within its bounds.
  cs::WatchedWindows records;
  records.take("started\t1\tsystem\n");
  records.take(std::string_view(text).substr(0, size / 2));
  records.take(std::string_view(text).substr(size / 2));
  require(records.windows().size() <= cs::WatchedWindows::kMaxWindows, "the windows kept are bounded");
  return 0;
}
