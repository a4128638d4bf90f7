#include "create_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <variant>

#include "attach_loop.h"
#include "daemon_connection.h"
#include "daemon_launcher.h"
#include "display_text.h"
#include "new_session.h"
#include "session_list.h"
#include "terminal.h"
#include "velmora/core/base64.h"

namespace velmora::client {
namespace {

using Clock = PromptWatch::Clock;

int fail(const std::string& text) {
  std::fprintf(stderr, "velmora: %s\n", text.c_str());
  return 1;
}

std::string already_exists(const std::string& key) {
  return "session " + printable(key) + " already exists (attach to it with 'velmora attach " +
         printable(key) + "')";
}

std::chrono::milliseconds until(Clock::time_point moment) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(moment - Clock::now());
  return std::max(left, std::chrono::milliseconds(0)) + std::chrono::milliseconds(1);
}

// The new session's start through one connection: waits for `attached`, then, when there is a
// command, for the prompt, and types the command.
class Creation {
 public:
  Creation(DaemonLink& link, const std::string& key) : m_link(link), m_key(key) {}

  Result<void> attach(const AttachRequest& request) {
    if (auto sent = m_link.send(request); !sent) return sent.error();
    auto deadline = Clock::now() + REPLY_TIMEOUT;
    while (!m_attached) {
      if (Clock::now() >= deadline) return Error("the daemon did not answer in time");
      if (auto handled = next(until(deadline)); !handled) return handled;
    }
    return {};
  }

  Result<void> type(const std::string& text) {
    while (!m_prompt.ready(Clock::now()))
      if (auto handled = next(until(m_prompt.next_check())); !handled) return handled;
    if (auto sent = m_link.send(WriteRequest{m_key, base64_encode(text)}); !sent)
      return sent.error();
    // The daemon answers in order: once the list comes back, the input has been written.
    if (auto done = list_sessions(m_link); !done) return done.error();
    return {};
  }

 private:
  Result<void> next(std::chrono::milliseconds timeout) {
    auto event = m_link.poll_event(timeout);
    if (!event) return event.error();
    if (!*event) return {};
    if (auto* output = std::get_if<OutputEvent>(&**event)) {
      if (output->key == m_key)
        m_prompt.saw_output(base64_decode(output->data_base64).value_or(""), Clock::now());
    } else if (auto* attached = std::get_if<AttachedEvent>(&**event)) {
      if (attached->key != m_key) return {};
      // Another client created the key since the list was read, and this attach resumed its
      // session instead of creating one.
      if (attached->resumed) return Error(already_exists(m_key));
      m_attached = true;
    } else if (auto* exited = std::get_if<ExitedEvent>(&**event)) {
      if (exited->key == m_key) return Error("the shell of session " + printable(m_key) + " ended");
    } else if (auto* error = std::get_if<ErrorEvent>(&**event)) {
      return Error(error->message);
    }
    return {};
  }

  DaemonLink& m_link;
  const std::string& m_key;
  bool m_attached = false;
  PromptWatch m_prompt{Clock::now()};
};

}  // namespace

void PromptWatch::saw_output(std::string_view bytes, Clock::time_point now) {
  if (bytes.empty()) return;
  if (bytes.back() == '\n') {
    m_quiet_at.reset();
  } else {
    m_quiet_at = now + QUIET;
  }
}

bool PromptWatch::ready(Clock::time_point now) const { return now >= next_check(); }

Clock::time_point PromptWatch::next_check() const {
  return m_quiet_at ? std::min(*m_quiet_at, m_give_up_at) : m_give_up_at;
}

int run_new(const NewCommand& command) {
  const std::string& key = command.attach.key;
  std::string path = daemon_socket_path();
  {
    auto socket = connect_or_start(path);
    if (!socket) return fail(socket.error().text());
    DaemonLink link(std::move(*socket));
    // Checked first, so that attaching cannot resume (and take over) a session that exists.
    auto rows = list_sessions(link);
    if (!rows) return fail(rows.error().text());
    if (has_session(*rows, key)) return fail(already_exists(key));

    Creation creation(link, key);
    if (auto made = creation.attach(new_session_request(key, terminal_size(), path)); !made)
      return fail(made.error().text());
    if (!command.typed.empty()) {
      if (auto typed = creation.type(command.typed); !typed) return fail(typed.error().text());
    }
  }
  // Leaving the connection leaves the session running, detached.
  if (command.start == Start::detached || !::isatty(STDIN_FILENO)) return 0;
  AttachCommand attach = command.attach;
  attach.require = Require::existing;
  return run_attach(attach);
}

}  // namespace velmora::client
