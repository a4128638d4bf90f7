#include "line_reader.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace velmora::daemon {

LineReader::LineReader(int fd, int wake_fd, std::size_t max_line)
    : m_fd(fd), m_wake_fd(wake_fd), m_max_line(max_line), m_buffer(kBufferSize) {}

LineReader::Fill LineReader::fill() {
  while (true) {
    if (m_wake_fd >= 0) {
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake_fd, POLLIN, 0}};
      int rc = ::poll(fds, 2, -1);
      if (rc < 0 && errno == EINTR) continue;
      // A failed poll is left to the read below to report.
      if (rc > 0 && (fds[1].revents & POLLIN) != 0) return Fill::kWoken;
    }
    ssize_t n = ::read(m_fd, m_buffer.data(), m_buffer.size());
    if (n > 0) {
      m_begin = 0;
      m_end = static_cast<std::size_t>(n);
      return Fill::kData;
    }
    if (n < 0 && errno == EINTR) continue;
    m_done = true;
    m_failed = n < 0;
    return Fill::kEnd;
  }
}

LineReader::Kind LineReader::finish_line() {
  m_in_line = false;
  if (m_dropping) {
    m_dropping = false;
    return Kind::kTooLong;
  }
  if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
  return Kind::kLine;
}

LineReader::Kind LineReader::next() {
  if (!m_in_line) {
    // A connection that once sent a huge line does not keep its buffer for good.
    if (m_line.capacity() > 16 * kBufferSize) {
      std::string().swap(m_line);
    } else {
      m_line.clear();
    }
  }
  while (true) {
    if (m_begin == m_end) {
      Fill filled = m_done ? Fill::kEnd : fill();
      if (filled == Fill::kWoken) return Kind::kWoken;
      if (filled == Fill::kEnd) {
        // A last line without a line feed counts only when the stream simply ended; after a
        // read error it may be cut short, so it is dropped.
        if (!m_in_line || m_failed) {
          m_in_line = false;
          m_dropping = false;
          return Kind::kEnd;
        }
        return finish_line();
      }
    }
    const char* start = m_buffer.data() + m_begin;
    std::size_t available = m_end - m_begin;
    const void* newline = std::memchr(start, '\n', available);
    std::size_t length =
        newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - start)
                           : available;
    m_in_line = true;
    if (!m_dropping && m_line.size() + length > m_max_line) {
      // Not kept: the memory goes back at once, and the rest of the line is only skipped.
      m_dropping = true;
      std::string().swap(m_line);
    }
    if (!m_dropping) m_line.append(start, length);
    m_begin += length;
    if (newline != nullptr) {
      ++m_begin;
      return finish_line();
    }
  }
}

}  // namespace velmora::daemon
