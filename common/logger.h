// The program's log: timestamped lines on standard output.
#ifndef CS_COMMON_LOGGER_H
#define CS_COMMON_LOGGER_H

#include <string>

namespace cs {

// Returns the current local time as "%Y-%m-%d %H:%M:%S".
std::string timestamp();

class Logger {
 public:
  // Writes the timestamp, one space, the message unchanged and a newline to standard output, and flushes it,
  // so that no line waits in a buffer when the launcher is ended by a signal or shares its output with a child.
  void log(const std::string& message);
};

}  // namespace cs

#endif  // CS_COMMON_LOGGER_H
