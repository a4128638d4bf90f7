#pragma once

// End-to-end test support: the real velmorad binary in a fresh temporary directory, and a
// line-oriented client over its socket. Every wait has a timeout.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velmora/core/line_codec.h"
#include "velmora/core/line_reader.h"
#include "velmora/core/owned_fd.h"
#include "velmora/core/protocol.h"
#include "velmora/core/unix_socket.h"

extern char** environ;

namespace velmora::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls cond until it holds or timeout passes; returns its last value.
template <typename Cond>
bool wait_until(Cond cond, std::chrono::milliseconds timeout = 10s) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    if (cond()) return true;
    if (Clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(5ms);
  }
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made != nullptr) m_path = made;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The environment of this process with some variables replaced (value) or removed (nullopt).
inline std::vector<std::string> environment_with(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (changes.count(name) == 0) result.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) result.push_back(name + "=" + *value);
  return result;
}

// The argv or envp form of texts, which must outlive it: their pointers and a null at the end.
inline std::vector<char*> null_terminated(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A running velmorad; killed with SIGKILL and reaped when the object goes away.
class DaemonProcess {
 public:
  // Starts velmorad with VELMORAD_SOCKET=socket_path (unless env_changes says otherwise),
  // standard error into a file. Does not wait for it to listen.
  DaemonProcess(const TempDir& dir, std::string socket_path,
                std::map<std::string, std::optional<std::string>> env_changes = {},
                std::vector<std::string> wrapper = {})
      : m_socket(std::move(socket_path)), m_stderr_path(dir.file("stderr-" + next_id())) {
    if (env_changes.count("VELMORAD_SOCKET") == 0) env_changes["VELMORAD_SOCKET"] = m_socket;
    std::vector<std::string> env = environment_with(env_changes);
    std::vector<std::string> args = wrapper;
    args.push_back(VELMORAD_PATH);
    std::vector<char*> argv = null_terminated(args), envp = null_terminated(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, m_stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) m_pid = pid;
  }
  ~DaemonProcess() {
    if (m_pid > 0 && !m_status) {
      ::kill(m_pid, SIGKILL);
      int status = 0;
      ::waitpid(m_pid, &status, 0);
    }
  }
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return m_pid; }
  const std::string& socket_path() const { return m_socket; }
  std::string stderr_text() const { return read_file(m_stderr_path); }

  // True once the listening line is on standard error.
  bool wait_listening(std::chrono::milliseconds timeout = 10s) {
    return wait_until(
        [&] {
          return stderr_text().find("待ち受けています") != std::string::npos || exited();
        },
        timeout) &&
           !exited();
  }

  // The raw wait status once the process has ended, polling until timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s) {
    wait_until([&] { return exited(); }, timeout);
    return m_status;
  }

  bool exited() {
    if (m_status) return true;
    if (m_pid <= 0) return true;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) m_status = status;
    return m_status.has_value();
  }

 private:
  static std::string next_id() {
    static int counter = 0;
    return std::to_string(++counter);
  }

  std::string m_socket;
  std::string m_stderr_path;
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

inline OwnedFd connect_unix(const std::string& path) {
  auto fd = connect_to(path);
  return fd ? std::move(*fd) : OwnedFd();
}

// One client connection speaking lines.
class TestClient {
 public:
  explicit TestClient(const std::string& path) : m_fd(connect_unix(path)) {}
  explicit TestClient(OwnedFd fd) : m_fd(std::move(fd)) {}

  bool connected() const { return m_fd.valid(); }
  int fd() const { return m_fd.get(); }
  void close() { m_fd.reset(); }

  // Sends raw bytes as they are (add the newline yourself).
  bool send_raw(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(m_fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  bool send_line(std::string_view line) { return send_raw(std::string(line) + "\n"); }
  bool send_request(const Request& request) { return send_raw(encode_request(request)); }

  // The next line without its newline; nothing on timeout or end of stream.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = 10s) {
    auto deadline = Clock::now() + timeout;
    while (true) {
      LineBuffer::Next next = m_lines.next();
      if (next.kind == LineBuffer::Kind::line) return std::string(next.line);
      if (next.kind == LineBuffer::Kind::too_long) return std::nullopt;
      if (m_eof || !fill(deadline)) return std::nullopt;
    }
  }

  std::optional<Event> read_event(std::chrono::milliseconds timeout = 10s) {
    auto line = read_line(timeout);
    if (!line) return std::nullopt;
    auto event = decode_event(*line);
    if (!event) return std::nullopt;
    return *event;
  }

  // True when the daemon closed the connection (end of stream) before timeout, with no further
  // line in between.
  bool wait_closed(std::chrono::milliseconds timeout = 10s) {
    auto deadline = Clock::now() + timeout;
    while (!m_eof && m_lines.empty()) {
      if (!fill(deadline)) break;
    }
    return m_eof && m_lines.empty();
  }

  // Nothing arrives within the given time.
  bool silent_for(std::chrono::milliseconds duration) {
    auto deadline = Clock::now() + duration;
    while (m_lines.empty() && !m_eof) {
      if (!fill(deadline)) break;
    }
    return m_lines.empty();
  }

 private:
  bool fill(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd pfd{m_fd.get(), POLLIN, 0};
    int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) return true;
    if (rc <= 0) return false;
    if (m_lines.fill(m_fd.get()) <= 0) {
      m_eof = true;
      return false;
    }
    return true;
  }

  OwnedFd m_fd;
  LineBuffer m_lines{LineBuffer::MAX_LINE, 64 * 1024};
  bool m_eof = false;
};

// A daemon that is already listening in its own temporary directory.
class RunningDaemon {
 public:
  explicit RunningDaemon(std::map<std::string, std::optional<std::string>> env_changes = {})
      : m_daemon(m_dir, m_dir.file("d.sock"), std::move(env_changes)) {
    m_listening = m_daemon.wait_listening();
  }
  bool listening() const { return m_listening; }
  DaemonProcess& process() { return m_daemon; }
  const TempDir& dir() const { return m_dir; }
  const std::string& socket_path() const { return m_daemon.socket_path(); }
  TestClient client() { return TestClient(socket_path()); }

 private:
  TempDir m_dir;
  DaemonProcess m_daemon;
  bool m_listening = false;
};

}  // namespace velmora::testing
