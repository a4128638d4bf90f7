#include "status_line.h"

#include <cerrno>
#include <string>

#include <unistd.h>

namespace velmora::daemon {

void write_status_line(std::string_view text) {
  // One buffer, so that lines of different threads do not mix.
  std::string line = "[velmorad] ";
  line += text;
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace velmora::daemon
