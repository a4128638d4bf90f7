#include "session_table.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "client_slot.h"
#include "mutex.h"
#include "output_pump.h"
#include "session.h"
#include "status_line.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/unicode.h"
#include "velmora/pty/child.h"
#include "velmora/pty/command.h"
#include "velmora/pty/pty.h"

namespace velmora::daemon {

std::shared_ptr<Session> SessionTable::find_or_reserve(const std::string& key) {
  MutexLock lock(m_mutex);
  while (true) {
    auto it = m_sessions.find(key);
    if (it != m_sessions.end()) return it->second;
    if (m_reserved.insert(key).second) return nullptr;
    // Another attach is creating this very session.
    m_reservation_ended.wait(m_mutex);
  }
}

void SessionTable::end_reservation(const std::string& key, std::shared_ptr<Session> session) {
  // Whatever happens below, the waiters must learn that the reservation is over.
  struct Notify {
    std::condition_variable_any& ended;
    ~Notify() { ended.notify_all(); }
  } notify{m_reservation_ended};
  MutexLock lock(m_mutex);
  m_reserved.erase(key);
  // A shell that has ended already has a finished pump, which would never remove it again.
  if (session && !session->output->finished()) m_sessions.emplace(key, std::move(session));
}

namespace {

constexpr const char* DEFAULT_SHELL = "/bin/zsh";

Event error_event(std::string_view prefix, const Error& error) {
  return ErrorEvent{std::string(prefix) + ": " + error.text()};
}

// The value of an environment variable when it is set and valid UTF-8.
std::optional<std::string> unicode_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

bool is_directory(const std::string& path) {
  // No file name holds a NUL byte; the system would see only the text before it.
  if (path.find('\0') != std::string::npos) return false;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The request's directory if it is one (symbolic links followed, relative to our own working
// directory, reported as sent), else HOME as it is, else the root.
std::string choose_cwd(const std::optional<std::string>& requested) {
  if (requested && is_directory(*requested)) return *requested;
  if (auto home = unicode_env("HOME")) return *home;
  return "/";
}

std::uint64_t seconds_since_epoch() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

pty::TerminalSize terminal_size(std::uint16_t cols, std::uint16_t rows) {
  pty::TerminalSize size;
  size.rows = rows;
  size.cols = cols;
  return size;
}

std::shared_ptr<Session> find(SessionTable& table, std::string_view key) {
  return table.with_locked([&](SessionTable::Sessions& sessions) -> std::shared_ptr<Session> {
    auto it = sessions.find(std::string(key));
    return it == sessions.end() ? nullptr : it->second;
  });
}

// The reservation of a key for one create; it ends however the create returns.
class Reservation {
 public:
  Reservation(SessionTable& table, std::string key) : m_table(table), m_key(std::move(key)) {}
  ~Reservation() {
    try {
      m_table.end_reservation(m_key, std::move(m_session));
    } catch (const std::exception& error) {
      // Out of memory while listing it: the session runs on unlisted; waiters start over.
      write_status_line(std::string("session not listed: ") + error.what());
    }
  }
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

  // The session to list when the reservation ends.
  void fill(std::shared_ptr<Session> session) { m_session = std::move(session); }

 private:
  SessionTable& m_table;
  std::string m_key;
  std::shared_ptr<Session> m_session;
};

// Nothing when the session has ended (its shell is gone, or a close took it out): it is then on
// its way out of the table, and the attach starts over.
std::optional<ByteBuffer> resume(SessionTable& table, const std::string& key,
                                  const std::shared_ptr<ClientSlot>& slot,
                                  const std::shared_ptr<Session>& session,
                                  const AttachRequest& request) {
  // The snapshot and the redirection are one step for the pump: each chunk is either in the
  // replay or goes to this connection. The client attached so far gets nothing more of it, and a
  // write to it that waits is given up. No slot's mutex is needed for that, so a client that
  // does not read cannot hold the resume up.
  auto takeover = session->output->take_over(slot);
  if (!takeover) {
    remove_ended(table, key, *session->output);
    return std::nullopt;
  }
  // After the redirection, so that the repaint that the new size causes reaches this client.
  (void)session->master->resize(terminal_size(request.cols, request.rows));
  if (takeover->previous && takeover->previous != slot) {
    // Written by that connection's own thread, so that this attach never waits for it.
    if (auto notice = encode_line(ErrorEvent{"別の接続に移りました: " + key}))
      takeover->previous->post(std::move(*notice));
  }
  AttachedEvent attached;
  attached.key = key;
  attached.resumed = true;
  attached.cwd = session->cwd;
  attached.pid = session->pid;
  return encode_attached_buffer(attached, takeover->replay.view());
}

Event create(const std::shared_ptr<SessionTable>& table, const std::shared_ptr<ClientSlot>& slot,
             AttachRequest& request, Reservation& reservation) {
  auto pair = pty::native_pty_system()->openpty(terminal_size(request.cols, request.rows));
  if (!pair) return error_event("端末を開けません", pair.error());

  pty::CommandBuilder command(unicode_env("SHELL").value_or(DEFAULT_SHELL));
  command.arg("-l");
  for (auto& [name, value] : request.env) command.env(std::move(name), std::move(value));
  std::string cwd = choose_cwd(request.cwd);
  command.cwd(cwd);

  auto child = pair->slave->spawn_command(std::move(command));
  if (!child) return error_event("シェルを起こせません", child.error());
  std::uint32_t pid = (*child)->process_id().value_or(0);

  auto reader = pair->master->try_clone_reader();
  if (!reader) return error_event("読み口を作れません", reader.error());
  // The pump waits on the reader together with the output's wake-up.
  auto output = SessionOutput::create(slot);
  if (!output) return error_event("読み口を作れません", output.error());
  auto writer = pair->master->take_writer();
  if (!writer) return error_event("書き口を作れません", writer.error());

  auto session = std::make_shared<Session>();
  session->master = std::move(pair->master);
  {
    MutexLock lock(session->writer_mutex);
    session->writer = std::move(*writer);
  }
  session->child = std::move(*child);
  session->output = *output;
  // The session ends with its shell, also while a job that the shell left behind holds the
  // terminal open. Told from the process layer's collecting thread; the pump does the rest.
  session->child->on_exit([weak = std::weak_ptr<SessionOutput>(*output)] {
    if (auto exited = weak.lock()) exited->shell_exited();
  });
  session->cwd = cwd;
  session->started_at = seconds_since_epoch();
  session->pid = pid;

  // The pump starts before the session is listed, so that every listed session has one. Should
  // the shell end at once, the pump finishes first and the reservation then lists nothing.
  try {
    std::thread(pump_output, request.key, std::move(*reader), *output, table).detach();
  } catch (const std::exception& error) {
    // Without a pump the shell's output would never be read.
    write_status_line(std::string("failed to spawn thread: ") + error.what());
    (void)session->child->kill();
    return ErrorEvent{std::string("シェルを起こせません: failed to spawn thread")};
  }
  reservation.fill(std::move(session));

  AttachedEvent attached;
  attached.key = request.key;
  attached.resumed = false;
  attached.cwd = std::move(cwd);
  attached.pid = pid;
  // The slave side is released last (with pair), once the shell and the pump are running.
  return attached;
}

}  // namespace

ByteBuffer attach(const std::shared_ptr<SessionTable>& table, std::shared_ptr<ClientSlot> slot,
                  AttachRequest request) {
  while (true) {
    std::shared_ptr<Session> session = table->find_or_reserve(request.key);
    if (!session) {
      Reservation reservation(*table, request.key);
      // Every event has a line; an encoding failure would leave nothing to send.
      auto line = encode_line(create(table, slot, request, reservation));
      return line ? ByteBuffer::copy_of(*line) : ByteBuffer();
    }
    if (auto resumed = resume(*table, request.key, slot, session, request))
      return std::move(*resumed);
  }
}

void write(SessionTable& table, std::string_view key, std::string_view data_base64) {
  auto session = find(table, key);
  if (!session) return;
  auto bytes = base64_decode(data_base64);
  if (!bytes || bytes->empty()) return;
  // Outside the table's lock: a shell that does not read its input stalls only the writers of
  // this session, and the writer mutex keeps successive writes whole and in order.
  MutexLock lock(session->writer_mutex);
  (void)session->writer->write_all(*bytes);
  (void)session->writer->flush();
}

void resize(SessionTable& table, std::string_view key, std::uint16_t cols, std::uint16_t rows) {
  if (auto session = find(table, key)) (void)session->master->resize(terminal_size(cols, rows));
}

void close(SessionTable& table, std::string_view key) {
  auto removed = table.with_locked([&](SessionTable::Sessions& sessions) {
    std::shared_ptr<Session> session;
    auto it = sessions.find(std::string(key));
    if (it == sessions.end()) return session;
    session = std::move(it->second);
    sessions.erase(it);
    return session;
  });
  if (!removed) return;
  // The kill may wait about 200 ms for the shell; other requests go on meanwhile.
  (void)removed->child->kill();
  // A job that outlived the shell (nohup, a job that ignores SIGHUP) may hold the terminal open:
  // the pump stops all the same, and once it and this last reference let go, the master side
  // closes, which hangs the terminal up for such jobs.
  removed->output->end();
}

void remove_ended(SessionTable& table, std::string_view key, const SessionOutput& output) {
  auto removed = table.with_locked([&](SessionTable::Sessions& sessions) {
    std::shared_ptr<Session> session;
    auto it = sessions.find(std::string(key));
    if (it == sessions.end() || it->second->output.get() != &output) return session;
    session = std::move(it->second);
    sessions.erase(it);
    return session;
  });
  // Released here, after unlocking.
}

std::vector<SessionInfo> list_sessions(SessionTable& table) {
  return table.with_locked([](SessionTable::Sessions& sessions) {
    std::vector<SessionInfo> rows;
    rows.reserve(sessions.size());
    for (const auto& [key, session] : sessions)
      rows.push_back(SessionInfo{key, session->cwd, session->started_at, session->pid});
    return rows;
  });
}

void shutdown(SessionTable& table) {
  table.with_locked([](SessionTable::Sessions& sessions) {
    // The process ends with the table locked, so no session is created or removed meanwhile.
    std::vector<pty::Child*> children;
    children.reserve(sessions.size());
    for (const auto& [key, session] : sessions) children.push_back(session->child.get());
    pty::kill_all(children);
    std::_Exit(0);
  });
  std::_Exit(0);
}

}  // namespace velmora::daemon
