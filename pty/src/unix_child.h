#pragma once

// The POSIX child handle.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "velmora/core/mutex.h"
#include "velmora/core/result.h"
#include "velmora/pty/child.h"

namespace velmora::pty {

// Whether one child has been collected, shared by its handle and the background reaper, which
// collects every child as soon as it exits so that none stays a zombie, whether its handle is
// still held or not.
class ChildState {
 public:
  explicit ChildState(pid_t pid) : m_pid(pid) {}

  pid_t pid() const { return m_pid; }
  // Sends sig unless the process has been collected (then nothing is sent, and it succeeds).
  Result<void> signal_unless_collected(int sig) EXCLUDES(m_mutex);
  // One non-blocking poll; true once the process has been collected.
  bool poll_exited() EXCLUDES(m_mutex);
  // The wait status once collected; -1 when something else in the process collected it.
  std::optional<int> exit_status() const EXCLUDES(m_mutex);
  // See Child::on_exit.
  void on_exit(std::function<void()> notice) EXCLUDES(m_mutex);

 private:
  const pid_t m_pid;
  // Held across a signal and across a poll, so that a pid is never signalled once it has been
  // collected (and may belong to another process).
  mutable Mutex m_mutex;
  std::optional<int> m_status GUARDED_BY(m_mutex);
  // Run by the poll that sets m_status, after it has let go of m_mutex.
  std::function<void()> m_exit_notice GUARDED_BY(m_mutex);
};

// How long kill() gives a process to exit after SIGHUP: `polls` polls `interval` apart, the first
// at once; SIGKILL follows a last poll that still finds it running.
struct KillGrace {
  int polls = 5;
  std::chrono::milliseconds interval{50};
};

class UnixChild final : public Child {
 public:
  // Hands the child to the background reaper.
  explicit UnixChild(pid_t pid);
  // Never signals the process.
  ~UnixChild() override;
  UnixChild(const UnixChild&) = delete;
  UnixChild& operator=(const UnixChild&) = delete;

  Result<void> kill() override;
  std::optional<std::uint32_t> process_id() const override {
    return static_cast<std::uint32_t>(m_state->pid());
  }
  void on_exit(std::function<void()> notice) override { m_state->on_exit(std::move(notice)); }

  // For tests that must not depend on how fast a loaded machine lets a process die: set before
  // the handle is shared with another thread.
  void set_kill_grace(KillGrace grace) { m_grace = grace; }
  const KillGrace& kill_grace() const { return m_grace; }

  // The steps of kill(), also run side by side by kill_all().
  Result<void> signal_unless_collected(int sig) { return m_state->signal_unless_collected(sig); }
  bool poll_exited() { return m_state->poll_exited(); }
  std::optional<int> exit_status() const { return m_state->exit_status(); }

 private:
  std::shared_ptr<ChildState> m_state;
  KillGrace m_grace;
};

}  // namespace velmora::pty
