#include "line_reader.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace velmora::daemon {

LineReader::LineReader(int fd) : m_fd(fd), m_buffer(kBufferSize) {}

bool LineReader::fill() {
  while (true) {
    ssize_t n = ::read(m_fd, m_buffer.data(), m_buffer.size());
    if (n > 0) {
      m_begin = 0;
      m_end = static_cast<std::size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    m_done = true;
    m_failed = n < 0;
    return false;
  }
}

std::optional<std::string> LineReader::next_line() {
  std::string line;
  bool got_any = false;
  while (true) {
    if (m_begin == m_end) {
      if (m_done || !fill()) {
        // A last line without a line feed counts only when the stream simply ended; after a
        // read error it may be cut short, so it is dropped.
        if (!got_any || m_failed) return std::nullopt;
        break;
      }
    }
    const char* start = m_buffer.data() + m_begin;
    std::size_t available = m_end - m_begin;
    const void* newline = std::memchr(start, '\n', available);
    got_any = true;
    if (newline != nullptr) {
      std::size_t length = static_cast<const char*>(newline) - start;
      line.append(start, length);
      m_begin += length + 1;
      break;
    }
    line.append(start, available);
    m_begin = m_end;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace velmora::daemon
