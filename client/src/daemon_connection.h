#pragma once

// Reaching the daemon safely, and the request/reply exchange of the one-shot commands.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "velmora/core/line_reader.h"
#include "velmora/core/owned_fd.h"
#include "velmora/core/protocol.h"
#include "velmora/core/result.h"

namespace velmora::client {

// How long a one-shot request waits for its reply.
inline constexpr std::chrono::milliseconds REPLY_TIMEOUT = std::chrono::seconds(10);

// The daemon's socket: VELMORAD_SOCKET when set (and valid UTF-8), else the default for our uid.
std::string daemon_socket_path();

enum class Reach {
  connected,       // fd is a connection to a daemon of our own user
  no_daemon,       // nothing listens there (no file, or a stale one)
  socket_missing,  // the file has gone, but a daemon of ours still listens under its name
  refused,         // something is there that we must not or cannot talk to; problem says what
};

struct Contact {
  Reach reach = Reach::no_daemon;
  OwnedFd fd;
  std::string problem;
};

// Connects to the socket at path. Nothing is sent before both checks pass: the file must be a
// socket owned by our user, and the process that accepted must run as our user. For
// SocketMissing, problem names the daemon that still runs.
Contact contact_daemon(const std::string& path);

// As contact_daemon, but while the socket file is missing and its daemon still runs, waits up to
// patience for that daemon to make the file again (it looks every few seconds), rather than
// letting a second daemon hide its sessions.
Contact await_daemon(const std::string& path,
                     std::chrono::milliseconds patience = std::chrono::seconds(6));

// One connection used for a few requests and their replies.
class DaemonLink {
 public:
  explicit DaemonLink(OwnedFd fd) : m_fd(std::move(fd)) {}

  Result<void> send(const Request& request);

  // The next event; fails when the daemon closes the connection ("the daemon went away"),
  // on a read error, on a line that is not an event, or after timeout.
  Result<Event> next_event(std::chrono::milliseconds timeout);

  // Like next_event, but nothing when no event comes within timeout.
  Result<std::optional<Event>> poll_event(std::chrono::milliseconds timeout);

  // True when the daemon closes the connection within timeout (all pending lines discarded).
  bool wait_closed(std::chrono::milliseconds timeout);

 private:
  OwnedFd m_fd;
  LineBuffer m_lines{LineBuffer::MAX_LINE, 64 * 1024};
};

// Sends request and returns the first reply of type T; an `error` event becomes a failure with
// its message as the text. Events of other types (such as output of other sessions) are skipped.
template <typename T>
Result<T> request_reply(DaemonLink& link, const Request& request,
                        std::chrono::milliseconds timeout) {
  if (auto sent = link.send(request); !sent) return sent.error();
  while (true) {
    auto event = link.next_event(timeout);
    if (!event) return event.error();
    if (auto* reply = std::get_if<T>(&*event)) return std::move(*reply);
    if (auto* error = std::get_if<ErrorEvent>(&*event)) return Error(error->message);
  }
}

// A connection to the daemon at path if one runs there; never starts one. Nothing (and no
// message) when none runs; a failure when the one there must not or cannot be reached.
Result<std::optional<DaemonLink>> reach_running_daemon(const std::string& path);

// The daemon's sessions, in its order.
Result<std::vector<SessionInfo>> list_sessions(DaemonLink& link);

// The row of session key; fails with "no session named ..." when the daemon at path has none
// (or no daemon runs), and when the daemon cannot be asked.
Result<SessionInfo> find_session(const std::string& path, const std::string& key);

}  // namespace velmora::client
