// The live path of `velmora attach` on a terminal that the test reads itself: what the session's
// programs write arrives in the terminal byte for byte.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client_harness.h"

namespace velmora::testing {
namespace {

// velmora attach with the slave of a fresh pseudo-terminal as its terminal.
class AttachedTerminal {
 public:
  AttachedTerminal(const TempDir& dir, const std::string& socket, const std::string& key) {
    m_master = OwnedFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_master || ::grantpt(m_master.get()) != 0 || ::unlockpt(m_master.get()) != 0) return;
    std::string slave = ::ptsname(m_master.get());
    std::vector<std::string> env = environment_with(
        {{"VELMORAD_SOCKET", socket}, {"XDG_STATE_HOME", dir.path()}, {"TERM", "xterm"}});
    std::vector<std::string> argv = {VELMORA_PATH, "attach", key};
    std::vector<char*> args = null_terminated(argv), envp = null_terminated(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
      posix_spawn_file_actions_addopen(&actions, fd, slave.c_str(), O_RDWR, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    if (::posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), envp.data()) != 0)
      m_pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~AttachedTerminal() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }

  bool running() const { return m_pid > 0; }

  void type(std::string_view keys) {
    while (!keys.empty()) {
      ssize_t n = ::write(m_master.get(), keys.data(), keys.size());
      if (n <= 0) return;
      keys.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Reads the terminal until text has shown up after from, or the timeout passes.
  bool read_until(const std::string& text, std::size_t from = 0,
                  std::chrono::milliseconds timeout = 60s) {
    auto deadline = Clock::now() + timeout;
    while (m_seen.find(text, from) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{m_master.get(), POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[65536];
      ssize_t n = ::read(m_master.get(), chunk, sizeof chunk);
      if (n <= 0) return false;  // the client has gone and the terminal with it
      m_seen.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
  const std::string& seen() const { return m_seen; }

  // The exit status once the client has ended within the timeout (reading its last words).
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = 20s) {
    int status = 0;
    bool ended = wait_until(
        [&] {
          read_until("\x01", m_seen.size(), 10ms);
          return ::waitpid(m_pid, &status, WNOHANG) == m_pid;
        },
        timeout);
    if (!ended) return std::nullopt;
    m_reaped = true;
    return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
  }

 private:
  OwnedFd m_master;
  pid_t m_pid = -1;
  bool m_reaped = false;
  std::string m_seen;
};

TEST(LiveOutput, EveryByteTheSessionWritesReachesTheTerminalUnchanged) {
  RunningDaemon daemon({{"SHELL", "/bin/sh"}, {"ENV", std::nullopt}});
  ASSERT_TRUE(daemon.listening());
  // Every byte value, in lines and in long runs without a line feed, several MiB of it, so that
  // it comes in many output events, some split across the client's reads.
  std::string data;
  std::mt19937 random(7);
  while (data.size() < (6u << 20)) {
    std::size_t run = random() % 70000;
    for (std::size_t i = 0; i < run; ++i) data += static_cast<char>(random() & 0xff);
    data += "line\r\n\x1b[1mbold\x1b[0m\n";
  }
  std::string path = daemon.dir().file("data");
  std::ofstream(path, std::ios::binary) << data;

  AttachedTerminal terminal(daemon.dir(), daemon.socket_path(), "live");
  ASSERT_TRUE(terminal.running());
  // The session's terminal passes the bytes through raw; the markers are split in the command
  // line so that its echo does not contain them.
  terminal.type("stty raw -echo; printf '%s' '<<BE''GIN>>'; cat " + path +
                "; printf '%s' '<<E''ND>>'; stty sane\r");
  ASSERT_TRUE(terminal.read_until("<<BEGIN>>")) << terminal.seen().substr(0, 2000);
  std::size_t begin = terminal.seen().find("<<BEGIN>>") + 9;
  ASSERT_TRUE(terminal.read_until("<<END>>", begin)) << terminal.seen().size() - begin;
  std::size_t end = terminal.seen().find("<<END>>", begin);
  ASSERT_EQ(end - begin, data.size());
  EXPECT_TRUE(terminal.seen().compare(begin, data.size(), data) == 0)
      << "the bytes through the client differ";

  terminal.type("\x1c");  // the detach key
  EXPECT_EQ(terminal.wait_exit(), 0);
  EXPECT_NE(terminal.seen().find("[detached from live]", end), std::string::npos);
}

}  // namespace
}  // namespace velmora::testing
