#include "profiler.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "bench.h"

namespace velmora::bench {

Profiler::Profiler(const std::string& command, pid_t daemon) {
  if (command.empty()) return;
  std::string text = command;
  for (auto at = text.find("{pid}"); at != std::string::npos; at = text.find("{pid}"))
    text.replace(at, 5, std::to_string(daemon));
  progress("profiling: %s", text.c_str());
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) {
    progress("cannot start the profiler");
    return;
  }
  m_pid = pid;
  std::this_thread::sleep_for(std::chrono::seconds(1));
}

Profiler::~Profiler() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGINT);
  while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace velmora::bench
