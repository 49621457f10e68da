#include "tests/support/session_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace cs::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";

// A string in GVariant text form, so that gdbus never mistakes an argument for an option or another type.
std::string gvariantString(const std::string& value) {
  std::string text = "'";
  for (const char c : value) {
    if (c == '\'' || c == '\\') text += '\\';
    text += c;
  }
  return text + "'";
}

void appendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Returns the index of the brace that closes the one at `open`, skipping quoted strings; npos when unbalanced.
std::size_t closingBrace(const std::string& text, std::size_t open) {
  int depth = 0;
  char quote = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == '\\') {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return i;
    }
  }
  return std::string::npos;
}

std::optional<TrayItem> itemFromWatcherEntry(const std::string& busAddress, const std::string& entry) {
  // Watchers record an item as "<bus name><object path>", or as the bus name alone; this one then tells the path.
  const std::size_t slash = entry.find('/');
  if (slash != std::string::npos) return TrayItem{entry.substr(0, slash), entry.substr(slash)};
  const auto reply = busCall(busAddress, kWatcherName, kWatcherPath,
                             "org.kde.StatusNotifierWatcher.GetObjectPathForItemName", {gvariantString(entry)});
  const auto strings = reply ? quotedStrings(*reply) : std::vector<std::string>{};
  if (strings.empty()) return std::nullopt;
  return TrayItem{entry, strings.front()};
}

}  // namespace

std::optional<std::string> runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout) {
  if (argv.empty()) return std::nullopt;
  const std::filesystem::path program = programInPath(argv.front());
  if (program.empty()) return std::nullopt;
  TempDir out;
  const std::filesystem::path outputFile = out.path() / "output";
  Subprocess child(
      Subprocess::Options{.program = program, .argv = argv, .env = env, .output = outputFile, .workingDir = {}});
  if (!child.started()) return std::nullopt;
  const auto status = child.wait(timeout);
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
  return slurp(outputFile);
}

std::vector<std::string> withVariable(std::vector<std::string> env, const std::string& name,
                                      const std::string& value) {
  env = withoutVariable(std::move(env), name);
  env.push_back(name + "=" + value);
  return env;
}

std::vector<std::string> withoutVariable(std::vector<std::string> env, const std::string& name) {
  std::erase_if(env, [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
  return env;
}

SessionBus::SessionBus() {
  const std::filesystem::path program = programInPath("dbus-daemon");
  if (dir.path().empty() || program.empty()) return;
  // The bus's socket lies in here: a launcher run as an ordinary user must reach it.
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, ec);
  const std::filesystem::path config = dir.path() / "bus.conf";
  writeFile(config,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:dir=" + dir.path().string() + "</listen>\n"
            "  <auth>EXTERNAL</auth>\n"
            "  <policy context=\"default\">\n"
            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
            "    <allow eavesdrop=\"true\"/>\n"
            "    <allow own=\"*\"/>\n"
            "    <allow user=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n");
  daemonPid = startDaemon(program,
                              {"dbus-daemon", "--config-file=" + config.string(), "--nofork",
                               "--print-address=1"},
                              currentEnvironment(), dir.path() / "daemon.log");
  if (daemonPid <= 0) return;
  // The daemon prints its address once it listens; its warnings land in the same file.
  waitUntil([&] {
    std::istringstream lines(slurp(dir.path() / "daemon.log"));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("unix:", 0) == 0) {
        busAddress = line;
        return true;
      }
    }
    return daemonExited(daemonPid);
  });
}

SessionBus::~SessionBus() {
  stopDaemon(watcherPid);
  stopDaemon(notificationServerPid);
  stopDaemon(daemonPid);
}

std::vector<std::string> SessionBus::environment(const std::vector<std::string>& base) const {
  return withVariable(base, "DBUS_SESSION_BUS_ADDRESS", busAddress);
}

bool SessionBus::startTrayWatcher() {
  if (!ok()) return false;
  watcherPid = startDaemon(CS_TRAY_WATCHER_BINARY, {"tray_watcher"}, environment(currentEnvironment()),
                           dir.path() / "watcher.log");
  if (watcherPid <= 0) return false;
  waitUntil([&] { return busNameHasOwner(busAddress, kWatcherName) || daemonExited(watcherPid); });
  return busNameHasOwner(busAddress, kWatcherName);
}

bool SessionBus::startNotificationServer(const std::vector<std::string>& capabilities) {
  if (!ok()) return false;
  const std::string name = "org.freedesktop.Notifications";
  std::vector<std::string> argv = {"notification_server", (dir.path() / "notifications").string()};
  argv.insert(argv.end(), capabilities.begin(), capabilities.end());
  notificationServerPid = startDaemon(CS_NOTIFICATION_SERVER_BINARY, argv, environment(currentEnvironment()),
                                      dir.path() / "notification_server.log");
  if (notificationServerPid <= 0) return false;
  waitUntil([&] { return busNameHasOwner(busAddress, name) || daemonExited(notificationServerPid); });
  return busNameHasOwner(busAddress, name);
}

std::vector<SessionBus::Notification> SessionBus::notifications() const {
  std::vector<Notification> result;
  const std::string bytes = slurp(dir.path() / "notifications");
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find('\x1e', start)) != std::string::npos; start = end + 1) {
    std::vector<std::string> fields;
    std::size_t from = start;
    for (std::size_t to; (to = bytes.find('\x1f', from)) < end; from = to + 1) {
      fields.push_back(bytes.substr(from, to - from));
    }
    fields.push_back(bytes.substr(from, end - from));
    if (fields.size() == 4) result.push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  return result;
}

std::string SessionBus::diagnostics() const {
  return "bus address: " + (busAddress.empty() ? std::string("(none)") : busAddress) + "\ndbus-daemon output:\n" +
         slurp(dir.path() / "daemon.log") + "tray watcher output:\n" + slurp(dir.path() / "watcher.log");
}

std::optional<std::string> busCall(const std::string& busAddress, const std::string& destination,
                                   const std::string& objectPath, const std::string& method,
                                   const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"gdbus",         "call",     "--address", busAddress, "--dest",
                                   destination,     "--object-path", objectPath, "--method", method};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, currentEnvironment());
}

bool busNameHasOwner(const std::string& busAddress, const std::string& name) {
  const auto reply = busCall(busAddress, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus.NameHasOwner", {gvariantString(name)});
  return reply && reply->find("true") != std::string::npos;
}

// GVariant's text form quotes a string with ' (or with " when it holds a '), and escapes with a backslash:
// \n \t \r \a \b \f \v \\ \' \" and \uXXXX or \UXXXXXXXX for other characters. For example
//   (<'Cursello\n1. Start a Steam game'>,)   holds one string, with a line feed in it.
std::vector<std::string> quotedStrings(const std::string& gvariantText) {
  const std::string& text = gvariantText;
  std::vector<std::string> result;
  std::size_t i = 0;
  while (i < text.size()) {
    const char quote = text[i++];
    if (quote != '\'' && quote != '"') continue;
    std::string value;
    while (i < text.size() && text[i] != quote) {
      if (text[i] != '\\' || i + 1 >= text.size()) {
        value += text[i++];
        continue;
      }
      const char escaped = text[i + 1];
      i += 2;
      switch (escaped) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'a': value += '\a'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'v': value += '\v'; break;
        case 'u':
        case 'U': {
          const std::size_t digits = escaped == 'u' ? 4 : 8;
          unsigned long code = 0;
          const char* first = text.data() + i;
          const char* last = text.data() + std::min(text.size(), i + digits);
          std::from_chars(first, last, code, 16);
          appendUtf8(value, code);
          i += digits;
          break;
        }
        default: value += escaped; break;
      }
    }
    ++i;  // the closing quote
    result.push_back(value);
  }
  return result;
}

std::vector<TrayItem> registeredTrayItems(const std::string& busAddress) {
  const auto reply = busCall(busAddress, kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties.Get",
                             {gvariantString(kWatcherName), gvariantString("RegisteredStatusNotifierItems")});
  std::vector<TrayItem> items;
  if (!reply) return items;
  for (const auto& entry : quotedStrings(*reply)) {
    if (auto item = itemFromWatcherEntry(busAddress, entry)) items.push_back(*item);
  }
  return items;
}

bool hasTrayItemOf(const std::string& busAddress, pid_t pid) {
  for (const auto& item : registeredTrayItems(busAddress)) {
    const auto reply = busCall(busAddress, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus.GetConnectionUnixProcessID", {gvariantString(item.busName)});
    if (reply && reply->find("uint32 " + std::to_string(pid) + ",") != std::string::npos) return true;
  }
  return false;
}

std::optional<std::string> trayItemProperty(const std::string& busAddress, const TrayItem& item,
                                            const std::string& property) {
  const auto reply = busCall(busAddress, item.busName, item.objectPath, "org.freedesktop.DBus.Properties.Get",
                             {gvariantString(kItemInterface), gvariantString(property)});
  const auto strings = reply ? quotedStrings(*reply) : std::vector<std::string>{};
  if (strings.empty()) return std::nullopt;
  return strings.front();
}

// GetLayout answers with the root entry and its children, each child a variant holding (id, properties,
// children), for example
//   (uint32 2, (0, {'children-display': <'submenu'>}, [<(2, {'label': <'Quit'>}, @av [])>]))
std::vector<TrayMenuEntry> trayMenuEntries(const std::string& busAddress, const TrayItem& item) {
  std::vector<TrayMenuEntry> entries;
  const auto menuPath = trayItemProperty(busAddress, item, "Menu");
  if (!menuPath) return entries;
  const auto layout = busCall(busAddress, item.busName, *menuPath, "com.canonical.dbusmenu.GetLayout",
                              {"int32 0", "int32 -1", "@as []"});
  if (!layout) return entries;
  const std::string& text = *layout;
  for (std::size_t at = text.find("<("); at != std::string::npos; at = text.find("<(", at + 2)) {
    TrayMenuEntry entry;
    const char* first = text.data() + at + 2;
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), entry.id);
    if (error != std::errc() || end == first) continue;
    const std::size_t open = text.find('{', at);
    const std::size_t close = open == std::string::npos ? std::string::npos : closingBrace(text, open);
    if (close == std::string::npos) continue;
    const std::string properties = text.substr(open, close - open + 1);
    const std::size_t label = properties.find("'label': <");
    if (label != std::string::npos) {
      const auto strings = quotedStrings(properties.substr(label + 10));
      if (!strings.empty()) entry.label = strings.front();
    }
    entries.push_back(entry);
  }
  return entries;
}

bool clickTrayMenuEntry(const std::string& busAddress, const TrayItem& item, int entryId) {
  const auto menuPath = trayItemProperty(busAddress, item, "Menu");
  if (!menuPath) return false;
  return busCall(busAddress, item.busName, *menuPath, "com.canonical.dbusmenu.Event",
                 {"int32 " + std::to_string(entryId), gvariantString("clicked"), "<int32 0>", "uint32 0"})
      .has_value();
}

bool clickTrayQuit(const std::string& busAddress, std::chrono::milliseconds timeout) {
  std::optional<TrayItem> quitItem;
  int quitId = 0;
  waitUntil(
      [&] {
        for (const auto& item : registeredTrayItems(busAddress)) {
          for (const auto& entry : trayMenuEntries(busAddress, item)) {
            if (entry.label == "Quit") {
              quitItem = item;
              quitId = entry.id;
              return true;
            }
          }
        }
        return false;
      },
      timeout);
  return quitItem && clickTrayMenuEntry(busAddress, *quitItem, quitId);
}

}  // namespace cs::test
