#pragma once

// End-to-end support for the client: running the velmora program, and a private tmux server
// whose pane is the terminal that velmora attaches. Every wait has a timeout.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon_harness.h"

namespace velmora::testing {

struct Ran {
  int status = -1;  // exit status, or -1 when it did not end in time
  std::string out;
  std::string err;
};

// Runs argv with the environment changes, standard input from /dev/null, and collects its
// output through files; kills it after timeout.
inline Ran run_program(const TempDir& dir, std::vector<std::string> argv,
                       const std::map<std::string, std::optional<std::string>>& env_changes = {},
                       std::chrono::milliseconds timeout = 20s) {
  static int counter = 0;
  std::string id = std::to_string(++counter);
  std::string out_path = dir.file("out-" + id), err_path = dir.file("err-" + id);
  std::vector<std::string> env = environment_with(env_changes);
  std::vector<char*> args = null_terminated(argv), envp = null_terminated(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  Ran ran;
  if (rc != 0) return ran;
  int status = 0;
  bool ended = wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    ran.status = WEXITSTATUS(status);
  }
  ran.out = read_file(out_path);
  ran.err = read_file(err_path);
  return ran;
}

inline std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// A tmux server of our own (its socket in the test's directory, no configuration file), with
// one 80x24 window whose shell starts in the test's directory, has the prompt "outer$ " and finds
// velmora on PATH.
class TmuxTerminal {
 public:
  explicit TmuxTerminal(const TempDir& dir, const std::string& daemon_socket)
      : m_dir(dir), m_socket(dir.file("tmux.sock")) {
    const char* path = std::getenv("PATH");
    std::string shell_path = directory_of(VELMORA_PATH) + ":" + (path ? path : "/usr/bin:/bin");
    m_shell = {"env",
               "-u",
               "ENV",
               "-u",
               "XDG_STATE_HOME",
               "PS1=outer$ ",
               "PATH=" + shell_path,
               "VELMORAD_SOCKET=" + daemon_socket,
               "HOME=" + dir.path(),
               "/bin/sh"};
    std::vector<std::string> args = {"-f", "/dev/null", "new-session", "-d", "-s", "t",
                                     "-x", "80",        "-y",          "24", "-c", dir.path()};
    args.insert(args.end(), m_shell.begin(), m_shell.end());
    m_started = tmux(args).status == 0;
    if (m_started) tmux({"set-option", "-g", "status", "off"});
  }
  ~TmuxTerminal() {
    // Ends the server, its panes and every velmora running in them.
    tmux({"kill-server"});
  }
  TmuxTerminal(const TmuxTerminal&) = delete;
  TmuxTerminal& operator=(const TmuxTerminal&) = delete;

  bool started() const { return m_started; }

  Ran tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-S", m_socket});
    return run_program(m_dir, std::move(args), {{"TMUX", std::nullopt}}, 10s);
  }

  // Types text literally, then Enter.
  void type_line(const std::string& text, const std::string& pane = "t") {
    tmux({"send-keys", "-t", pane, "-l", text});
    tmux({"send-keys", "-t", pane, "Enter"});
  }
  void press_bytes(const std::string& hex, const std::string& pane = "t") {
    tmux({"send-keys", "-t", pane, "-H", hex});
  }

  std::string screen(const std::string& pane = "t") {
    return tmux({"capture-pane", "-p", "-t", pane}).out;
  }

  // The command that a shell, in the pane or in a session, runs to signal channel.
  std::string signal_command(const std::string& channel) const {
    return "tmux -S " + m_socket + " wait-for -S " + channel;
  }
  // Waits until channel is signalled (a signal that came first is kept for us by the server).
  bool wait_channel(const std::string& channel, std::chrono::milliseconds timeout = 15s) {
    std::vector<std::string> args = {"tmux", "-S", m_socket, "wait-for", channel};
    return run_program(m_dir, std::move(args), {{"TMUX", std::nullopt}}, timeout).status == 0;
  }
  // A channel name of its own for each wait.
  std::string fresh_channel() { return "mark-" + std::to_string(++m_channels); }

  // Waits until the pane shows text; the last screen is kept for failure messages. Every
  // capture is a process of its own: they are spaced out, so as not to load the machine that
  // has to draw what is awaited.
  bool wait_for(const std::string& text, const std::string& pane = "t",
                std::chrono::milliseconds timeout = 15s) {
    return poll_screen([&] { return m_last.find(text) != std::string::npos; }, pane, timeout);
  }
  bool wait_gone(const std::string& text, const std::string& pane = "t",
                 std::chrono::milliseconds timeout = 15s) {
    return poll_screen([&] { return m_last.find(text) == std::string::npos; }, pane, timeout);
  }
  const std::string& last_screen() const { return m_last; }

  // A format of the pane's, such as "#{alternate_on}", without the newline.
  std::string pane_format(const std::string& format, const std::string& pane = "t") {
    std::string out = tmux({"display-message", "-p", "-t", pane, format}).out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  bool wait_alternate(bool on, const std::string& pane = "t",
                      std::chrono::milliseconds timeout = 15s) {
    auto deadline = Clock::now() + timeout;
    while (true) {
      if (pane_format("#{alternate_on}", pane) == (on ? "1" : "0")) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(POLL_INTERVAL);
    }
  }
  // Every line the pane has: its scrollback, then its screen.
  std::string history(const std::string& pane = "t") {
    return tmux({"capture-pane", "-p", "-S", "-", "-E", "-", "-t", pane}).out;
  }

  // A second pane below the first, also running the outer shell; returns its target.
  std::string split() {
    std::vector<std::string> args = {"split-window", "-d", "-v",         "-t", "t",
                                     "-P",           "-F", "#{pane_id}", "-c", m_dir.path()};
    args.insert(args.end(), m_shell.begin(), m_shell.end());
    Ran ran = tmux(args);
    std::string id = ran.out;
    while (!id.empty() && id.back() == '\n') id.pop_back();
    return id;
  }

 private:
  static constexpr std::chrono::milliseconds POLL_INTERVAL{50};

  template <typename Seen>
  bool poll_screen(Seen seen, const std::string& pane, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (true) {
      m_last = screen(pane);
      if (seen()) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(POLL_INTERVAL);
    }
  }

  const TempDir& m_dir;
  std::string m_socket;
  std::vector<std::string> m_shell;
  bool m_started = false;
  std::string m_last;
  int m_channels = 0;
};

}  // namespace velmora::testing
