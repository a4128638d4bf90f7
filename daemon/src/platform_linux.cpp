#include <cerrno>
#include <cstdint>

#include <malloc.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform.h"
#include "velmora/core/os_error.h"
#include "wake_up.h"

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

int bind_owner_only(int socket, const sockaddr_un& address, socklen_t size, Threads) {
  // Linux creates the file with the socket's own mode less the umask, so no moment exists in
  // which the file is open to others, and the process-wide umask is never touched.
  if (::fchmod(socket, S_IRUSR | S_IWUSR) != 0) return -1;
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), size) != 0) return -1;
  // A umask that takes the owner's own bits would leave a socket that we cannot connect to.
  if (::chmod(address.sun_path, S_IRUSR | S_IWUSR) == 0) return 0;
  int error = errno;
  ::unlink(address.sun_path);
  errno = error;
  return -1;
}

void tune_allocator() {
#if defined(__GLIBC__) && defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // At most a mebibyte of freed memory stays with each allocator arena.
  constexpr int kMebibyte = 1 << 20;
  (void)::mallopt(M_MMAP_THRESHOLD, kMebibyte);
  (void)::mallopt(M_TRIM_THRESHOLD, kMebibyte);
#endif
}

Result<WakeUp> WakeUp::create() {
  OwnedFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) return OsError::from_errno().to_error();
  return WakeUp(std::move(fd), OwnedFd());
}

void WakeUp::signal() const {
  if (!m_read) return;
  std::uint64_t one = 1;
  // Fails only when the counter is about to overflow, and then it is readable already.
  ssize_t ignored = ::write(m_read.get(), &one, sizeof one);
  (void)ignored;
}

void WakeUp::clear() const {
  if (!m_read) return;
  std::uint64_t count = 0;
  ssize_t ignored = ::read(m_read.get(), &count, sizeof count);
  (void)ignored;
}

}  // namespace velmora::daemon
