#pragma once

// Test support: processes that run under another user id (needs root). The children make only
// async-signal-safe calls: everything is prepared before fork.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_harness.h"
#include "velmora/core/unix_socket.h"

namespace velmora::testing {

// The traditional "nobody".
inline constexpr uid_t STRANGER_ID = 65534;

inline bool can_change_user() { return ::geteuid() == 0; }

// The address of path, formed before a fork so that the child makes only system calls with it.
// A path that has no address gives one that every call refuses.
inline SocketAddress unix_address(const std::string& path) {
  auto address = socket_address(path);
  return address ? *address : SocketAddress{};
}

inline int bind_address(int fd, const SocketAddress& address) {
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.size);
}

inline bool become_stranger() {
  return ::setgroups(0, nullptr) == 0 && ::setgid(STRANGER_ID) == 0 && ::setuid(STRANGER_ID) == 0;
}

// Waits for a child's exit status, killing it if it takes longer than timeout.
inline std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout = 10s) {
  int status = 0;
  bool done = wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (done) return status;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return std::nullopt;
}

// A process of another user listening on a Unix-domain socket at path.
class StrangerListener {
 public:
  explicit StrangerListener(const std::string& path) {
    SocketAddress address = unix_address(path);
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      if (!become_stranger()) ::_exit(10);
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (fd < 0 || bind_address(fd, address) != 0 || ::listen(fd, 16) != 0) ::_exit(11);
      if (::write(ready[1], "r", 1) != 1) ::_exit(12);
      while (true) ::pause();
    }
    ::close(ready[1]);
    m_pid = pid;
    pollfd pfd{ready[0], POLLIN, 0};
    char byte = 0;
    m_ready = ::poll(&pfd, 1, 10'000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~StrangerListener() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  StrangerListener(const StrangerListener&) = delete;
  StrangerListener& operator=(const StrangerListener&) = delete;
  bool ready() const { return m_ready; }

 private:
  pid_t m_pid = -1;
  bool m_ready = false;
};

// What a client of another user experienced.
enum class StrangerOutcome { hung_up, got_reply, cannot_connect, no_answer, failed };

// Connects to path as another user, sends request_line and reports how the daemon reacted.
inline StrangerOutcome stranger_sends(const std::string& path, const std::string& request_line) {
  SocketAddress address = unix_address(path);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!become_stranger()) ::_exit(4);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect_socket(fd, address) != 0) ::_exit(2);
    // The daemon may hang up before the request is written; that is no failure here.
    ::send(fd, request_line.data(), request_line.size(), MSG_NOSIGNAL);
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 5'000) != 1) ::_exit(3);
    char byte = 0;
    ssize_t n = ::read(fd, &byte, 1);
    ::_exit(n > 0 ? 1 : 0);
  }
  auto status = wait_child(pid);
  if (!status || !WIFEXITED(*status)) return StrangerOutcome::failed;
  switch (WEXITSTATUS(*status)) {
    case 0:
      return StrangerOutcome::hung_up;
    case 1:
      return StrangerOutcome::got_reply;
    case 2:
      return StrangerOutcome::cannot_connect;
    case 3:
      return StrangerOutcome::no_answer;
    default:
      return StrangerOutcome::failed;
  }
}

}  // namespace velmora::testing
