#include "velmora/core/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmora {

std::string too_long_line_text() {
  return "読み取りに失敗: line longer than " + std::to_string(LineBuffer::MAX_LINE) + " bytes";
}

void LineBuffer::make_room(std::size_t want) {
  if (m_start == m_end) {
    m_start = m_scan = m_end = 0;
    // A stream that once carried a huge line does not keep its memory for good.
    if (m_capacity > 4 * m_read_size) {
      m_data.reset();
      m_capacity = 0;
    }
  }
  if (m_capacity - m_end >= want) return;
  std::size_t kept = m_end - m_start;
  if (m_start > 0 && m_capacity - kept >= want) {
    std::memmove(m_data.get(), m_data.get() + m_start, kept);
  } else {
    // Doubling, so that gathering a long line costs linear time.
    std::size_t capacity = std::max(kept + want, 2 * m_capacity);
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (kept > 0) std::memcpy(data.get(), m_data.get() + m_start, kept);
    m_data = std::move(data);
    m_capacity = capacity;
  }
  m_scan -= m_start;
  m_end = kept;
  m_start = 0;
}

ssize_t LineBuffer::fill(int fd) {
  make_room(m_read_size);
  ssize_t n;
  do {
    n = ::read(fd, m_data.get() + m_end, m_capacity - m_end);
  } while (n < 0 && errno == EINTR);
  if (n > 0) m_end += static_cast<std::size_t>(n);
  return n;
}

void LineBuffer::append(std::string_view bytes) {
  make_room(bytes.size());
  if (!bytes.empty()) std::memcpy(m_data.get() + m_end, bytes.data(), bytes.size());
  m_end += bytes.size();
}

LineBuffer::Next LineBuffer::next() {
  const char* data = m_data.get();
  const void* newline = m_scan < m_end ? std::memchr(data + m_scan, '\n', m_end - m_scan) : nullptr;
  if (newline == nullptr) {
    if (!m_dropping && m_end - m_start > m_max_line) m_dropping = true;
    // A line being dropped keeps no memory: its bytes are skipped as they come.
    if (m_dropping) m_start = m_end;
    m_scan = m_end;
    return {};
  }
  std::size_t at = static_cast<std::size_t>(static_cast<const char*>(newline) - data);
  std::string_view line(data + m_start, at - m_start);
  m_start = m_scan = at + 1;
  if (m_dropping || line.size() > m_max_line) {
    m_dropping = false;
    return {Kind::too_long, {}};
  }
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return {Kind::line, line};
}

LineBuffer::Next LineBuffer::take_rest() {
  Next rest;
  std::string_view line(m_data.get() + m_start, m_end - m_start);
  if (m_dropping || line.size() > m_max_line) {
    rest.kind = Kind::too_long;
  } else if (!line.empty()) {
    if (line.back() == '\r') line.remove_suffix(1);
    rest = {Kind::line, line};
  }
  // The bytes stay where they are until the next fill or append.
  m_start = m_scan = m_end;
  m_dropping = false;
  return rest;
}

void LineBuffer::clear() {
  m_start = m_scan = m_end = 0;
  m_dropping = false;
}

LineReader::Kind LineReader::next() {
  while (true) {
    LineBuffer::Next got = m_buffer.next();
    if (got.kind == LineBuffer::Kind::line) {
      m_line = got.line;
      return Kind::line;
    }
    if (got.kind == LineBuffer::Kind::too_long) return Kind::too_long;
    if (m_done) return Kind::end;
    if (m_wake_fd >= 0) {
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake_fd, POLLIN, 0}};
      int rc = ::poll(fds, 2, -1);
      if (rc < 0 && errno == EINTR) continue;
      // A failed poll is left to the read below to report.
      if (rc > 0 && (fds[1].revents & POLLIN) != 0) return Kind::woken;
    }
    ssize_t n = m_buffer.fill(m_fd);
    if (n > 0) continue;
    m_done = true;
    if (n < 0) {
      // After a read error a last line may be cut short, so it is dropped.
      m_buffer.clear();
      return Kind::end;
    }
    LineBuffer::Next rest = m_buffer.take_rest();
    if (rest.kind == LineBuffer::Kind::line) {
      m_line = rest.line;
      return Kind::line;
    }
    if (rest.kind == LineBuffer::Kind::too_long) return Kind::too_long;
    return Kind::end;
  }
}

}  // namespace velmora
