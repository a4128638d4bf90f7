#include "line_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "velmora/core/os_error.h"
#include "velmora/core/unix_socket.h"

namespace velmora::bench {

namespace {

constexpr std::size_t INITIAL_BUFFER = 512 * 1024;
constexpr std::size_t MIN_READ_ROOM = 128 * 1024;

}  // namespace

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

LineConnection::LineConnection(OwnedFd fd) : m_fd(std::move(fd)), m_buffer(INITIAL_BUFFER) {}

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
    const char* start = m_buffer.data() + m_begin;
    const void* newline = std::memchr(start + m_scanned, '\n', m_end - m_begin - m_scanned);
    if (newline != nullptr) {
      auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      m_begin += length + 1;
      m_scanned = 0;
      return std::string_view(start, length);
    }
    m_scanned = m_end - m_begin;
    if (auto filled = fill(deadline); !filled) return filled.error();
  }
}

Result<void> LineConnection::fill(Clock::time_point deadline) {
  // Keep the unread bytes at the front, and room for one large read behind them.
  if (m_begin > 0) {
    std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
  }
  if (m_buffer.size() - m_end < MIN_READ_ROOM) m_buffer.resize(m_buffer.size() * 2);
  while (true) {
    ssize_t got = ::read(m_fd.get(), m_buffer.data() + m_end, m_buffer.size() - m_end);
    if (got > 0) {
      m_end += static_cast<std::size_t>(got);
      return {};
    }
    if (got == 0) return Error("end of stream");
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return OsError::from_errno().to_error();
    if (!wait_readable(m_fd.get(), deadline)) return Error("timed out");
  }
}

}  // namespace velmora::bench
