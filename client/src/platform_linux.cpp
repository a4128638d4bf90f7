#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "velmora/core/os_error.h"

namespace velmora::client {

Result<OwnedFd> open_stream_socket() {
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return OsError::from_errno().to_error();
  return fd;
}

Result<uid_t> peer_uid(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    return OsError::from_errno().to_error();
  return credentials.uid;
}

Result<pid_t> peer_pid(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    return OsError::from_errno().to_error();
  return credentials.pid;
}

std::optional<std::uint64_t> process_start_time(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  OwnedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buffer[1024];
  ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
  if (n <= 0) return std::nullopt;
  buffer[n] = '\0';
  // The command name may hold anything: the fields are counted after its closing parenthesis.
  const char* at = std::strrchr(buffer, ')');
  if (at == nullptr) return std::nullopt;
  ++at;
  // The start time is the 22nd field; the state after the name is the 3rd.
  for (int field = 3; field < 22; ++field) {
    at = std::strchr(at + 1, ' ');
    if (at == nullptr) return std::nullopt;
  }
  char* end = nullptr;
  unsigned long long start = std::strtoull(at + 1, &end, 10);
  if (end == at + 1) return std::nullopt;
  return start;
}

std::string executable_path() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

ssize_t send_bytes(int fd, const void* data, std::size_t size) {
  return ::send(fd, data, size, MSG_NOSIGNAL);
}

void close_descriptors_from(int first, int keep, int limit) {
#if defined(SYS_close_range)
  // Kernels before 5.9 lack close_range: then every number up to limit is tried.
  bool done = keep <= first || ::syscall(SYS_close_range, first, keep - 1, 0) == 0;
  int after = keep >= first ? keep + 1 : first;
  if (done && ::syscall(SYS_close_range, after, ~0U, 0) == 0) return;
#endif
  for (int fd = first; fd <= limit; ++fd)
    if (fd != keep) ::close(fd);
}

Result<void> open_pipe(OwnedFd (&ends)[2]) {
  int raw[2];
  if (::pipe2(raw, O_CLOEXEC) != 0) return OsError::from_errno().to_error();
  ends[0].reset(raw[0]);
  ends[1].reset(raw[1]);
  return {};
}

}  // namespace velmora::client
