#pragma once

// Reads a stream one line at a time through a fixed buffer; a line may be longer than the buffer
// and is gathered whole, up to a bound.

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::daemon {

class LineReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  // Far above the base64 of any paste, far below what would let one client exhaust memory.
  static constexpr std::size_t kMaxLine = 64 * 1024 * 1024;

  enum class Kind {
    kLine,     // line() holds the next line
    kTooLong,  // a line longer than the bound was read and dropped, up to its line feed
    kWoken,    // wake_fd became readable; the line being read so far is kept
    kEnd,      // end of stream or a read error (EINTR is retried)
  };

  // fd and wake_fd are borrowed: the reader neither owns nor closes them. wake_fd -1: none.
  explicit LineReader(int fd, int wake_fd = -1, std::size_t max_line = kMaxLine);

  // Reads until the next of the outcomes above. A line is returned without its line feed and
  // then one carriage return; a last line without a line feed counts unless a read failed.
  Kind next();
  std::string& line() { return m_line; }

 private:
  enum class Fill { kData, kWoken, kEnd };
  // Waits for more bytes (or the wake-up) and reads them into the buffer.
  Fill fill();
  // The line is over: Kind::kLine, or kTooLong if it was dropped.
  Kind finish_line();

  int m_fd;
  int m_wake_fd;
  std::size_t m_max_line;
  std::vector<char> m_buffer;
  std::size_t m_begin = 0;  // first unconsumed byte
  std::size_t m_end = 0;    // one past the last byte read
  bool m_done = false;      // end of stream or error seen
  bool m_failed = false;    // a read failed
  std::string m_line;       // the line gathered so far
  bool m_in_line = false;   // some byte of the current line has been read
  bool m_dropping = false;  // the current line is over the bound: its bytes are discarded
};

}  // namespace velmora::daemon
