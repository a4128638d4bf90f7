#include "unix_child.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "velmora/core/os_error.h"

namespace velmora::pty {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kPolls = 5;

// Collects every started child as soon as it exits. One thread for the whole process, started
// with the first child; it sleeps in waitid until some child of the process becomes waitable
// (without collecting it, since it may belong to someone else), then polls the children it knows.
// Should the waitable child be somebody else's, it falls back to polling every 100 ms until that
// one is gone, rather than spinning.
class Reaper {
 public:
  static Reaper& instance() {
    // Never destroyed: the detached thread may still use it while the process exits.
    static Reaper* reaper = new Reaper;
    return *reaper;
  }

  // Should the thread not start, it is tried again with the next child.
  void adopt(std::shared_ptr<ChildState> child) {
    std::lock_guard lock(m_mutex);
    m_children.push_back(std::move(child));
    if (!start_locked()) return;
    m_wake.notify_one();
  }

  Result<void> start() {
    std::lock_guard lock(m_mutex);
    std::string cause;
    if (!start_locked(&cause)) return Error(cause);
    return {};
  }

 private:
  // Starts the thread unless it runs; false (with the cause) when it cannot be started.
  bool start_locked(std::string* cause = nullptr) {
    if (m_thread_started) return true;
    try {
      std::thread([this] { run(); }).detach();
      m_thread_started = true;
    } catch (const std::exception& error) {
      if (cause != nullptr) *cause = error.what();
    }
    return m_thread_started;
  }

  void run() {
    for (;;) {
      {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return !m_children.empty(); });
      }
      siginfo_t info = {};
      int rc = ::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
      if (rc == -1 && errno == EINTR) continue;
      if (!collect(rc == 0 ? info.si_pid : 0)) {
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(100));
      }
    }
  }

  // Polls every known child and forgets the collected ones. True when `exited` was among them,
  // i.e. when waitid will not report the same child again.
  bool collect(pid_t exited) {
    std::vector<std::shared_ptr<ChildState>> children;
    {
      std::lock_guard lock(m_mutex);
      children = m_children;
    }
    bool found = false;
    std::vector<ChildState*> collected;
    for (const auto& child : children) {
      if (!child->poll_exited()) continue;
      found = found || child->pid() == exited;
      collected.push_back(child.get());
    }
    std::lock_guard lock(m_mutex);
    std::erase_if(m_children, [&](const std::shared_ptr<ChildState>& child) {
      return std::find(collected.begin(), collected.end(), child.get()) != collected.end();
    });
    return found;
  }

  // Guards m_children and m_thread_started.
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<std::shared_ptr<ChildState>> m_children;
  bool m_thread_started = false;
};

}  // namespace

Result<void> start_collecting() { return Reaper::instance().start(); }

Result<void> ChildState::signal_unless_collected(int sig) {
  std::lock_guard lock(m_mutex);
  if (m_status) return {};
  if (::kill(m_pid, sig) != 0) return OsError::from_errno().to_error();
  return {};
}

bool ChildState::poll_exited() {
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

std::optional<int> ChildState::exit_status() const {
  std::lock_guard lock(m_mutex);
  return m_status;
}

UnixChild::UnixChild(pid_t pid) : m_state(std::make_shared<ChildState>(pid)) {
  try {
    Reaper::instance().adopt(m_state);
  } catch (...) {
    // Out of memory: the release below still polls once.
  }
}

UnixChild::~UnixChild() { (void)m_state->poll_exited(); }

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
