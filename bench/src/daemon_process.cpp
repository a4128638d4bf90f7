#include "daemon_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "line_connection.h"
#include "raw_shell.h"

namespace velmora::bench {

using namespace std::chrono_literals;

Result<DaemonProcess> DaemonProcess::start(const std::string& binary, const std::string& socket,
                                           const std::string& shell,
                                           const std::string& stderr_path) {
  std::vector<std::string> env = environment_with({{"VELMORAD_SOCKET", socket}, {"SHELL", shell}});
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = binary;
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return Error("cannot start " + binary + ": " + std::strerror(rc));
  DaemonProcess daemon(pid, socket);

  auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    if (LineConnection::connect(socket)) return daemon;
    if (daemon.wait_exit(Clock::now())) return Error(binary + " ended at start-up");
    std::this_thread::sleep_for(2ms);
  }
  return Error(binary + " did not listen within 10 s");
}

DaemonProcess::DaemonProcess(DaemonProcess&& other) noexcept
    : m_pid(other.m_pid), m_socket(std::move(other.m_socket)), m_reaped(other.m_reaped) {
  other.m_pid = -1;
}

DaemonProcess::~DaemonProcess() {
  if (m_pid <= 0 || m_reaped) return;
  ::kill(m_pid, SIGKILL);
  while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::optional<int> DaemonProcess::wait_exit(std::chrono::steady_clock::time_point deadline) {
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
      m_reaped = true;
      return status;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(200us);
  }
}

}  // namespace velmora::bench
