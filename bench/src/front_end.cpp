#include "front_end.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "raw_shell.h"
#include "velmora/core/os_error.h"

extern char** environ;

namespace velmora::bench {

using namespace std::chrono_literals;

namespace {

// The terminal type that the front ends are told they run in.
constexpr const char* OUTER_TERM = "xterm-256color";

// Variables that would make a front end think it runs inside a session of its own.
const std::vector<std::string> INHERITED_SESSION = {"VELMORA_SESSION", "VELMORA_SESSION_SOCKET",
                                                    "TMUX"};

// The raw baseline's command line, the relay's as well.
std::vector<std::string> login_shell(const std::string& shell) { return {shell, "-l"}; }

}  // namespace

Result<RawTerminal> start_on_terminal(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env, RawShell::Line line) {
  auto started = RawShell::start(argv, ROWS, COLS, env.empty() ? environment_with({}) : env, line);
  if (!started) return started.error();
  return RawTerminal(std::move(*started));
}

Result<RawTerminal> start_raw_shell(const std::string& shell) {
  return start_on_terminal(login_shell(shell));
}

Result<RawTerminal> start_relay(const std::string& relay, const std::string& shell) {
  // The relay hands its own environment to the shell, and its terminal's size.
  std::vector<std::string> argv = {relay};
  for (auto& arg : login_shell(shell)) argv.push_back(std::move(arg));
  return start_on_terminal(argv);
}

Result<RawTerminal> start_velmora_client(const std::string& client, const std::string& socket,
                                         const std::string& key) {
  return start_velmora(client, socket, {"attach", key});
}

Result<RawTerminal> start_velmora(const std::string& client, const std::string& socket,
                                  const std::vector<std::string>& args) {
  auto env =
      environment_with({{"VELMORAD_SOCKET", socket}, {"TERM", OUTER_TERM}}, INHERITED_SESSION);
  std::vector<std::string> argv = {client};
  argv.insert(argv.end(), args.begin(), args.end());
  return start_on_terminal(argv, env);
}

Result<void> detach(RawTerminal& terminal, std::string_view keys, Clock::time_point deadline) {
  if (auto sent = terminal.input(keys); !sent) return sent.error();
  return wait_end(terminal, deadline);
}

Result<void> wait_end(RawTerminal& terminal, Clock::time_point deadline) {
  std::string ignored;
  while (true) {
    ignored.clear();
    auto got = terminal.read_some(ignored, deadline);
    if (got) continue;
    if (got.error().text() != "the shell's terminal closed") return got.error();
    break;
  }
  if (!terminal.shell().wait_exit(deadline))
    return Error("still running after its terminal closed");
  return {};
}

std::string find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    auto colon = rest.find(':');
    std::string_view directory = rest.substr(0, colon);
    if (directory.empty()) directory = ".";
    std::string candidate;
    candidate.append(directory).append("/").append(name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return "";
    rest.remove_prefix(colon + 1);
  }
}

Result<std::string> run_program(const std::vector<std::string>& argv, Clock::time_point deadline) {
  int ends[2];
  if (::pipe(ends) != 0) return OsError::from_errno().to_error();
  OwnedFd read_end(ends[0]), write_end(ends[1]);
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0)
    return OsError::from_errno().to_error();
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return Error("cannot start " + argv[0] + ": " + std::strerror(rc));
  write_end.reset();

  // A program that leaves a daemon behind (a tmux server) may hand it our pipe, so the end of
  // the program, not the end of the pipe, ends the reading.
  std::string output;
  int status = 0;
  bool ended = false;
  while (true) {
    char buffer[4096];
    ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (ended) break;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      ended = true;
      continue;  // what it wrote last is still in the pipe
    }
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return Error(argv[0] + " did not finish in time");
    }
    pollfd entry{read_end.get(), POLLIN, 0};
    ::poll(&entry, 1, 2);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return Error(argv[0] + " failed: " + output.substr(0, 200));
  return output;
}

Result<TmuxServer> TmuxServer::start(const std::string& tmux, const std::string& socket,
                                     const std::string& shell, const std::string& first_session) {
  TmuxServer server(tmux, socket, shell);
  if (auto made = server.new_session(first_session); !made) return made.error();
  auto pid = server.command({"display-message", "-p", "#{pid}"});
  if (!pid) return pid.error();
  server.m_pid = static_cast<pid_t>(std::atoi(pid->c_str()));
  if (server.m_pid <= 0) return Error("tmux gave no server pid: " + *pid);
  if (auto set = server.command({"set-option", "-g", "status", "off"}); !set) return set.error();
  return server;
}

TmuxServer::TmuxServer(TmuxServer&& other) noexcept
    : m_tmux(std::move(other.m_tmux)),
      m_socket(std::move(other.m_socket)),
      m_shell(std::move(other.m_shell)),
      m_pid(other.m_pid) {
  other.m_tmux.clear();
  other.m_pid = -1;
}

TmuxServer::~TmuxServer() {
  if (m_tmux.empty()) return;
  (void)command({"kill-server"});
  if (m_pid <= 0) return;
  // The server is not our child: it is gone when signal 0 no longer reaches it.
  auto deadline = Clock::now() + 2s;
  while (::kill(m_pid, 0) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ::kill(m_pid, SIGKILL);
}

Result<void> TmuxServer::new_session(const std::string& name) const {
  auto made = command({"new-session", "-d", "-s", name, "-x", std::to_string(COLS), "-y",
                       std::to_string(ROWS), m_shell});
  if (!made) return made.error();
  return {};
}

Result<void> TmuxServer::detach_clients(const std::string& name) const {
  auto done = command({"detach-client", "-s", name});
  if (!done) return done.error();
  return {};
}

Result<RawTerminal> TmuxServer::attach(const std::string& name) const {
  auto env = environment_with({{"TERM", OUTER_TERM}}, INHERITED_SESSION);
  return start_on_terminal({m_tmux, "-S", m_socket, "attach-session", "-t", name}, env);
}

Result<std::string> TmuxServer::command(std::vector<std::string> args) const {
  std::vector<std::string> argv = {m_tmux, "-S", m_socket, "-f", "/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, Clock::now() + 10s);
}

}  // namespace velmora::bench
