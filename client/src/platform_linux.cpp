#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "platform.h"
#include "velmora/core/os_error.h"

namespace velmora::client {
namespace {

std::string proc_path(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// A small file of /proc in full; nothing when it cannot be opened.
std::optional<std::string> read_proc_file(const std::string& path) {
  OwnedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (true) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

// The fields of /proc/PID/stat after the name. The name stands in parentheses and may hold
// blanks and parentheses itself, so the last ')' ends it.
struct Stat {
  std::string name;
  std::string_view rest;  // "state ppid pgrp session tty_nr tpgid ..."
};

std::optional<Stat> split_stat(const std::string& text) {
  auto open = text.find('(');
  auto close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  std::string_view rest(text);
  rest.remove_prefix(std::min(close + 2, text.size()));
  return Stat{text.substr(open + 1, close - open - 1), rest};
}

}  // namespace

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

namespace {

// The inodes of the listening Unix-domain sockets bound to path (/proc/net/unix keeps a socket's
// name after its file has gone).
std::set<unsigned long> listening_inodes(const std::string& path) {
  // Flags has __SO_ACCEPTCON for a listening socket.
  constexpr unsigned long ACCEPTING_CONNECTIONS = 0x10000;
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
    if ((std::strtoul(flags.c_str(), nullptr, 16) & ACCEPTING_CONNECTIONS) == 0) continue;
    inodes.insert(inode);
  }
  return inodes;
}

// The inode in a descriptor link of the form "socket:[inode]", or 0.
unsigned long socket_inode(const std::string& link) {
  constexpr std::string_view PREFIX = "socket:[";
  if (link.compare(0, PREFIX.size(), PREFIX) != 0) return 0;
  return std::strtoul(link.c_str() + PREFIX.size(), nullptr, 10);
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

// A process of our user that holds one of the sockets.
std::optional<pid_t> process_holding(const std::set<unsigned long>& inodes) {
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

}  // namespace

std::optional<pid_t> process_listening_at(const std::string& path) {
  std::set<unsigned long> inodes = listening_inodes(path);
  // A daemon that binds its file again listens on the new socket before it closes the old one.
  // Between our reading the sockets and our looking through the processes it may have done
  // both: the sockets we knew of are held by nobody then, but the sockets that listen at path
  // have changed, and we look again. Only sockets that nobody holds and that are all still
  // there mean that no daemon runs.
  constexpr int MOST_LOOKS = 100;
  for (int look = 0; look < MOST_LOOKS && !inodes.empty(); ++look) {
    if (auto pid = process_holding(inodes)) return pid;
    std::set<unsigned long> now = listening_inodes(path);
    if (now == inodes) return std::nullopt;
    inodes = std::move(now);
  }
  return std::nullopt;
}

Result<void> open_pipe(OwnedFd (&ends)[2]) {
  int raw[2];
  if (::pipe2(raw, O_CLOEXEC) != 0) return OsError::from_errno().to_error();
  ends[0].reset(raw[0]);
  ends[1].reset(raw[1]);
  return {};
}

std::optional<std::string> process_directory(pid_t pid) {
  std::string link = proc_path(pid, "cwd");
  std::string target(PATH_MAX, '\0');
  while (true) {
    ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

std::optional<pid_t> terminal_foreground_group(pid_t pid) {
  auto text = read_proc_file(proc_path(pid, "stat"));
  if (!text) return std::nullopt;
  auto stat = split_stat(*text);
  if (!stat) return std::nullopt;
  // tpgid is the sixth field after the name; -1 without a controlling terminal.
  std::string_view rest = stat->rest;
  for (int field = 0; field < 5; ++field) {
    auto blank = rest.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(blank + 1);
  }
  std::string tpgid(rest.substr(0, rest.find(' ')));
  char* end = nullptr;
  long group = std::strtol(tpgid.c_str(), &end, 10);
  if (tpgid.empty() || *end != '\0' || group <= 0) return std::nullopt;
  return static_cast<pid_t>(group);
}

std::optional<std::string> process_command_line(pid_t pid) {
  auto arguments = read_proc_file(proc_path(pid, "cmdline"));
  if (arguments) {
    // The arguments end in NUL each; a program that rewrote its title may leave several.
    while (!arguments->empty() && arguments->back() == '\0') arguments->pop_back();
    for (char& c : *arguments)
      if (c == '\0') c = ' ';
    if (!arguments->empty()) return arguments;
  }
  // A zombie (a pipeline's first process, say) has no arguments left, only its name.
  auto text = read_proc_file(proc_path(pid, "stat"));
  if (!text) return std::nullopt;
  auto stat = split_stat(*text);
  if (!stat) return std::nullopt;
  return stat->name;
}

}  // namespace velmora::client
