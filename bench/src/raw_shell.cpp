#include "raw_shell.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "velmora/core/os_error.h"

extern char** environ;

namespace velmora::bench {

namespace {

struct PtyFds {
  OwnedFd master;
  OwnedFd slave;
};

// posix_openpt rather than openpty, which lives in a different header on each platform.
Result<PtyFds> open_pty(std::uint16_t rows, std::uint16_t cols) {
  OwnedFd master(::posix_openpt(O_RDWR | O_NOCTTY));
  if (!master) return OsError::from_errno().to_error();
  // Nothing forks while the benchmark opens terminals, so setting the flag now is in time.
  if (::fcntl(master.get(), F_SETFD, FD_CLOEXEC) != 0 || ::grantpt(master.get()) != 0 ||
      ::unlockpt(master.get()) != 0)
    return OsError::from_errno().to_error();
  const char* name = ::ptsname(master.get());
  if (name == nullptr) return OsError::from_errno().to_error();
  OwnedFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) return OsError::from_errno().to_error();
  winsize size{};
  size.ws_row = rows;
  size.ws_col = cols;
  if (::ioctl(master.get(), TIOCSWINSZ, &size) != 0) return OsError::from_errno().to_error();
  return PtyFds{std::move(master), std::move(slave)};
}

}  // namespace

Result<RawShell> RawShell::start(const std::vector<std::string>& argv, std::uint16_t rows,
                                 std::uint16_t cols) {
  return start(argv, rows, cols, environment_with({}));
}

Result<RawShell> RawShell::start(const std::vector<std::string>& argv, std::uint16_t rows,
                                 std::uint16_t cols, const std::vector<std::string>& env,
                                 Line line) {
  if (argv.empty()) return Error("no program");
  auto pty = open_pty(rows, cols);
  if (!pty) return pty.error();
  if (line == Line::raw) {
    termios settings{};
    if (::tcgetattr(pty->slave.get(), &settings) != 0) return OsError::from_errno().to_error();
    ::cfmakeraw(&settings);
    if (::tcsetattr(pty->slave.get(), TCSANOW, &settings) != 0)
      return OsError::from_errno().to_error();
  }
  // Everything the child needs is prepared before fork: it may only make async-signal-safe calls.
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  int slave = pty->slave.get();

  pid_t pid = ::fork();
  if (pid < 0) return OsError::from_errno().to_error();
  if (pid == 0) {
    if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(126);
    if (::dup2(slave, 0) < 0 || ::dup2(slave, 1) < 0 || ::dup2(slave, 2) < 0) ::_exit(126);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  int flags = ::fcntl(pty->master.get(), F_GETFL);
  if (flags < 0 || ::fcntl(pty->master.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    auto error = OsError::from_errno().to_error();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return error;
  }
  return RawShell(std::move(pty->master), pid);
}

RawShell::RawShell(RawShell&& other) noexcept
    : m_master(std::move(other.m_master)), m_pid(other.m_pid) {
  other.m_pid = -1;
}

bool RawShell::wait_exit(std::chrono::steady_clock::time_point deadline) {
  if (m_pid <= 0) return true;
  while (true) {
    pid_t done = ::waitpid(m_pid, nullptr, WNOHANG);
    if (done == m_pid || (done < 0 && errno != EINTR)) {
      m_pid = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(200);
  }
}

RawShell::~RawShell() {
  if (m_pid <= 0) return;
  // The shell leads its own process group; whatever it started goes with it.
  ::kill(-m_pid, SIGKILL);
  ::kill(m_pid, SIGKILL);
  m_master.reset();
  while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& set,
    const std::vector<std::string>& removed) {
  auto named = [](std::string_view entry, std::string_view name) {
    return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
  };
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    bool dropped = false;
    for (const auto& [name, value] : set) dropped = dropped || named(text, name);
    for (const auto& name : removed) dropped = dropped || named(text, name);
    if (!dropped) env.emplace_back(text);
  }
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

}  // namespace velmora::bench
