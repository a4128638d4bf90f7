#pragma once

// One client connection to a Unix-domain socket that speaks lines, with deadlines on every wait.
// Reads are large and non-blocking first, so a busy stream costs one system call per read.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "velmora/core/line_reader.h"
#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::bench {

using Clock = std::chrono::steady_clock;

class LineConnection {
 public:
  static Result<LineConnection> connect(const std::string& path);
  // Takes an already connected stream (for example an accepted one).
  static Result<LineConnection> adopt(OwnedFd fd);

  Result<void> send_all(std::string_view bytes);

  // The next line without its newline (and one carriage return). The view stays valid until the
  // next call. Fails on end of stream, on a read error, on a line over LineBuffer::MAX_LINE, or
  // when the deadline passes.
  Result<std::string_view> read_line(Clock::time_point deadline);

  int fd() const { return m_fd.get(); }

 private:
  explicit LineConnection(OwnedFd fd) : m_fd(std::move(fd)) {}
  // Reads more bytes into the buffer, waiting until the deadline.
  Result<void> fill(Clock::time_point deadline);

  OwnedFd m_fd;
  LineBuffer m_lines;
};

// Waits until fd is readable or the deadline passes; false on timeout.
bool wait_readable(int fd, Clock::time_point deadline);

}  // namespace velmora::bench
