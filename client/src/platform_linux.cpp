#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

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

namespace {

// The inodes of the listening Unix-domain sockets bound to path (/proc/net/unix keeps a socket's
// name after its file has gone).
std::set<unsigned long> listening_inodes(const std::string& path) {
  // Flags has __SO_ACCEPTCON for a listening socket.
  constexpr unsigned long kAcceptingConnections = 0x10000;
  std::set<unsigned long> inodes;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, references, protocol, flags, type, state;
    unsigned long inode = 0;
    if (!(fields >> slot >> references >> protocol >> flags >> type >> state >> inode)) continue;
    std::string name;
    std::getline(fields >> std::ws, name);
    if (name != path) continue;
    if ((std::strtoul(flags.c_str(), nullptr, 16) & kAcceptingConnections) == 0) continue;
    inodes.insert(inode);
  }
  return inodes;
}

// The inode in a descriptor link of the form "socket:[inode]", or 0.
unsigned long socket_inode(const std::string& link) {
  constexpr std::string_view kPrefix = "socket:[";
  if (link.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
  return std::strtoul(link.c_str() + kPrefix.size(), nullptr, 10);
}

bool holds_any(const std::string& fd_dir, const std::set<unsigned long>& inodes) {
  DIR* dir = ::opendir(fd_dir.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[64];
    std::string link = fd_dir + "/" + entry->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    if (inodes.count(socket_inode(std::string(target, static_cast<std::size_t>(n)))) != 0) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace

std::optional<pid_t> process_listening_at(const std::string& path) {
  std::set<unsigned long> inodes = listening_inodes(path);
  if (inodes.empty()) return std::nullopt;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::optional<pid_t> found;
  uid_t uid = ::getuid();
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string dir = std::string("/proc/") + entry->d_name;
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0 || info.st_uid != uid) continue;
    if (holds_any(dir + "/fd", inodes)) {
      found = static_cast<pid_t>(pid);
      break;
    }
  }
  ::closedir(proc);
  return found;
}

Result<void> open_pipe(OwnedFd (&ends)[2]) {
  int raw[2];
  if (::pipe2(raw, O_CLOEXEC) != 0) return OsError::from_errno().to_error();
  ends[0].reset(raw[0]);
  ends[1].reset(raw[1]);
  return {};
}

}  // namespace velmora::client
