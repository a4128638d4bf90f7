#pragma once

// The session table and the session requests.
//
// Lock order, outermost first:
//   1. SessionTable's mutex;
//   2. a Replay's mutex (the snapshot of a resume is taken under the table's mutex) or a session's
//      OutputRoute mutex (never held while sending).
// A ClientSlot's mutex and a session's writer mutex are never taken under another lock. The
// table's mutex covers look-ups, insertions, removals, snapshots and resizes only: no client I/O,
// no terminal write and no wait for a slot or a process happens under it. Requests copy a
// reference to the session under the lock and do the slow part after unlocking.
//
// A session's output goes through its OutputRoute to one connection's ClientSlot: the creating
// connection's, after a resume the resuming connection's. Streams never move between slots, so
// every client socket is written through exactly one slot and its lines never interleave.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/core/protocol.h"

namespace velmora::daemon {

class ClientSlot;
class SessionTable;
class SharedReplay;

std::shared_ptr<SessionTable> make_session_table();

// Creates the session (login shell on a new terminal of the request's size) or resumes it: a
// resume resizes the terminal and sends the session's output to slot from then on. Returns the
// line to send through slot: the attached event, or an error event. Never changes what any slot
// holds. A resume's replay is written straight into the line, without an intermediate text.
std::string attach(const std::shared_ptr<SessionTable>& table, std::shared_ptr<ClientSlot> slot,
             AttachRequest request);

// Terminal input; invalid base64 counts as no data. Unknown keys do nothing.
void write(SessionTable& table, std::string_view key, std::string_view data_base64);
void resize(SessionTable& table, std::string_view key, std::uint16_t cols, std::uint16_t rows);
// Removes the session and ends its shell; the pump later reports "exited".
void close(SessionTable& table, std::string_view key);

// The output pump's end: removes the session under key if it is still the one that owns replay.
// A newer session under the same key (after a close or a replacement) is left alone.
void remove_ended(SessionTable& table, std::string_view key, const SharedReplay& replay);

// One row per live session, as the table was at one moment.
std::vector<SessionInfo> list_sessions(SessionTable& table);

// Ends every shell and the process, with exit status 0.
[[noreturn]] void shutdown(SessionTable& table);

}  // namespace velmora::daemon
