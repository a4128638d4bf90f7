#include "new_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "velmora/core/unicode.h"

extern char** environ;

namespace velmora::client {

std::vector<EnvPair> terminal_environment(const char* const* envp) {
  std::vector<EnvPair> env;
  for (const char* const* entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view name = text.substr(0, equals);
    // Requests are JSON text: an entry that is not UTF-8 cannot be sent and is left out.
    if (!is_valid_utf8(text)) continue;
    if (name == "TERM" || name == "COLORTERM" || name == "LANG" || name.substr(0, 3) == "LC_" ||
        name == "SSH_AUTH_SOCK" || name == "SSH_CONNECTION" || name == "DISPLAY" ||
        name == "WAYLAND_DISPLAY" || name == "XAUTHORITY")
      env.emplace_back(std::string(name), std::string(text.substr(equals + 1)));
  }
  return env;
}

AttachRequest new_session_request(const std::string& key, WindowSize size,
                                  const std::string& socket_path) {
  std::vector<EnvPair> env = terminal_environment(environ);
  env.insert(env.end(), {{SESSION_VARIABLE, key}, {SOCKET_VARIABLE, socket_path}});
  return AttachRequest{key, current_directory(), size.cols, size.rows, std::move(env)};
}

bool attaches_to_itself(const std::string& key, const std::string& socket_path,
                        const char* session_variable, const char* socket_variable) {
  return session_variable != nullptr && socket_variable != nullptr && key == session_variable &&
         socket_path == socket_variable;
}

std::optional<std::string> current_directory() {
  std::unique_ptr<char, decltype(&std::free)> physical(::getcwd(nullptr, 0), &std::free);
  if (!physical) return std::nullopt;
  const char* pwd = std::getenv("PWD");
  struct stat here {
  }, there{};
  if (pwd != nullptr && pwd[0] == '/' && ::stat(physical.get(), &here) == 0 &&
      ::stat(pwd, &there) == 0 && here.st_dev == there.st_dev && here.st_ino == there.st_ino &&
      is_valid_utf8(pwd))
    return std::string(pwd);
  // A directory name that is not UTF-8 cannot be sent; the daemon then picks the home directory.
  if (!is_valid_utf8(physical.get())) return std::nullopt;
  return std::string(physical.get());
}

}  // namespace velmora::client
