#include "commands.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>

#include "daemon_connection.h"
#include "display_text.h"
#include "io_util.h"
#include "json_text.h"
#include "session_list.h"
#include "velmora/core/base64.h"

namespace velmora::client {
namespace {

constexpr auto REPLY_TIMEOUT = std::chrono::seconds(10);

int fail(const std::string& text) {
  std::fprintf(stderr, "velmora: %s\n", text.c_str());
  return 1;
}

// A connection to a running daemon; never starts one. Nothing (and no message) when no daemon
// runs; a failure when one must not or cannot be reached.
Result<std::optional<DaemonLink>> reach_running_daemon() {
  std::string path = daemon_socket_path();
  Contact contact = await_daemon(path);
  if (contact.reach == Reach::Refused || contact.reach == Reach::SocketMissing)
    return Error(contact.problem);
  if (contact.reach == Reach::NoDaemon) return std::optional<DaemonLink>();
  return std::optional<DaemonLink>(DaemonLink(std::move(contact.fd)));
}

Result<std::vector<SessionInfo>> list_sessions(DaemonLink& link) {
  auto reply = request_reply<SessionsEvent>(link, ListRequest{}, REPLY_TIMEOUT);
  if (!reply) return reply.error();
  return std::move(reply->keys);
}

bool has_session(const std::vector<SessionInfo>& rows, const std::string& key) {
  for (const SessionInfo& row : rows)
    if (row.key == key) return true;
  return false;
}

// Acts on an existing session only: a write or close for a key that does not exist would be
// silently ignored by the daemon, and attach would create it.
int with_existing_session(const std::string& key, const Request& request) {
  auto daemon = reach_running_daemon();
  if (!daemon) return fail(daemon.error().text());
  if (!*daemon) return fail("no session named " + printable(key) + " (no daemon is running)");
  DaemonLink& link = **daemon;
  auto rows = list_sessions(link);
  if (!rows) return fail(rows.error().text());
  if (!has_session(*rows, key)) return fail("no session named " + printable(key));
  if (auto sent = link.send(request); !sent) return fail(sent.error().text());
  // The daemon answers requests in order: once the list comes back, the request is done.
  if (auto done = list_sessions(link); !done) return fail(done.error().text());
  return 0;
}

}  // namespace

int run_list(const ListCommand& command) {
  auto daemon = reach_running_daemon();
  if (!daemon) return fail(daemon.error().text());
  std::vector<SessionInfo> rows;
  if (*daemon) {
    auto listed = list_sessions(**daemon);
    if (!listed) return fail(listed.error().text());
    rows = sorted_by_key(std::move(*listed));
  }
  std::string out;
  if (command.format == Format::Json) {
    for (const SessionInfo& row : rows) out += session_info_json(row) + "\n";
  } else if (rows.empty()) {
    out = "no sessions\n";
  } else {
    out = format_session_table(rows, static_cast<std::uint64_t>(std::time(nullptr)));
  }
  if (!write_all(STDOUT_FILENO, out)) return fail("cannot write standard output");
  return 0;
}

int run_kill(const KillCommand& command) {
  return with_existing_session(command.key, CloseRequest{command.key});
}

int run_send(const SendCommand& command) {
  if (command.text.empty()) return 0;
  return with_existing_session(command.key, WriteRequest{command.key, base64_encode(command.text)});
}

int run_shutdown() {
  auto daemon = reach_running_daemon();
  if (!daemon) return fail(daemon.error().text());
  if (!*daemon) return fail("no daemon is running");
  DaemonLink& link = **daemon;
  if (auto sent = link.send(ShutdownRequest{}); !sent) return fail(sent.error().text());
  if (!link.wait_closed(REPLY_TIMEOUT)) return fail("the daemon did not stop");
  return 0;
}

int run_version() {
  std::string out =
      "velmora " VELMORA_VERSION "\nprotocol " + std::to_string(PROTOCOL_VERSION) + "\n";
  auto daemon = reach_running_daemon();
  int status = 0;
  if (!daemon) {
    out += "daemon: " + daemon.error().text() + "\n";
    status = 1;
  } else if (!*daemon) {
    out += "daemon: not running\n";
  } else {
    DaemonLink& link = **daemon;
    bool mismatch = false;
    std::optional<std::uint32_t> pid;
    std::string problem;
    if (auto sent = link.send(HelloRequest{PROTOCOL_VERSION}); !sent) {
      problem = sent.error().text();
    } else {
      // A daemon of another protocol version says so in an error before its hello.
      while (!pid && problem.empty()) {
        auto event = link.next_event(REPLY_TIMEOUT);
        if (!event) {
          problem = event.error().text();
        } else if (auto* hello = std::get_if<HelloEvent>(&*event)) {
          pid = hello->pid;
          mismatch = mismatch || hello->version != PROTOCOL_VERSION;
        } else if (auto* error = std::get_if<ErrorEvent>(&*event)) {
          out += "daemon: " + error->message + "\n";
          mismatch = true;
        }
      }
    }
    if (pid) out += "daemon pid " + std::to_string(*pid) + "\n";
    if (!problem.empty()) out += "daemon: " + problem + "\n";
    if (mismatch || !problem.empty()) status = 1;
  }
  if (!write_all(STDOUT_FILENO, out)) return fail("cannot write standard output");
  return status;
}

}  // namespace velmora::client
