#include "session_table.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
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

class SessionTable {
 public:
  // Guards the map. Terminal and client I/O happen outside it: requests copy a reference to the
  // session under the lock and use it after unlocking.
  Mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<Session>> sessions GUARDED_BY(mutex);
};

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

std::shared_ptr<Session> find(SessionTable& table, const std::string& key) {
  MutexLock lock(table.mutex);
  auto it = table.sessions.find(key);
  return it == table.sessions.end() ? nullptr : it->second;
}

// Nothing when the shell has ended and its pump has sent "exited" already: the session has left
// the table then, and the attach starts over.
std::optional<std::string> resume(const std::string& key, std::shared_ptr<ClientSlot> slot,
                                  const std::shared_ptr<Session>& session,
                                  const std::string& snapshot) {
  // The session's output follows the resuming connection from the next chunk on; the client
  // attached so far gets nothing more of it. No slot's mutex is needed for that, so a pump that
  // is stuck writing to a client that does not read cannot hold the resume up.
  if (!session->client->redirect(std::move(slot))) return std::nullopt;
  AttachedEvent attached;
  attached.key = key;
  attached.resumed = true;
  attached.cwd = session->cwd;
  attached.pid = session->pid;
  return encode_attached_line(attached, snapshot);
}

Event create(const std::shared_ptr<SessionTable>& table, const std::shared_ptr<ClientSlot>& slot,
             AttachRequest& request) {
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
  auto writer = pair->master->take_writer();
  if (!writer) return error_event("書き口を作れません", writer.error());

  auto session = std::make_shared<Session>();
  auto replay = std::make_shared<SharedReplay>();
  auto route = std::make_shared<OutputRoute>(slot);
  session->master = std::move(pair->master);
  {
    MutexLock lock(session->writer_mutex);
    session->writer = std::move(*writer);
  }
  session->child = std::move(*child);
  session->replay = replay;
  session->cwd = cwd;
  session->client = route;
  session->started_at = seconds_since_epoch();
  session->pid = pid;

  std::shared_ptr<Session> replaced;
  {
    MutexLock lock(table->mutex);
    auto& entry = table->sessions[request.key];
    replaced = std::exchange(entry, session);
  }
  // A session that another connection created under this key meanwhile loses its entry but
  // keeps its shell and pump; it is released here, outside the table's lock.
  replaced.reset();

  try {
    std::thread(pump_output, request.key, std::move(*reader), replay, route, table).detach();
  } catch (const std::system_error& error) {
    // Without a pump the shell's output would never be read: take the session out again.
    write_status_line(std::string("failed to spawn thread: ") + error.what());
    std::shared_ptr<Session> removed;
    {
      MutexLock lock(table->mutex);
      auto it = table->sessions.find(request.key);
      if (it != table->sessions.end() && it->second == session) {
        removed = std::move(it->second);
        table->sessions.erase(it);
      }
    }
    if (removed) (void)removed->child->kill();
    return ErrorEvent{std::string("シェルを起こせません: failed to spawn thread")};
  }

  AttachedEvent attached;
  attached.key = request.key;
  attached.resumed = false;
  attached.cwd = std::move(cwd);
  attached.pid = pid;
  // The slave side is released last (with pair), once the shell and the pump are running.
  return attached;
}

}  // namespace

std::shared_ptr<SessionTable> make_session_table() { return std::make_shared<SessionTable>(); }

std::string attach(const std::shared_ptr<SessionTable>& table, std::shared_ptr<ClientSlot> slot,
                   AttachRequest request) {
  std::shared_ptr<Session> session;
  std::string snapshot;
  {
    MutexLock lock(table->mutex);
    auto it = table->sessions.find(request.key);
    if (it != table->sessions.end()) {
      session = it->second;
      snapshot = session->replay->snapshot();
      (void)session->master->resize(terminal_size(request.cols, request.rows));
    }
  }
  if (session) {
    if (auto resumed = resume(request.key, slot, session, snapshot)) return *resumed;
    session.reset();
    return attach(table, std::move(slot), std::move(request));
  }
  // Every event has a line; an encoding failure would leave nothing to send.
  auto line = encode_line(create(table, slot, request));
  return line ? std::move(*line) : std::string();
}

void write(SessionTable& table, std::string_view key, std::string_view data_base64) {
  auto session = find(table, std::string(key));
  if (!session) return;
  auto bytes = base64_decode(data_base64);
  if (!bytes || bytes->empty()) return;
  // Outside the table's lock: a shell that does not read its input stalls only the writers of
  // this session, and the writer mutex keeps successive writes whole and in order.
  MutexLock lock(session->writer_mutex);
  if (!session->writer) return;
  (void)session->writer->write_all(*bytes);
  (void)session->writer->flush();
}

void resize(SessionTable& table, std::string_view key, std::uint16_t cols, std::uint16_t rows) {
  MutexLock lock(table.mutex);
  auto it = table.sessions.find(std::string(key));
  if (it == table.sessions.end()) return;
  (void)it->second->master->resize(terminal_size(cols, rows));
}

void close(SessionTable& table, std::string_view key) {
  std::shared_ptr<Session> removed;
  {
    MutexLock lock(table.mutex);
    auto it = table.sessions.find(std::string(key));
    if (it == table.sessions.end()) return;
    removed = std::move(it->second);
    table.sessions.erase(it);
  }
  // The kill may wait about 200 ms for the shell; other requests go on meanwhile.
  (void)removed->child->kill();
}

void remove_ended(SessionTable& table, std::string_view key, const SharedReplay& replay) {
  std::shared_ptr<Session> removed;
  {
    MutexLock lock(table.mutex);
    auto it = table.sessions.find(std::string(key));
    if (it == table.sessions.end() || it->second->replay.get() != &replay) return;
    removed = std::move(it->second);
    table.sessions.erase(it);
  }
  // Released here, after unlocking.
}

std::vector<SessionInfo> list_sessions(SessionTable& table) {
  MutexLock lock(table.mutex);
  std::vector<SessionInfo> rows;
  rows.reserve(table.sessions.size());
  for (const auto& [key, session] : table.sessions)
    rows.push_back(SessionInfo{key, session->cwd, session->started_at, session->pid});
  return rows;
}

void shutdown(SessionTable& table) {
  // The table stays locked until the process is gone, so no session is created or removed
  // meanwhile.
  table.mutex.lock();
  std::vector<pty::Child*> children;
  children.reserve(table.sessions.size());
  for (const auto& [key, session] : table.sessions) children.push_back(session->child.get());
  pty::kill_all(children);
  std::_Exit(0);
}

}  // namespace velmora::daemon
