#pragma once

// Reads a stream one line at a time through a fixed buffer; a line may be longer than the
// buffer and is gathered whole.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velmora::daemon {

class LineReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // fd is borrowed: the reader neither owns nor closes it.
  explicit LineReader(int fd);

  // The next line without its line feed and then one carriage return. A last line without a
  // line feed counts. Nothing at end of stream or on a read error (EINTR is retried).
  std::optional<std::string> next_line();

 private:
  // Reads more bytes into the buffer; false at end of stream or on error.
  bool fill();

  int m_fd;
  std::vector<char> m_buffer;
  std::size_t m_begin = 0;  // first unconsumed byte
  std::size_t m_end = 0;    // one past the last byte read
  bool m_done = false;      // end of stream or error seen
  bool m_failed = false;    // a read failed
};

}  // namespace velmora::daemon
