#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "platform.h"
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#include <sys/sysctl.h>
#include <sys/un.h>
#endif

#include "velmora/core/os_error.h"

namespace velmora::client {
namespace {

// Without SOCK_CLOEXEC and pipe2 the flag is set right after creation; the client is single
// threaded, so no fork can happen in between.
Result<void> set_close_on_exec(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return OsError::from_errno().to_error();
  return {};
}

}  // namespace

Result<OwnedFd> open_stream_socket() {
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return OsError::from_errno().to_error();
  if (auto done = set_close_on_exec(fd.get()); !done) return done.error();
#if defined(SO_NOSIGPIPE)
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

Result<uid_t> peer_uid(int fd) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(fd, &uid, &gid) != 0) return OsError::from_errno().to_error();
  return uid;
}

Result<pid_t> peer_pid(int fd) {
#if defined(__APPLE__)
  pid_t pid = 0;
  socklen_t size = sizeof pid;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &size) != 0)
    return OsError::from_errno().to_error();
  return pid;
#else
  (void)fd;
  return OsError(ENOTSUP).to_error();
#endif
}

std::optional<std::uint64_t> process_start_time(pid_t pid) {
#if defined(__APPLE__)
  int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  kinfo_proc info{};
  size_t size = sizeof info;
  if (::sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size == 0) return std::nullopt;
  const timeval& start = info.kp_proc.p_starttime;
  return static_cast<std::uint64_t>(start.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(start.tv_usec);
#else
  (void)pid;
  return std::nullopt;
#endif
}

std::string executable_path() {
#if defined(__APPLE__)
  char buffer[PATH_MAX];
  std::uint32_t size = sizeof buffer;
  if (::_NSGetExecutablePath(buffer, &size) != 0) return {};
  char resolved[PATH_MAX];
  if (::realpath(buffer, resolved) == nullptr) return buffer;
  return resolved;
#else
  return {};
#endif
}

// The socket itself carries SO_NOSIGPIPE where the system has it.
ssize_t send_bytes(int fd, const void* data, std::size_t size) { return ::send(fd, data, size, 0); }

void close_descriptors_from(int first, int keep, int limit) {
  for (int fd = first; fd <= limit; ++fd)
    if (fd != keep) ::close(fd);
}

Result<void> open_pipe(OwnedFd (&ends)[2]) {
  int raw[2];
  if (::pipe(raw) != 0) return OsError::from_errno().to_error();
  ends[0].reset(raw[0]);
  ends[1].reset(raw[1]);
  for (auto& end : ends)
    if (auto done = set_close_on_exec(end.get()); !done) return done.error();
  return {};
}

}  // namespace velmora::client
