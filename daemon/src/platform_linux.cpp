#include <cerrno>

#include <malloc.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform.h"
#include "velmora/core/os_error.h"

namespace velmora::daemon {

Result<OwnedFd> open_stream_socket() {
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return OsError::from_errno().to_error();
  return fd;
}

OwnedFd accept_connection(int listener) {
  return OwnedFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

Result<uid_t> peer_user_id(int socket) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    return OsError::from_errno().to_error();
  return credentials.uid;
}

ssize_t send_without_blocking(int socket, const void* data, std::size_t size) {
  return ::send(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void tune_allocator() {
#if defined(__GLIBC__) && defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // At most a mebibyte of freed memory stays with each allocator arena.
  constexpr int kMebibyte = 1 << 20;
  (void)::mallopt(M_MMAP_THRESHOLD, kMebibyte);
  (void)::mallopt(M_TRIM_THRESHOLD, kMebibyte);
#endif
}

}  // namespace velmora::daemon
