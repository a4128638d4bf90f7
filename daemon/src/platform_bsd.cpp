#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform.h"
#include "velmora/core/os_error.h"
#include "wake_up.h"

namespace velmora::daemon {
namespace {

// Without SOCK_CLOEXEC the flag is set right after creation; a fork in between is harmless
// because spawned shells close every descriptor above 2 before exec. Empty on failure, with
// errno kept.
OwnedFd with_close_on_exec(int raw) {
  OwnedFd fd(raw);
  if (!fd) return fd;
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    fd.reset();  // keeps errno
    return fd;
  }
  return fd;
}

OwnedFd socket_with_close_on_exec(int raw) {
  OwnedFd fd = with_close_on_exec(raw);
  if (!fd) return fd;
  int on = 1;
  // Writes to a vanished client then fail with EPIPE even if SIGPIPE were not ignored.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  return fd;
}

}  // namespace

OwnedFd accept_connection(int listener) {
  OwnedFd fd = socket_with_close_on_exec(::accept(listener, nullptr, nullptr));
  // The BSDs hand the listener's O_NONBLOCK on to the accepted socket; its reader blocks.
  if (fd && ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) fd.reset();
  return fd;
}

ssize_t send_without_blocking(int socket, const void* data, std::size_t size) {
  return ::send(socket, data, size, MSG_DONTWAIT);
}

void tune_allocator() {
  // The system allocator keeps such buffers cached by itself.
}

Result<WakeUp> WakeUp::create() {
  int raw[2];
  if (::pipe(raw) != 0) return OsError::from_errno().to_error();
  OwnedFd read_end = with_close_on_exec(raw[0]);
  OwnedFd write_end = with_close_on_exec(raw[1]);
  if (!read_end || !write_end) return OsError::from_errno().to_error();
  for (int fd : {read_end.get(), write_end.get()}) {
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
      return OsError::from_errno().to_error();
  }
  return WakeUp(std::move(read_end), std::move(write_end));
}

void WakeUp::signal() const {
  if (!m_write) return;
  char byte = 1;
  // A full pipe is readable already.
  ssize_t ignored = ::write(m_write.get(), &byte, 1);
  (void)ignored;
}

void WakeUp::clear() const {
  if (!m_read) return;
  char bytes[64];
  while (::read(m_read.get(), bytes, sizeof bytes) > 0) {
  }
}

}  // namespace velmora::daemon
