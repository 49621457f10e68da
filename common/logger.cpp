#include "common/logger.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace cs {

std::string timestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  std::ostringstream text;
  text << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
  return text.str();
}

void Logger::log(const std::string& message) {
  // Flushed per line: the launcher usually ends by a signal at logout, and the companion writes to the same
  // descriptor, so a buffered line would be lost or land out of order.
  std::cout << timestamp() << ' ' << message << '\n' << std::flush;
}

}  // namespace cs
