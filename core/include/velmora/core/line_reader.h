#pragma once

// Lines out of a byte stream read in large blocks, bounded in length. LineBuffer is the buffer
// (it reads, the caller waits); LineReader waits on it in the blocking way of a thread that
// serves one connection, woken early by a second descriptor.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace velmora {

class LineBuffer {
 public:
  // Far above the base64 of any paste or replay, far below what would let one peer exhaust
  // memory.
  static constexpr std::size_t MAX_LINE = 64 * 1024 * 1024;
  // The room offered to each read: a busy stream costs one system call per block.
  static constexpr std::size_t READ_SIZE = 256 * 1024;

  enum class Kind {
    line,      // line holds the next line
    too_long,  // a line longer than the bound was dropped, up to its line feed
    none,      // no complete line is buffered
  };
  struct Next {
    Kind kind = Kind::none;
    std::string_view line;  // without its line feed and then one carriage return
  };

  explicit LineBuffer(std::size_t max_line = MAX_LINE, std::size_t read_size = READ_SIZE)
      : m_max_line(max_line), m_read_size(read_size) {}

  // One read of fd (EINTR retried) into the buffer: the bytes read, 0 at end of stream, -1 on a
  // failure with errno set (EAGAIN when a non-blocking fd has nothing). Lines handed out before
  // are no longer valid.
  ssize_t fill(int fd);
  // Takes bytes as if they had been read.
  void append(std::string_view bytes);

  // The next complete line; the view stays valid until the next fill, append or take_rest.
  Next next();
  // At the end of the stream: a last line without its line feed (line or too_long), none when
  // none was begun. The buffer is empty afterwards.
  Next take_rest();
  // Whether no byte is buffered that has not been handed out (nor a line being dropped).
  bool empty() const { return !m_dropping && m_start == m_end; }
  // Forgets everything buffered.
  void clear();

 private:
  // Room for at least want more bytes behind the buffered ones.
  void make_room(std::size_t want);

  std::size_t m_max_line;
  std::size_t m_read_size;
  std::unique_ptr<char[]> m_data;  // not zero-filled: only bytes read are ever looked at
  std::size_t m_capacity = 0;
  std::size_t m_start = 0;  // first byte not yet handed out
  std::size_t m_scan = 0;   // where the search for the next line feed goes on
  std::size_t m_end = 0;    // end of the bytes read
  bool m_dropping = false;  // the current line is over the bound: its bytes are discarded
};

// The daemon's answer to a line over LineBuffer::MAX_LINE.
std::string too_long_line_text();

class LineReader {
 public:
  static constexpr std::size_t MAX_LINE = LineBuffer::MAX_LINE;

  enum class Kind {
    line,      // line() holds the next line
    too_long,  // a line longer than the bound was read and dropped, up to its line feed
    woken,     // wake_fd became readable; the line being read so far is kept
    end,       // end of stream or a read error (EINTR is retried)
  };

  // fd and wake_fd are borrowed: the reader neither owns nor closes them. wake_fd -1: none.
  explicit LineReader(int fd, int wake_fd = -1, std::size_t max_line = MAX_LINE)
      : m_fd(fd), m_wake_fd(wake_fd), m_buffer(max_line, READ_SIZE_HERE) {}

  // Blocks until the next of the outcomes above. A last line without a line feed counts unless
  // a read failed. The wake-up is looked at only when no complete line is buffered.
  Kind next();
  // Valid until the next call of next().
  std::string_view line() const { return m_line; }

 private:
  // A connection thread reads requests, which are short but for pastes.
  static constexpr std::size_t READ_SIZE_HERE = 64 * 1024;

  int m_fd;
  int m_wake_fd;
  LineBuffer m_buffer;
  std::string_view m_line;
  bool m_done = false;
};

}  // namespace velmora
