#pragma once

#include "velmora/core/result.h"

namespace velmora {

// Sole owner of one descriptor; closes it on destruction. -1 means empty.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : m_fd(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : m_fd(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() { reset(); }

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the held descriptor (errno preserved) and takes fd instead.
  void reset(int fd = -1);

  // A close-on-exec duplicate (F_DUPFD_CLOEXEC, lowest free number >= min_fd); the error text
  // is the OS error's display rendering.
  Result<OwnedFd> try_clone(int min_fd = 0) const;

 private:
  int m_fd = -1;
};

}  // namespace velmora
