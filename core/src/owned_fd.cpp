#include "velmora/core/owned_fd.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "velmora/core/os_error.h"

namespace velmora {

void OwnedFd::reset(int fd) {
  if (m_fd >= 0 && m_fd != fd) {
    int saved = errno;
    ::close(m_fd);
    errno = saved;
  }
  m_fd = fd;
}

Result<OwnedFd> OwnedFd::try_clone(int min_fd) const {
  int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, min_fd);
  if (fd < 0) return OsError::from_errno().to_error();
  return OwnedFd(fd);
}

}  // namespace velmora
