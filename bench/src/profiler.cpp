#include "profiler.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "bench.h"

namespace velmora::bench {

namespace {

void substitute(std::string& text, std::string_view name, pid_t pid) {
  for (auto at = text.find(name); at != std::string::npos; at = text.find(name))
    text.replace(at, name.size(), std::to_string(pid));
}

}  // namespace

Profiler::Profiler(const std::string& command, ProfiledPids pids) {
  if (command.empty()) return;
  std::string text = command;
  for (auto [name, pid] : {std::pair<std::string_view, pid_t>{"{pid}", pids.daemon},
                           {"{client_daemon}", pids.client_daemon},
                           {"{client}", pids.client}}) {
    if (text.find(name) == std::string::npos) continue;
    if (pid <= 0) return;
    substitute(text, name, pid);
  }
  progress("profiling: %s", text.c_str());
  pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own: the stop reaches the profiler that the shell started, not only the
    // shell, which would otherwise wait for it for good.
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) {
    progress("cannot start the profiler");
    return;
  }
  // Also from this side, so that the group exists whichever of the two runs first.
  (void)::setpgid(pid, pid);
  m_pid = pid;
  std::this_thread::sleep_for(std::chrono::seconds(1));
}

Profiler::~Profiler() {
  if (m_pid <= 0) return;
  ::kill(-m_pid, SIGINT);
  while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace velmora::bench
