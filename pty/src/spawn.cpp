// Starting a command on the slave side of a terminal.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "platform.h"
#include "start_plan.h"
#include "unix_child.h"
#include "unix_pty.h"
#include "velmora/core/descriptor_sweep.h"
#include "velmora/core/os_error.h"
#include "velmora/pty/command.h"

namespace velmora::pty {
namespace {

// Everything the child needs, prepared before it exists: between fork and exec it may neither
// allocate nor take a lock, since another thread may have held one at the moment of the fork.
struct ChildContext {
  int stdio[3];
  int report_fd;
  const char* cwd;
  const char* path;
  char* const* argv;
  char* const* envp;
  // For a file that exec rejects as not a program: run it with /bin/sh, as execvp does.
  char* const* shell_argv;
  const char* exec_failure_prefix;
  std::size_t exec_failure_prefix_length;
  DescriptorSweep sweep;
};

[[noreturn]] void report_and_exit(int report_fd) {
  int code = errno;
  ssize_t ignored = ::write(report_fd, &code, sizeof code);
  (void)ignored;
  ::_exit(1);
}

// Async-signal-safe: the number in decimal, into a caller's buffer.
std::size_t format_decimal(int value, char* out) {
  char digits[12];
  std::size_t count = 0;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::size_t length = 0;
  if (value < 0) out[length++] = '-';
  while (count > 0) out[length++] = digits[--count];
  return length;
}

int child_main(void* raw) {
  const auto& c = *static_cast<const ChildContext*>(raw);
  for (int target = 0; target < 3; ++target) {
    while (::dup2(c.stdio[target], target) < 0) {
      if (errno != EINTR) report_and_exit(c.report_fd);
    }
    // dup2 onto itself keeps the close-on-exec flag; the standard streams must survive exec.
    if (c.stdio[target] == target && ::fcntl(target, F_SETFD, 0) == -1) {
      report_and_exit(c.report_fd);
    }
  }
  if (::chdir(c.cwd) != 0) report_and_exit(c.report_fd);
  if (::signal(SIGPIPE, SIG_DFL) == SIG_ERR) report_and_exit(c.report_fd);
  for (int sig : {SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM}) {
    if (::signal(sig, SIG_DFL) == SIG_ERR) report_and_exit(c.report_fd);
  }
  if (::setsid() == -1) report_and_exit(c.report_fd);
  if (::ioctl(0, TIOCSCTTY, 0) == -1) report_and_exit(c.report_fd);
  // Also closes the report pipe: from here on the parent sees end of file, i.e. success.
  c.sweep.run();

  ::execve(c.path, c.argv, c.envp);
  if (errno == ENOEXEC) ::execve("/bin/sh", c.shell_argv, c.envp);
  // Too late to report to the caller; say it on the terminal, whose reader then sees the end.
  char number[16];
  std::size_t number_length = format_decimal(errno, number);
  ssize_t ignored = ::write(2, c.exec_failure_prefix, c.exec_failure_prefix_length);
  ignored = ::write(2, number, number_length);
  ignored = ::write(2, ")\n", 2);
  (void)ignored;
  ::_exit(127);
}

bool contains_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

pid_t wait_for(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r == -1 && errno == EINTR);
  return r;
}

}  // namespace

Result<std::unique_ptr<Child>> UnixSlavePty::spawn_command(CommandBuilder command) {
  auto plan_result = as_command(command);
  if (!plan_result) return plan_result.error();
  StartPlan& plan = *plan_result;

  std::array<OwnedFd, 3> stdio;
  for (OwnedFd& fd : stdio) {
    auto copy = try_clone(m_fd.get());
    if (!copy) return copy.error();
    fd = std::move(*copy);
  }

  bool has_nul = contains_nul(plan.program_path) || contains_nul(plan.cwd);
  for (const std::string& text : plan.argv) has_nul = has_nul || contains_nul(text);
  for (const std::string& text : plan.env) has_nul = has_nul || contains_nul(text);
  if (has_nul) return Error("nul byte found in provided data");

  std::vector<char*> argv = pointers(plan.argv);
  std::vector<char*> envp = pointers(plan.env);
  std::vector<std::string> shell_args = {"/bin/sh", plan.program_path};
  shell_args.insert(shell_args.end(), plan.argv.begin() + 1, plan.argv.end());
  std::vector<char*> shell_argv = pointers(shell_args);
  const std::string exec_failure_prefix =
      "velmora: cannot execute " + plan.program_path + " (os error ";

  int pipe_fds[2];
  if (platform::pipe_cloexec(pipe_fds) != 0) return OsError::from_errno().to_error();
  OwnedFd report_read(pipe_fds[0]);
  OwnedFd report_write(pipe_fds[1]);

  ChildContext context{{stdio[0].get(), stdio[1].get(), stdio[2].get()},
                       report_write.get(),
                       plan.cwd.c_str(),
                       plan.program_path.c_str(),
                       argv.data(),
                       envp.data(),
                       shell_argv.data(),
                       exec_failure_prefix.data(),
                       exec_failure_prefix.size(),
                       DescriptorSweep::prepare()};
  pid_t pid = platform::start_child(child_main, &context);
  if (pid < 0) return OsError::from_errno().to_error();
  report_write.reset();

  // End of file: the child reached its descriptor sweep. Four bytes: the errno of a failed step.
  int code = 0;
  std::size_t received = 0;
  while (received < sizeof code) {
    ssize_t n = ::read(report_read.get(), reinterpret_cast<char*>(&code) + received,
                       sizeof code - received);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received += static_cast<std::size_t>(n);
  }
  if (received == sizeof code) {
    wait_for(pid);
    return OsError(code).to_error();
  }
  return std::unique_ptr<Child>(std::make_unique<UnixChild>(pid));
}

}  // namespace velmora::pty
