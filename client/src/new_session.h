#pragma once

// What a new session takes from the terminal that starts it: environment and directory.

#include <optional>
#include <string>
#include <vector>

#include "terminal.h"
#include "velmora/core/protocol.h"

namespace velmora::client {

// The variables that a new session takes from this terminal's environment, in the order of
// envp: TERM, COLORTERM, LANG and every LC_*, and those that tie programs to the machine and
// display the terminal is on (SSH_AUTH_SOCK, SSH_CONNECTION, DISPLAY, WAYLAND_DISPLAY,
// XAUTHORITY).
std::vector<EnvPair> terminal_environment(const char* const* envp);

// Set in every session's environment: its key, and the daemon's socket.
inline constexpr const char* SESSION_VARIABLE = "VELMORA_SESSION";
inline constexpr const char* SOCKET_VARIABLE = "VELMORA_SESSION_SOCKET";

// True when this process runs inside the session that it would attach to (the variables are
// those of our environment, or null).
bool attaches_to_itself(const std::string& key, const std::string& socket_path,
                        const char* session_variable, const char* socket_variable);

// The directory to start a new shell in: $PWD when it names the current directory (keeping the
// path the user sees, symbolic links included), else the physical current directory.
std::optional<std::string> current_directory();

// The request that creates session key for this terminal (or resumes it): the current
// directory, the size, the variables above and the session's own.
AttachRequest new_session_request(const std::string& key, WindowSize size,
                                  const std::string& socket_path);

}  // namespace velmora::client
