#pragma once

// After the connection to the daemon ended: is the same daemon still there, and does it still
// keep the session?

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace velmora::client {

enum class SessionCheck {
  alive,      // the daemon answers and keeps the session: attach again
  ended,      // the daemon answers, the session is gone
  no_daemon,  // nothing answers, or another daemon than before
};

SessionCheck check_session(const std::string& socket_path, pid_t daemon_pid, const std::string& key,
                           std::uint32_t shell_pid);

}  // namespace velmora::client
