#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform.h"
#include "velmora/core/os_error.h"

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
  int on = 1;
  // Writes to a vanished client then fail with EPIPE even if SIGPIPE were not ignored.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  return fd;
}

}  // namespace

Result<OwnedFd> open_stream_socket() {
  OwnedFd fd = with_close_on_exec(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return OsError::from_errno().to_error();
  return fd;
}

OwnedFd accept_connection(int listener) {
  return with_close_on_exec(::accept(listener, nullptr, nullptr));
}

Result<uid_t> peer_user_id(int socket) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(socket, &uid, &gid) != 0) return OsError::from_errno().to_error();
  return uid;
}

ssize_t send_without_blocking(int socket, const void* data, std::size_t size) {
  return ::send(socket, data, size, MSG_DONTWAIT);
}

void tune_allocator() {
  // The system allocator keeps such buffers cached by itself.
}

}  // namespace velmora::daemon
