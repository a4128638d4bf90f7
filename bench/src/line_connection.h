#pragma once

// One client connection to a Unix-domain socket that speaks lines, with deadlines on every wait.
// Reads are large and non-blocking first, so a busy stream costs one system call per read.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

  // The next line without its newline. The view stays valid until the next call. Fails on end
  // of stream, on a read error, or when the deadline passes.
  Result<std::string_view> read_line(Clock::time_point deadline);

  int fd() const { return m_fd.get(); }

 private:
  explicit LineConnection(OwnedFd fd);
  // Reads more bytes into the buffer, waiting until the deadline.
  Result<void> fill(Clock::time_point deadline);

  OwnedFd m_fd;
  std::vector<char> m_buffer;
  std::size_t m_begin = 0;    // first byte not yet handed out
  std::size_t m_scanned = 0;  // bytes from m_begin known to hold no newline
  std::size_t m_end = 0;      // end of the bytes read
};

// Waits until fd is readable or the deadline passes; false on timeout.
bool wait_readable(int fd, Clock::time_point deadline);

}  // namespace velmora::bench
