#pragma once

// A velmorad started by the benchmark on a socket in the benchmark's own directory.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "velmora/core/result.h"

namespace velmora::bench {

class DaemonProcess {
 public:
  // Starts the daemon with VELMORAD_SOCKET=socket and SHELL=shell, standard error into
  // stderr_path, and waits until the socket accepts connections.
  static Result<DaemonProcess> start(const std::string& binary, const std::string& socket,
                                     const std::string& shell, const std::string& stderr_path);

  DaemonProcess(DaemonProcess&& other) noexcept;
  DaemonProcess& operator=(DaemonProcess&&) = delete;
  DaemonProcess(const DaemonProcess&) = delete;
  // Kills the daemon (SIGKILL) unless it has already been reaped.
  ~DaemonProcess();

  pid_t pid() const { return m_pid; }
  const std::string& socket() const { return m_socket; }

  // Polls for the daemon's end; its wait status, or nothing if it is still running at the
  // deadline.
  std::optional<int> wait_exit(std::chrono::steady_clock::time_point deadline);

 private:
  DaemonProcess(pid_t pid, std::string socket) : m_pid(pid), m_socket(std::move(socket)) {}

  pid_t m_pid = -1;
  std::string m_socket;
  bool m_reaped = false;
};

}  // namespace velmora::bench
