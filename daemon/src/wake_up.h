#pragma once

// A descriptor that one thread makes readable to wake another from poll.

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::daemon {

// Readable from signal() until clear(). Both never block and may be called from any thread. A
// waiter clears it before it looks at what changed, so no signal is lost. An eventfd on Linux, a
// non-blocking pipe elsewhere (platform_*.cpp).
class WakeUp {
 public:
  static Result<WakeUp> create();

  WakeUp() = default;
  WakeUp(WakeUp&&) = default;
  WakeUp& operator=(WakeUp&&) = default;

  void signal() const;
  void clear() const;
  // For poll, with POLLIN; -1 for an empty WakeUp, which poll ignores.
  int fd() const { return m_read.get(); }

 private:
  WakeUp(OwnedFd read, OwnedFd write) : m_read(std::move(read)), m_write(std::move(write)) {}

  OwnedFd m_read;
  OwnedFd m_write;  // empty where one descriptor does both
};

}  // namespace velmora::daemon
