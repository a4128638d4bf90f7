#include "io_util.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::client {

bool write_all(int fd, std::string_view bytes, bool (*stop)()) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        if (stop != nullptr && stop()) return false;
        continue;
      }
      // A descriptor shared with a program that made it non-blocking: wait until it drains.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) return false;
        if (stop != nullptr && stop()) return false;
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace velmora::client
