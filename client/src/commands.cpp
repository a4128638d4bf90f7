#include "commands.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "daemon_connection.h"
#include "display_text.h"
#include "io_util.h"
#include "session_list.h"
#include "terminal.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"

namespace velmora::client {
namespace {

int fail(const std::string& text) {
  std::fprintf(stderr, "velmora: %s\n", text.c_str());
  return 1;
}

// Acts on an existing session only: a write or close for a key that does not exist would be
// silently ignored by the daemon, and attach would create it.
int with_existing_session(const std::string& key, const Request& request) {
  auto daemon = reach_running_daemon(daemon_socket_path());
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
  auto daemon = reach_running_daemon(daemon_socket_path());
  if (!daemon) return fail(daemon.error().text());
  std::vector<SessionRow> rows;
  if (*daemon) {
    auto listed = list_sessions(**daemon);
    if (!listed) return fail(listed.error().text());
    for (SessionInfo& info : sorted_by_key(std::move(*listed)))
      rows.push_back(observe_session(std::move(info)));
  }
  std::string out;
  if (command.format == Format::json) {
    for (const SessionRow& row : rows)
      out += encode_session_status(row.info, row.cwd, row.command) + "\n";
  } else if (rows.empty()) {
    out = "no sessions\n";
  } else {
    TableLayout layout;
    layout.now = static_cast<std::uint64_t>(std::time(nullptr));
    const char* home = std::getenv("HOME");
    if (home != nullptr) layout.home = home;
    if (::isatty(STDOUT_FILENO)) {
      if (auto size = window_size(STDOUT_FILENO)) layout.width = size->cols;
    }
    out = format_session_table(rows, layout);
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
  auto daemon = reach_running_daemon(daemon_socket_path());
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
  auto daemon = reach_running_daemon(daemon_socket_path());
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
