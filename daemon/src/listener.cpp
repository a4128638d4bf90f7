#include "listener.h"

#include <cerrno>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "status_line.h"
#include "velmora/core/os_error.h"

namespace velmora::daemon {
namespace {

// Well inside the hour that the coarsest cleaners look at.
constexpr std::time_t REFRESH_AGE = 30 * 60;

}  // namespace

Result<Listener> Listener::open(const std::string& path, Threads threads) {
  // Listening at once: a client that finds the file and cannot connect takes it for a stale one.
  auto fd = listen_owner_only(path, threads);
  if (!fd) return fd.error();
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    Error error = OsError::from_errno().to_error();
    ::unlink(path.c_str());
    return error;
  }
  // The accept loop waits in poll; an accept must not then block on a connection that has gone.
  if (::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) | O_NONBLOCK) != 0) {
    Error error = OsError::from_errno().to_error();
    ::unlink(path.c_str());
    return error;
  }
  return Listener(path, std::move(*fd), info.st_dev, info.st_ino);
}

std::optional<OwnedFd> Listener::keep_file() {
  struct stat info {};
  if (::lstat(m_path.c_str(), &info) == 0) {
    if (info.st_dev != m_device || info.st_ino != m_inode) return std::nullopt;
    if (std::time(nullptr) - info.st_mtime >= REFRESH_AGE)
      (void)::utimensat(AT_FDCWD, m_path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
    return std::nullopt;
  }
  if (errno != ENOENT) return std::nullopt;
  // Gone; when the bind fails (the directory has gone too, say) it is tried again next time.
  auto fresh = open(m_path, Threads::running);
  if (!fresh) return std::nullopt;
  write_status_line("待ち受けています: " + m_path);
  m_device = fresh->m_device;
  m_inode = fresh->m_inode;
  return std::exchange(m_fd, std::move(fresh->m_fd));
}

}  // namespace velmora::daemon
