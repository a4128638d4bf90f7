#include "unix_child.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <span>
#include <thread>
#include <vector>

#include "velmora/core/os_error.h"

namespace velmora::pty {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kPolls = 5;

// Collects processes whose handles were released before they ended, so that none stays a
// zombie. One thread for the whole process, started on first use; it sleeps while there is
// nothing to collect and polls every 100 ms otherwise.
class Reaper {
 public:
  static Reaper& instance() {
    // Never destroyed: the detached thread may still use it while the process exits.
    static Reaper* reaper = new Reaper;
    return *reaper;
  }

  void adopt(pid_t pid) {
    std::lock_guard lock(m_mutex);
    m_pids.push_back(pid);
    if (!m_thread_started) {
      try {
        std::thread([this] { run(); }).detach();
        m_thread_started = true;
      } catch (...) {
        // Tried again with the next adoption; the pid waits in the list meanwhile.
      }
    }
    m_wake.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [this] { return !m_pids.empty(); });
      std::erase_if(m_pids, [](pid_t pid) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        return r == pid || (r == -1 && errno == ECHILD);
      });
      if (!m_pids.empty()) m_wake.wait_for(lock, std::chrono::milliseconds(100));
    }
  }

  // Guards m_pids and m_thread_started.
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<pid_t> m_pids;
  bool m_thread_started = false;
};

}  // namespace

UnixChild::~UnixChild() {
  if (!poll_exited()) Reaper::instance().adopt(m_pid);
}

Result<void> UnixChild::signal_unless_collected(int sig) {
  std::lock_guard lock(m_mutex);
  if (m_status) return {};
  if (::kill(m_pid, sig) != 0) return OsError::from_errno().to_error();
  return {};
}

bool UnixChild::poll_exited() {
  std::lock_guard lock(m_mutex);
  if (m_status) return true;
  int status = 0;
  pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid) {
    m_status = status;
  } else if (r == -1 && errno == ECHILD) {
    // Collected elsewhere: the pid may already belong to another process.
    m_status = -1;
  }
  return m_status.has_value();
}

std::optional<int> UnixChild::exit_status() const {
  std::lock_guard lock(m_mutex);
  return m_status;
}

Result<void> UnixChild::kill() {
  if (auto r = signal_unless_collected(SIGHUP); !r) return r;
  for (int poll = 0; poll < kPolls; ++poll) {
    if (poll > 0) std::this_thread::sleep_for(kPollInterval);
    if (poll_exited()) return {};
  }
  return signal_unless_collected(SIGKILL);
}

void kill_all(std::span<Child* const> children) {
  std::vector<UnixChild*> pending;
  std::vector<Child*> others;
  for (Child* child : children) {
    if (child == nullptr) continue;
    if (auto* unix_child = dynamic_cast<UnixChild*>(child)) {
      // A child whose SIGHUP cannot be sent is done, as in kill().
      if (unix_child->signal_unless_collected(SIGHUP)) pending.push_back(unix_child);
    } else {
      others.push_back(child);
    }
  }
  for (int poll = 0; poll < kPolls && !pending.empty(); ++poll) {
    if (poll > 0) std::this_thread::sleep_for(kPollInterval);
    std::erase_if(pending, [](UnixChild* child) { return child->poll_exited(); });
  }
  for (UnixChild* child : pending) (void)child->signal_unless_collected(SIGKILL);
  for (Child* child : others) (void)child->kill();
}

}  // namespace velmora::pty
