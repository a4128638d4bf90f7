#include "daemon_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "display_text.h"
#include "io_util.h"
#include "platform.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/os_error.h"
#include "velmora/core/unix_socket.h"

namespace velmora::client {

std::string daemon_socket_path() { return resolve_socket_path(); }

Contact contact_daemon(const std::string& path) {
  Contact contact;
  auto refuse = [&](std::string problem) {
    contact.reach = Reach::refused;
    contact.fd.reset();
    contact.problem = std::move(problem);
    return std::move(contact);
  };

  // A cleaner of /tmp may have deleted the file of a daemon that still runs: that is not the
  // same as no daemon at all.
  auto missing = [&] {
    if (auto pid = process_listening_at(path)) {
      contact.reach = Reach::socket_missing;
      contact.problem = "the daemon's socket is missing: " + path + " has gone, but velmorad (pid " +
                        std::to_string(*pid) + ") still runs";
    }
    return std::move(contact);
  };

  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return missing();
    return refuse("cannot examine " + path + ": " + OsError::from_errno().display());
  }
  if (!S_ISSOCK(info.st_mode)) return refuse(path + " is not a socket; refusing to use it");
  if (info.st_uid != ::getuid())
    return refuse(path + " belongs to another user; refusing to use it");

  // The path names a file (lstat found it), so the only fault of its address is its length.
  auto address = socket_address(path);
  if (!address) return refuse("socket path is too long: " + path);

  auto socket = open_stream_socket();
  if (!socket) return refuse("cannot create a socket: " + socket.error().text());
  if (connect_socket(socket->get(), *address) != 0) {
    // A socket file that nobody listens on is what a daemon that died leaves behind, unless the
    // daemon is just binding its file again (its old socket still listens then).
    if (errno == ECONNREFUSED || errno == ENOENT) return missing();
    return refuse("cannot connect to " + path + ": " + OsError::from_errno().display());
  }
  // The file may have been swapped between lstat and connect; the peer's identity is what counts.
  auto uid = peer_user_id(socket->get());
  if (!uid) return refuse("cannot check who listens on " + path + ": " + uid.error().text());
  if (*uid != ::getuid())
    return refuse("the daemon at " + path + " runs as another user; refusing to talk to it");

  contact.reach = Reach::connected;
  contact.fd = std::move(*socket);
  return contact;
}

Contact await_daemon(const std::string& path, std::chrono::milliseconds patience) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  while (true) {
    Contact contact = contact_daemon(path);
    if (contact.reach != Reach::socket_missing) return contact;
    if (std::chrono::steady_clock::now() >= deadline) {
      contact.problem += " and has not made it again";
      return contact;
    }
    ::poll(nullptr, 0, 50);
  }
}

Result<void> DaemonLink::send(const Request& request) {
  std::string line = encode_request(request);
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = send_bytes(m_fd.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno == EPIPE || errno == ECONNRESET) return Error("the daemon went away");
      return Error("cannot talk to the daemon: " + OsError::from_errno().display());
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<Event> DaemonLink::next_event(std::chrono::milliseconds timeout) {
  auto event = poll_event(timeout);
  if (!event) return event.error();
  if (!*event) return Error("the daemon did not answer in time");
  return std::move(**event);
}

Result<std::optional<Event>> DaemonLink::poll_event(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    LineBuffer::Next next = m_lines.next();
    if (next.kind == LineBuffer::Kind::too_long)
      return Error("the daemon sent a line longer than " + std::to_string(LineBuffer::MAX_LINE) +
                   " bytes");
    if (next.kind == LineBuffer::Kind::line) {
      auto event = decode_event(next.line);
      if (!event)
        return Error("the daemon sent a line that is not an event: " + event.error().text());
      return std::optional<Event>(std::move(*event));
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::optional<Event>();
    pollfd pfd{m_fd.get(), POLLIN, 0};
    int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno != EINTR)
      return Error("cannot wait for the daemon: " + OsError::from_errno().display());
    if (rc <= 0) continue;
    ssize_t n = m_lines.fill(m_fd.get());
    if (n < 0 && errno != ECONNRESET)
      return Error("cannot read from the daemon: " + OsError::from_errno().display());
    if (n <= 0) return Error("the daemon went away");
  }
}

bool DaemonLink::wait_closed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{m_fd.get(), POLLIN, 0};
    int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno != EINTR) return false;
    if (rc <= 0) continue;
    char chunk[65536];
    ssize_t n = ::read(m_fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n < 0) return false;
  }
}

Result<std::optional<DaemonLink>> reach_running_daemon(const std::string& path) {
  Contact contact = await_daemon(path);
  if (contact.reach == Reach::refused || contact.reach == Reach::socket_missing)
    return Error(contact.problem);
  if (contact.reach == Reach::no_daemon) return std::optional<DaemonLink>();
  return std::optional<DaemonLink>(DaemonLink(std::move(contact.fd)));
}

Result<std::vector<SessionInfo>> list_sessions(DaemonLink& link) {
  auto reply = request_reply<SessionsEvent>(link, ListRequest{}, REPLY_TIMEOUT);
  if (!reply) return reply.error();
  return std::move(reply->keys);
}

Result<SessionInfo> find_session(const std::string& path, const std::string& key) {
  auto daemon = reach_running_daemon(path);
  if (!daemon) return daemon.error();
  if (!*daemon) return Error("no session named " + printable(key) + " (no daemon is running)");
  auto rows = list_sessions(**daemon);
  if (!rows) return rows.error();
  for (SessionInfo& row : *rows)
    if (row.key == key) return std::move(row);
  return Error("no session named " + printable(key));
}

}  // namespace velmora::client
