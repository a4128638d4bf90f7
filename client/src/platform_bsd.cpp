#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform.h"
#if defined(__APPLE__)
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/param.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>
#include <sys/un.h>
#endif

#include "velmora/core/os_error.h"

namespace velmora::client {
namespace {

// Without pipe2 the flag is set right after creation; the client is single
// threaded, so no fork can happen in between.
Result<void> set_close_on_exec(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return OsError::from_errno().to_error();
  return {};
}

}  // namespace

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

#if defined(__APPLE__)
namespace {

// One pass over our processes' sockets.
std::optional<pid_t> process_listening_now(const std::string& path) {
  uid_t uid = ::getuid();
  int bytes = ::proc_listpids(PROC_UID_ONLY, uid, nullptr, 0);
  if (bytes <= 0) return std::nullopt;
  std::vector<pid_t> pids(static_cast<std::size_t>(bytes) / sizeof(pid_t) + 16);
  bytes = ::proc_listpids(PROC_UID_ONLY, uid, pids.data(),
                          static_cast<int>(pids.size() * sizeof(pid_t)));
  if (bytes <= 0) return std::nullopt;
  pids.resize(static_cast<std::size_t>(bytes) / sizeof(pid_t));
  for (pid_t pid : pids) {
    if (pid <= 0) continue;
    int size = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (size <= 0) continue;
    std::vector<proc_fdinfo> fds(static_cast<std::size_t>(size) / sizeof(proc_fdinfo) + 8);
    size = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds.data(),
                          static_cast<int>(fds.size() * sizeof(proc_fdinfo)));
    if (size <= 0) continue;
    fds.resize(static_cast<std::size_t>(size) / sizeof(proc_fdinfo));
    for (const proc_fdinfo& fd : fds) {
      if (fd.proc_fdtype != PROX_FDTYPE_SOCKET) continue;
      socket_fdinfo info {};
      if (::proc_pidfdinfo(pid, fd.proc_fd, PROC_PIDFDSOCKETINFO, &info, sizeof info) !=
          static_cast<int>(sizeof info))
        continue;
      if (info.psi.soi_family != AF_UNIX || (info.psi.soi_options & SO_ACCEPTCONN) == 0) continue;
      const sockaddr_un& bound = info.psi.soi_proto.pri_un.unsi_addr.ua_sun;
      std::string_view name(bound.sun_path, ::strnlen(bound.sun_path, sizeof bound.sun_path));
      if (name == path) return pid;
    }
  }
  return std::nullopt;
}

}  // namespace
#endif

std::optional<pid_t> process_listening_at(const std::string& path) {
#if defined(__APPLE__)
  // Our own processes, and of each its sockets: a listening one of the Unix domain whose bound
  // name is path. A daemon that binds its file again listens on the new socket before it closes
  // the old one; a process whose descriptors were listed just before the new one came and whose
  // old one has gone by the time we ask about it shows neither, so a scan that finds nobody is
  // made once more.
  for (int look = 0; look < 2; ++look) {
    if (auto pid = process_listening_now(path)) return pid;
  }
  return std::nullopt;
#else
  // The other BSDs keep this behind sysctl tables that differ between them.
  (void)path;
  return std::nullopt;
#endif
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

#if defined(__APPLE__)

std::optional<std::string> process_directory(pid_t pid) {
  proc_vnodepathinfo info{};
  int size = ::proc_pidinfo(pid, PROC_PIDVNODEPATHINFO, 0, &info, sizeof info);
  if (size != static_cast<int>(sizeof info) || info.pvi_cdir.vip_path[0] == '\0')
    return std::nullopt;
  return std::string(info.pvi_cdir.vip_path);
}

std::optional<pid_t> terminal_foreground_group(pid_t pid) {
  proc_bsdinfo info{};
  int size = ::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info);
  if (size != static_cast<int>(sizeof info) || info.e_tpgid == 0) return std::nullopt;
  return static_cast<pid_t>(info.e_tpgid);
}

std::optional<std::string> process_command_line(pid_t pid) {
  // KERN_PROCARGS2 gives argc, the executable's path, padding, then the arguments (and the
  // environment), each ending in NUL.
  int max_size = 0;
  std::size_t length = sizeof max_size;
  int max_mib[2] = {CTL_KERN, KERN_ARGMAX};
  if (::sysctl(max_mib, 2, &max_size, &length, nullptr, 0) == 0 && max_size > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(max_size));
    std::size_t size = buffer.size();
    int mib[3] = {CTL_KERN, KERN_PROCARGS2, static_cast<int>(pid)};
    int argc = 0;
    if (::sysctl(mib, 3, buffer.data(), &size, nullptr, 0) == 0 && size > sizeof argc) {
      std::memcpy(&argc, buffer.data(), sizeof argc);
      std::size_t at = sizeof argc;
      while (at < size && buffer[at] != '\0') ++at;  // the executable's path
      while (at < size && buffer[at] == '\0') ++at;
      std::string line;
      for (int arg = 0; arg < argc && at < size; ++arg) {
        if (arg > 0) line += ' ';
        while (at < size && buffer[at] != '\0') line += buffer[at++];
        ++at;
      }
      if (!line.empty()) return line;
    }
  }
  char name[2 * MAXCOMLEN + 1] = {};
  if (::proc_name(pid, name, sizeof name) <= 0) return std::nullopt;
  return std::string(name);
}

#else

// Elsewhere the portable interfaces tell nothing about another process.
std::optional<std::string> process_directory(pid_t) { return std::nullopt; }
std::optional<pid_t> terminal_foreground_group(pid_t) { return std::nullopt; }
std::optional<std::string> process_command_line(pid_t) { return std::nullopt; }

#endif

}  // namespace velmora::client
