#include <cerrno>
#include <cstdint>

#include <malloc.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform.h"
#include "velmora/core/os_error.h"
#include "wake_up.h"

namespace velmora::daemon {

OwnedFd accept_connection(int listener) {
  return OwnedFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

ssize_t send_without_blocking(int socket, const void* data, std::size_t size) {
  return ::send(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void tune_allocator() {
#if defined(__GLIBC__) && defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // At most a mebibyte of freed memory stays with each allocator arena.
  constexpr int MEBIBYTE = 1 << 20;
  (void)::mallopt(M_MMAP_THRESHOLD, MEBIBYTE);
  (void)::mallopt(M_TRIM_THRESHOLD, MEBIBYTE);
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
