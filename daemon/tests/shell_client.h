#pragma once

// End-to-end support for session tests: a daemon that starts real shells, and a client that
// keeps each session's output apart from the other events.

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "velmora/core/base64.h"

namespace velmora::testing {

// A daemon whose sessions run `shell` with HOME in a directory of their own.
class ShellDaemon {
 public:
  explicit ShellDaemon(std::string shell = "/bin/sh",
                       std::map<std::string, std::optional<std::string>> env = {})
      : m_daemon(with_defaults(std::move(shell), std::move(env), m_home.path())) {}

  bool listening() const { return m_daemon.listening(); }
  const std::string& home() const { return m_home.path(); }
  const TempDir& dir() const { return m_daemon.dir(); }
  DaemonProcess& process() { return m_daemon.process(); }
  const std::string& socket_path() const { return m_daemon.socket_path(); }

 private:
  static std::map<std::string, std::optional<std::string>> with_defaults(
      std::string shell, std::map<std::string, std::optional<std::string>> env,
      const std::string& home) {
    env.emplace("SHELL", std::move(shell));
    env.emplace("HOME", home);
    // Keep login shells quiet and predictable.
    env.emplace("ENV", std::nullopt);
    env.emplace("PS1", "$ ");
    return env;
  }

  TempDir m_home;
  RunningDaemon m_daemon;
};

// Whether the process sleeps in a read of standard input or in a wait for a descriptor to become
// readable, from /proc/<pid>/syscall; nothing where the system does not tell.
inline std::optional<bool> waits_for_terminal(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/syscall");
  if (text.empty()) return {};
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;  // running
  char* end = nullptr;
  long number = std::strtol(text.c_str(), &end, 10);
  unsigned long first = std::strtoul(end, nullptr, 16);
  if (number == SYS_read) return first == 0;
  bool waits = number == SYS_pselect6 || number == SYS_ppoll;
#ifdef SYS_select
  waits = waits || number == SYS_select;
#endif
#ifdef SYS_poll
  waits = waits || number == SYS_poll;
#endif
  return waits;
}

// A connection that sorts what arrives: output is collected per key (decoded), every other event
// is queued in arrival order. `log` keeps the order of everything, output included.
class ShellClient {
 public:
  explicit ShellClient(const std::string& socket_path) : m_client(socket_path) {}
  explicit ShellClient(TestClient client) : m_client(std::move(client)) {}

  bool connected() const { return m_client.connected(); }
  TestClient& raw() { return m_client; }
  void disconnect() { m_client.close(); }

  bool send(const Request& request) { return m_client.send_request(request); }

  // Sends the attach and returns the attached or error event that answers it.
  std::optional<Event> attach(const std::string& key, std::optional<std::string> cwd = {},
                              std::uint16_t cols = 80, std::uint16_t rows = 24,
                              std::vector<EnvPair> env = {}) {
    if (!send(AttachRequest{key, std::move(cwd), cols, rows, std::move(env)})) return {};
    return next_event_where([](const Event& event) {
      return std::holds_alternative<AttachedEvent>(event) ||
             std::holds_alternative<ErrorEvent>(event);
    });
  }
  std::optional<AttachedEvent> attached(const std::string& key, std::optional<std::string> cwd = {},
                                        std::uint16_t cols = 80, std::uint16_t rows = 24,
                                        std::vector<EnvPair> env = {}) {
    auto event = attach(key, std::move(cwd), cols, rows, std::move(env));
    if (!event || !std::holds_alternative<AttachedEvent>(*event)) return {};
    // A new shell may discard what is typed while it sets its terminal up: wait until it waits
    // for input.
    const AttachedEvent& attached = std::get<AttachedEvent>(*event);
    if (!attached.resumed && !wait_shell_ready(key, attached.pid)) return {};
    return attached;
  }

  // Waits until the shell of a new session waits for what is typed, collecting what arrives
  // meanwhile. The shell is known by its pid, so neither an earlier session of the key nor its
  // late output can stand in for it: where /proc tells what a process waits in, until the shell
  // sleeps in a read of its terminal (or in a wait for it to become readable); elsewhere, until
  // output arrives after the reply to the attach.
  bool wait_shell_ready(const std::string& key, pid_t pid,
                        std::chrono::milliseconds timeout = 10s) {
    std::size_t before = output(key).size();
    auto deadline = Clock::now() + timeout;
    while (true) {
      std::optional<bool> waiting = waits_for_terminal(pid);
      if (waiting ? *waiting : output(key).size() > before) return true;
      if (Clock::now() >= deadline) return false;
      // Output is collected while we wait; a quiet connection just spaces the looks out.
      (void)read_one(std::min(deadline, Clock::now() + 20ms));
    }
  }

  // Types text into the session's terminal.
  bool type(const std::string& key, const std::string& text) {
    return send(WriteRequest{key, base64_encode(text)});
  }

  // Makes the session's shell ignore SIGHUP, so that only SIGKILL ends it.
  bool ignore_hangup(const std::string& key) {
    type(key, "trap '' HUP; echo tr''apped\r");
    return wait_output(key, "trapped");
  }

  // The next event other than output is "exited" for key.
  bool next_is_exited(const std::string& key, std::chrono::milliseconds timeout = 10s) {
    auto event = next_event(timeout);
    return event && std::holds_alternative<ExitedEvent>(*event) &&
           std::get<ExitedEvent>(*event).key == key;
  }

  std::optional<std::vector<SessionInfo>> list(std::chrono::milliseconds timeout = 10s) {
    if (!send(ListRequest{})) return {};
    auto event = next_event_where(
        [](const Event& e) { return std::holds_alternative<SessionsEvent>(e); }, timeout);
    if (!event) return {};
    return std::get<SessionsEvent>(*event).keys;
  }

  bool hello(std::chrono::milliseconds timeout = 10s) {
    if (!send(HelloRequest{1})) return false;
    return next_event_where([](const Event& e) { return std::holds_alternative<HelloEvent>(e); },
                            timeout)
        .has_value();
  }

  // Reads until the session's collected output contains text (any output, for the empty text).
  bool wait_output(const std::string& key, const std::string& text,
                   std::chrono::milliseconds timeout = 10s) {
    auto deadline = Clock::now() + timeout;
    while (output(key).empty() || output(key).find(text) == std::string::npos) {
      if (!read_one(deadline)) return false;
    }
    return true;
  }

  // Reads until at least size bytes of the session's output have been collected.
  bool wait_output_size(const std::string& key, std::size_t size,
                        std::chrono::milliseconds timeout = 10s) {
    auto deadline = Clock::now() + timeout;
    while (output(key).size() < size) {
      if (!read_one(deadline)) return false;
    }
    return true;
  }

  // The next event other than output (output read meanwhile is collected).
  std::optional<Event> next_event(std::chrono::milliseconds timeout = 10s) {
    return next_event_where([](const Event&) { return true; }, timeout);
  }

  template <typename Pred>
  std::optional<Event> next_event_where(Pred pred, std::chrono::milliseconds timeout = 10s) {
    auto deadline = Clock::now() + timeout;
    while (true) {
      for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (pred(*it)) {
          Event event = std::move(*it);
          m_pending.erase(it);
          return event;
        }
      }
      if (!read_one(deadline)) return {};
    }
  }

  // Sends a list request and reports whether its reply is the next thing to arrive, output
  // included. The daemon answers a connection's requests in order, so whatever it had queued
  // for this client before the request comes first: a short silence alone proves nothing.
  bool reply_comes_next(std::chrono::milliseconds timeout = 10s) {
    std::size_t seen = m_log.size();
    if (!m_pending.empty() || !send(ListRequest{})) return false;
    auto deadline = Clock::now() + timeout;
    while (m_log.size() == seen) {
      if (!read_one(deadline)) return false;
    }
    if (!std::holds_alternative<SessionsEvent>(m_log[seen])) return false;
    m_pending.clear();
    return true;
  }

  // Reads whatever arrives until nothing has come for `quiet`.
  void drain(std::chrono::milliseconds quiet = 300ms) {
    while (read_one(Clock::now() + quiet)) {
    }
  }

  const std::string& output(const std::string& key) { return m_output[key]; }
  const std::vector<Event>& log() const { return m_log; }
  // Lines that did not decode as events.
  int undecodable() const { return m_undecodable; }

 private:
  bool read_one(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    auto line = m_client.read_line(left);
    if (!line) return false;
    auto event = decode_event(*line);
    if (!event) {
      ++m_undecodable;
      return true;
    }
    m_log.push_back(*event);
    if (auto* output = std::get_if<OutputEvent>(&*event)) {
      auto bytes = base64_decode(output->data_base64);
      if (!bytes) ++m_undecodable;
      m_output[output->key] += bytes.value_or("");
    } else {
      m_pending.push_back(std::move(*event));
    }
    return true;
  }

  TestClient m_client;
  std::map<std::string, std::string> m_output;
  std::deque<Event> m_pending;
  std::vector<Event> m_log;
  int m_undecodable = 0;
};

inline std::optional<SessionInfo> find_row(const std::vector<SessionInfo>& rows,
                                           const std::string& key) {
  for (const auto& row : rows)
    if (row.key == key) return row;
  return {};
}

// The state letter of a process from /proc ('Z' for a zombie), or nothing when it does not exist.
inline std::optional<char> process_state(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return {};
  return stat[close + 2];
}

inline std::optional<pid_t> parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 4 >= stat.size()) return {};
  return static_cast<pid_t>(std::atoi(stat.c_str() + close + 4));
}

// The children of parent, with their state letters.
inline std::vector<std::pair<pid_t, char>> children_of(pid_t parent) {
  std::vector<std::pair<pid_t, char>> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = ::readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    auto state = process_state(pid);
    if (state && parent_of(pid) == parent) found.emplace_back(pid, *state);
  }
  ::closedir(proc);
  return found;
}

// Children of parent that have ended but were never collected.
inline std::vector<pid_t> zombie_children(pid_t parent) {
  std::vector<pid_t> zombies;
  for (auto [pid, state] : children_of(parent))
    if (state == 'Z') zombies.push_back(pid);
  return zombies;
}

inline bool have_proc() { return std::filesystem::exists("/proc/self/stat"); }

inline bool process_gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Waits until the process no longer exists: ended and collected by its parent.
inline bool wait_gone(std::uint32_t pid, std::chrono::milliseconds timeout = 3s) {
  return wait_until([&] { return process_gone(static_cast<pid_t>(pid)); }, timeout);
}

}  // namespace velmora::testing
