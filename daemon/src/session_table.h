#pragma once

// The session table and the session requests.
//
// Lock order, outermost first (the annotations on the mutexes say the same):
//   1. the SessionTable's mutex;
//   2. a session's SessionOutput mutex (an insertion checks that the pump is still running).
// A ClientSlot's mutexes and a session's writer mutex are taken on their own, never under another
// lock. The table's mutex covers look-ups, insertions, removals and the copy of the list rows:
// no client I/O, no terminal I/O and no wait for a slot or a process happens under it. The one
// exception is shutdown, which kills every shell with the mutex held, waiting out their grace
// periods under it, and ends the process holding it, so that nothing changes meanwhile. Requests copy a reference to the session under
// the lock and do the slow part after unlocking.
//
// A session's output goes to one connection's ClientSlot: the creating connection's, after a
// resume the resuming connection's. Streams never move between slots, so every client socket is
// written through exactly one slot and its lines never interleave.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mutex.h"
#include "session.h"
#include "velmora/core/protocol.h"

namespace velmora::daemon {

class ClientSlot;

class SessionTable {
 public:
  using Sessions = std::unordered_map<std::string, std::shared_ptr<Session>>;

  // Runs fn with the map while the table's mutex is held; the map is reachable no other way.
  template <typename Fn>
  decltype(auto) with_locked(Fn&& fn) EXCLUDES(m_mutex) {
    MutexLock lock(m_mutex);
    return std::forward<Fn>(fn)(m_sessions);
  }

  // For an attach: the session under key, or nothing when the caller is to create it, in which
  // case key stays reserved until end_reservation. While another attach creates a session under
  // key this waits for the outcome, so one key never gets two shells; creations under different
  // keys go on side by side, and none runs under the table's mutex.
  std::shared_ptr<Session> find_or_reserve(const std::string& key) EXCLUDES(m_mutex);
  // Ends the reservation of key: inserts session (unless it is null, or its shell has ended and
  // its pump finished already) and wakes the attaches that wait for key.
  void end_reservation(const std::string& key, std::shared_ptr<Session> session)
      EXCLUDES(m_mutex);

 private:
  Mutex m_mutex ACQUIRED_BEFORE(SessionOutput::m_mutex);
  Sessions m_sessions GUARDED_BY(m_mutex);
  // Keys whose session an attach is creating.
  std::unordered_set<std::string> m_reserved GUARDED_BY(m_mutex);
  std::condition_variable_any m_reservation_ended;
};

// Creates the session (login shell on a new terminal of the request's size) or resumes it: a
// resume sends the session's output to slot from then on, tells the connection that had it, and
// resizes the terminal. Returns the line to send through slot: the attached event, or an error
// event. Never changes what any slot holds. A resume's replay is written straight into the line,
// without an intermediate text.
ByteBuffer attach(const std::shared_ptr<SessionTable>& table, std::shared_ptr<ClientSlot> slot,
                  AttachRequest request);

// Terminal input; invalid base64 counts as no data. Unknown keys do nothing.
void write(SessionTable& table, std::string_view key, std::string_view data_base64);
void resize(SessionTable& table, std::string_view key, std::uint16_t cols, std::uint16_t rows);
// Removes the session, ends its shell and stops its pump; the pump reports "exited".
void close(SessionTable& table, std::string_view key);

// Removes the session under key if it is still the one that owns output. A newer session under
// the same key (after a close) is left alone.
void remove_ended(SessionTable& table, std::string_view key, const SessionOutput& output);

// One row per live session, as the table was at one moment.
std::vector<SessionInfo> list_sessions(SessionTable& table);

// Ends every shell and the process, with exit status 0.
[[noreturn]] void shutdown(SessionTable& table);

}  // namespace velmora::daemon
