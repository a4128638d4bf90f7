#include "session_check.h"

#include <chrono>

#include "daemon_connection.h"
#include "platform.h"

namespace velmora::client {

SessionCheck check_session(const std::string& socket_path, pid_t daemon_pid, const std::string& key,
                           std::uint32_t shell_pid) {
  Contact contact = contact_daemon(socket_path);
  if (contact.reach != Reach::connected) return SessionCheck::no_daemon;
  // A daemon started since then has none of the sessions of the old one.
  auto pid = peer_pid(contact.fd.get());
  if (pid && daemon_pid > 0 && *pid != daemon_pid) return SessionCheck::no_daemon;
  DaemonLink link(std::move(contact.fd));
  auto list = request_reply<SessionsEvent>(link, ListRequest{}, std::chrono::seconds(5));
  if (!list) return SessionCheck::no_daemon;
  for (const SessionInfo& row : list->keys)
    if (row.key == key && (shell_pid == 0 || row.pid == shell_pid)) return SessionCheck::alive;
  return SessionCheck::ended;
}

}  // namespace velmora::client
