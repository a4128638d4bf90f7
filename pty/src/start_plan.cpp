#include "start_plan.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>
#include <vector>

#include "velmora/core/unicode.h"

extern char** environ;

namespace velmora::pty {
namespace {


// The password entry of the real user id, copied out (getpwuid is not thread-safe).
struct Account {
  std::string home;
  std::string shell;
};

std::optional<Account> own_account() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return std::nullopt;
    return Account{entry.pw_dir ? entry.pw_dir : "", entry.pw_shell ? entry.pw_shell : ""};
  }
}

Result<std::string> resolve_home(const CommandBuilder& command) {
  if (auto home = command.get_env("HOME"); home && is_valid_utf8(*home)) return *home;
  auto account = own_account();
  if (!account) return std::string("/");
  if (is_valid_utf8(account->home)) return account->home;
  return Error("failed to resolve home dir");
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string join(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

Result<std::string> resolve_program(const CommandBuilder& command, const std::string& cwd) {
  const std::string& program = command.args().front();
  if (!program.empty() && program.front() == '/') {
    if (::access(program.c_str(), X_OK) != 0) {
      int code = errno;
      return Error("Unable to spawn " + lossy_utf8(program) +
                   " because it doesn't exist on the filesystem or is not executable (" +
                   errno_rendering(code) + ")");
    }
    return program;
  }
  // Any existing file in the working directory is taken, executable or not.
  if (std::string candidate = join(cwd, program); exists(candidate)) return candidate;
  if (auto path = command.get_env("PATH")) {
    std::string_view rest = *path;
    for (;;) {
      std::size_t colon = rest.find(':');
      std::string_view element = rest.substr(0, colon);
      std::string candidate = element.empty() ? program : join(element, program);
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  return Error("Unable to spawn " + lossy_utf8(program) +
               " because it doesn't exist on the filesystem and was not found in PATH");
}

// A relative path was checked against the daemon's working directory, but the child changes
// directory before exec; anchor it here so that exec finds the file that was checked.
std::string anchored(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::string directory(4096, '\0');
  while (::getcwd(directory.data(), directory.size()) == nullptr) {
    if (errno != ERANGE || directory.size() >= (1u << 20)) return path;
    directory.resize(directory.size() * 2);
  }
  directory.resize(directory.find('\0'));
  return join(directory, path);
}

}  // namespace

std::string get_shell() {
  auto account = own_account();
  if (!account || !is_valid_utf8(account->shell)) return "/bin/sh";
  if (::access(account->shell.c_str(), X_OK) != 0) return "/bin/sh";
  return account->shell;
}

std::map<std::string, EnvEntry> get_base_env() {
  std::map<std::string, EnvEntry> map;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    // A name may begin with "="; an entry without any later "=" is not a variable.
    std::size_t equals = text.find('=', 1);
    if (equals == std::string_view::npos) continue;
    std::string name(text.substr(0, equals));
    map.insert_or_assign(name, EnvEntry{true, name, std::string(text.substr(equals + 1))});
  }
  map.insert_or_assign("SHELL", EnvEntry{true, "SHELL", get_shell()});
  return map;
}

std::string errno_rendering(int code) {
  struct Row {
    int code;
    const char* name;
    const char* description;
  };
  static constexpr Row ROWS[] = {
      {EPERM, "EPERM", "Operation not permitted"},
      {ENOENT, "ENOENT", "No such file or directory"},
      {EINTR, "EINTR", "Interrupted system call"},
      {EIO, "EIO", "I/O error"},
      {ENOMEM, "ENOMEM", "Out of memory"},
      {EACCES, "EACCES", "Permission denied"},
      {EFAULT, "EFAULT", "Bad address"},
      {ENOTDIR, "ENOTDIR", "Not a directory"},
      {EINVAL, "EINVAL", "Invalid argument"},
      {ETXTBSY, "ETXTBSY", "Text file busy"},
      {EROFS, "EROFS", "Read-only file system"},
      {ELOOP, "ELOOP", "Too many symbolic links encountered"},
      {ENAMETOOLONG, "ENAMETOOLONG", "File name too long"},
  };
  for (const Row& row : ROWS) {
    if (row.code == code) return std::string(row.name) + ": " + row.description;
  }
  return "UnknownErrno: Unknown errno";
}

Result<StartPlan> as_command(const CommandBuilder& command) {
  auto home = resolve_home(command);
  if (!home) return home.error();

  StartPlan plan;
  const auto& requested = command.get_cwd();
  plan.cwd = requested && is_directory(*requested) ? *requested : *home;

  auto program = resolve_program(command, plan.cwd);
  if (!program) return program.error();
  plan.program_path = anchored(program.value());

  plan.argv = command.args();
  plan.env.reserve(command.env_map().size());
  for (const auto& [name, entry] : command.env_map()) plan.env.push_back(name + "=" + entry.value);
  return plan;
}

}  // namespace velmora::pty
