#include "daemon_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "daemon_connection.h"
#include "platform.h"
#include "velmora/core/os_error.h"

namespace velmora::client {
namespace {

std::string directory_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

struct Started {
  OwnedFd diagnostics;  // the daemon's standard error; end of file once it has ended
};

// Double fork: the daemon is not our child, so it never lingers as our zombie and outlives us
// without a parent that forgets to reap it. Only async-signal-safe calls after fork.
Result<Started> spawn_daemon(const std::string& program) {
  OwnedFd errors[2];
  if (auto made = open_pipe(errors); !made) return made.error();
  OwnedFd exec_status[2];
  if (auto made = open_pipe(exec_status); !made) return made.error();
  const char* argv[] = {program.c_str(), nullptr};
  const char* dev_null = "/dev/null";
  // Descriptors that our own parent left open (a pipe it waits on, say) must not stay open for
  // the daemon's whole life.
  rlimit files{};
  int limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                  ? static_cast<int>(std::min<rlim_t>(files.rlim_cur, 65536))
                  : 65536;

  pid_t middle = ::fork();
  if (middle < 0) return OsError::from_errno().to_error();
  if (middle == 0) {
    ::setsid();
    pid_t daemon = ::fork();
    if (daemon != 0) ::_exit(daemon < 0 ? 1 : 0);
    int null_fd = ::open(dev_null, O_RDWR);
    if (null_fd < 0) ::_exit(127);
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(errors[1].get(), 2);  // dup2 clears close-on-exec on the copy
    close_descriptors_from(3, exec_status[1].get(), limit);
    // The daemon must not keep the directory that we were started in busy for its whole life.
    if (::chdir("/") != 0) ::_exit(127);
    ::execv(argv[0], const_cast<char* const*>(argv));
    int code = errno;
    ssize_t ignored = ::write(exec_status[1].get(), &code, sizeof code);
    (void)ignored;
    ::_exit(127);
  }
  errors[1].reset();
  exec_status[1].reset();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }

  int code = 0;
  ssize_t n;
  do {
    n = ::read(exec_status[0].get(), &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof code))
    return Error("cannot run " + program + ": " + OsError(code).display());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return Error("cannot start " + program + " in the background");
  return Started{std::move(errors[0])};
}

// Collects what the daemon wrote to standard error; true once it has closed it (ended).
bool drain(int fd, std::string& text) {
  char chunk[4096];
  while (true) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    if (n == 0) return true;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

std::vector<std::string> velmorad_candidates(const std::string& executable,
                                             const std::string& path_variable) {
  std::vector<std::string> candidates;
  if (!executable.empty()) {
    std::string dir = directory_of(executable);
    candidates.push_back(dir + "/velmorad");
    candidates.push_back(dir + "/../daemon/velmorad");
  }
  std::size_t start = 0;
  while (start <= path_variable.size()) {
    std::size_t colon = path_variable.find(':', start);
    if (colon == std::string::npos) colon = path_variable.size();
    std::string dir = path_variable.substr(start, colon - start);
    // An empty PATH entry means the current directory.
    candidates.push_back((dir.empty() ? "." : dir) + "/velmorad");
    start = colon + 1;
  }
  return candidates;
}

std::string find_velmorad() {
  const char* path = std::getenv("PATH");
  for (const std::string& candidate :
       velmorad_candidates(executable_path(), path != nullptr ? path : "/usr/bin:/bin"))
    if (is_executable_file(candidate)) return candidate;
  return {};
}

Result<OwnedFd> connect_or_start(const std::string& socket_path,
                                 std::chrono::milliseconds timeout) {
  Contact first = await_daemon(socket_path);
  if (first.reach == Reach::connected) return std::move(first.fd);
  // A daemon whose file has gone still has its sessions: a second one would hide them for good.
  if (first.reach == Reach::refused || first.reach == Reach::socket_missing)
    return Error(first.problem);

  std::string program = find_velmorad();
  if (program.empty())
    return Error("no daemon runs at " + socket_path +
                 " and velmorad was not found (beside velmora, in ../daemon/, or on PATH)");
  auto started = spawn_daemon(program);
  if (!started) return started.error();
  int diagnostics = started->diagnostics.get();
  ::fcntl(diagnostics, F_SETFL, ::fcntl(diagnostics, F_GETFL) | O_NONBLOCK);

  std::string said;
  bool ended = false;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    Contact contact = contact_daemon(socket_path);
    if (contact.reach == Reach::connected) return std::move(contact.fd);
    if (contact.reach == Reach::refused) return Error(contact.problem);
    // A daemon that ended without listening may have lost a race with another one that
    // another client started at the same moment; the contact above has given that one a chance.
    if (ended) {
      std::string reason = trimmed(said);
      return Error("velmorad did not start" + (reason.empty() ? "" : ": " + reason));
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return Error("velmorad did not start listening at " + socket_path + " within " +
                   std::to_string((timeout.count() + 999) / 1000) + " s");
    pollfd pfd{diagnostics, POLLIN, 0};
    ::poll(&pfd, 1, 20);
    if (pfd.revents != 0) ended = drain(diagnostics, said);
  }
}

}  // namespace velmora::client
