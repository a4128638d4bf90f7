#include "line_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velmora/core/os_error.h"
#include "velmora/core/unix_socket.h"

namespace velmora::bench {

bool wait_readable(int fd, Clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

Result<LineConnection> LineConnection::connect(const std::string& path) {
  auto fd = connect_to(path);
  if (!fd) return fd.error();
  return adopt(std::move(*fd));
}

Result<LineConnection> LineConnection::adopt(OwnedFd fd) {
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0)
    return OsError::from_errno().to_error();
  return LineConnection(std::move(fd));
}

Result<void> LineConnection::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(m_fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd entry{m_fd.get(), POLLOUT, 0};
      if (::poll(&entry, 1, 10000) <= 0) return Error("send timed out");
      continue;
    }
    return OsError::from_errno().to_error();
  }
  return {};
}

Result<std::string_view> LineConnection::read_line(Clock::time_point deadline) {
  while (true) {
    LineBuffer::Next next = m_lines.next();
    if (next.kind == LineBuffer::Kind::line) return next.line;
    if (next.kind == LineBuffer::Kind::too_long) return Error("line too long");
    if (auto filled = fill(deadline); !filled) return filled.error();
  }
}

Result<void> LineConnection::fill(Clock::time_point deadline) {
  while (true) {
    ssize_t got = m_lines.fill(m_fd.get());
    if (got > 0) return {};
    if (got == 0) return Error("end of stream");
    if (errno != EAGAIN && errno != EWOULDBLOCK) return OsError::from_errno().to_error();
    if (!wait_readable(m_fd.get(), deadline)) return Error("timed out");
  }
}

}  // namespace velmora::bench
