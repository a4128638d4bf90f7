#include "unix_child.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velmora/core/mutex.h"
#include "velmora/core/os_error.h"

namespace velmora::pty {
namespace {

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
  void adopt(std::shared_ptr<ChildState> child) EXCLUDES(m_mutex) {
    MutexLock lock(m_mutex);
    m_children.push_back(std::move(child));
    if (!start_locked()) return;
    m_wake.notify_one();
  }

  Result<void> start() EXCLUDES(m_mutex) {
    MutexLock lock(m_mutex);
    std::string cause;
    if (!start_locked(&cause)) return Error(cause);
    return {};
  }

 private:
  // Starts the thread unless it runs; false (with the cause) when it cannot be started.
  bool start_locked(std::string* cause = nullptr) REQUIRES(m_mutex) {
    if (m_thread_started) return true;
    try {
      std::thread([this] { run(); }).detach();
      m_thread_started = true;
    } catch (const std::exception& error) {
      if (cause != nullptr) *cause = error.what();
    }
    return m_thread_started;
  }

  void run() EXCLUDES(m_mutex) {
    for (;;) {
      {
        MutexLock lock(m_mutex);
        while (m_children.empty()) m_wake.wait(m_mutex);
      }
      siginfo_t info = {};
      int rc = ::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
      if (rc == -1 && errno == EINTR) continue;
      if (!collect(rc == 0 ? info.si_pid : 0)) {
        MutexLock lock(m_mutex);
        m_wake.wait_for(m_mutex, std::chrono::milliseconds(100));
      }
    }
  }

  // Polls every known child and forgets the collected ones. True when `exited` was among them,
  // i.e. when waitid will not report the same child again.
  bool collect(pid_t exited) EXCLUDES(m_mutex) {
    std::vector<std::shared_ptr<ChildState>> children;
    {
      MutexLock lock(m_mutex);
      children = m_children;
    }
    bool found = false;
    std::vector<ChildState*> collected;
    for (const auto& child : children) {
      if (!child->poll_exited()) continue;
      found = found || child->pid() == exited;
      collected.push_back(child.get());
    }
    MutexLock lock(m_mutex);
    std::erase_if(m_children, [&](const std::shared_ptr<ChildState>& child) {
      return std::find(collected.begin(), collected.end(), child.get()) != collected.end();
    });
    return found;
  }

  Mutex m_mutex;
  // Signalled when a child is adopted.
  ConditionVariable m_wake;
  std::vector<std::shared_ptr<ChildState>> m_children GUARDED_BY(m_mutex);
  bool m_thread_started GUARDED_BY(m_mutex) = false;
};

using Clock = std::chrono::steady_clock;

// One child's way through its grace.
struct Grace {
  UnixChild* child;  // nullptr once it has been found exited
  int polls_left;
  Clock::time_point next_poll;
};

Grace grace_from_now(UnixChild& child) {
  return Grace{&child, std::max(child.kill_grace().polls, 1), Clock::now()};
}

// Polls every child at the pace of its own grace, side by side, until each has exited or used up
// its polls; the ones that have exited are cleared from graces.
void wait_out(std::span<Grace> graces) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = Clock::time_point::max();
    for (Grace& grace : graces) {
      if (grace.child == nullptr || grace.polls_left == 0) continue;
      if (grace.next_poll <= now) {
        if (grace.child->poll_exited()) {
          grace.child = nullptr;
          continue;
        }
        if (--grace.polls_left == 0) continue;
        grace.next_poll = now + grace.child->kill_grace().interval;
      }
      wake = std::min(wake, grace.next_poll);
    }
    if (wake == Clock::time_point::max()) return;
    std::this_thread::sleep_until(wake);
  }
}

}  // namespace

Result<void> start_collecting() { return Reaper::instance().start(); }

Result<void> ChildState::signal_unless_collected(int sig) {
  MutexLock lock(m_mutex);
  if (m_status) return {};
  if (::kill(m_pid, sig) != 0) return OsError::from_errno().to_error();
  return {};
}

bool ChildState::poll_exited() {
  std::function<void()> notice;
  {
    MutexLock lock(m_mutex);
    if (m_status) return true;
    int status = 0;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_status = status;
    } else if (r == -1 && errno == ECHILD) {
      // Collected elsewhere: the pid may already belong to another process.
      m_status = -1;
    }
    if (!m_status) return false;
    notice = std::exchange(m_exit_notice, nullptr);
  }
  if (notice) notice();
  return true;
}

void ChildState::on_exit(std::function<void()> notice) {
  {
    MutexLock lock(m_mutex);
    if (!m_status) {
      m_exit_notice = std::move(notice);
      return;
    }
  }
  if (notice) notice();
}

std::optional<int> ChildState::exit_status() const {
  MutexLock lock(m_mutex);
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
  Grace grace = grace_from_now(*this);
  wait_out(std::span(&grace, 1));
  if (grace.child == nullptr) return {};
  return signal_unless_collected(SIGKILL);
}

void kill_all(std::span<Child* const> children) {
  std::vector<Grace> graces;
  graces.reserve(children.size());
  for (Child* child : children) {
    if (child == nullptr) continue;
    // This layer starts no other kind of child.
    auto& unix_child = static_cast<UnixChild&>(*child);
    // A child whose SIGHUP cannot be sent is done, as in kill().
    if (unix_child.signal_unless_collected(SIGHUP)) graces.push_back(grace_from_now(unix_child));
  }
  wait_out(graces);
  for (const Grace& grace : graces) {
    if (grace.child != nullptr) (void)grace.child->signal_unless_collected(SIGKILL);
  }
}

}  // namespace velmora::pty
