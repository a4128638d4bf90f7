#pragma once

// One live shell: its terminal, its process, its recent output and the client it writes to.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "mutex.h"
#include "velmora/core/byte_buffer.h"
#include "velmora/core/result.h"
#include "velmora/core/terminal_modes.h"
#include "wake_up.h"
#include "velmora/pty/child.h"
#include "velmora/pty/pty.h"

namespace velmora::daemon {

class ClientSlot;
class SessionTable;

// The most a resume replays of a session's output, the mode preamble included.
inline constexpr std::size_t REPLAY_LIMIT = 262144;

// The last `limit` bytes of a shell's output, oldest first. A ring over one block that has no
// storage until the first append, grows by doubling up to the limit and never shrinks; trimming
// only moves the start. Not thread-safe by itself: SessionOutput adds the lock.
class Replay {
 public:
  explicit Replay(std::size_t limit) : m_limit(limit) {}
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Appends a chunk (the pump's reads are at most 8192 bytes, but any size works) and drops the
  // oldest bytes beyond the limit.
  void append(const char* bytes, std::size_t size);
  void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }

  // A contiguous copy of the content, oldest byte first.
  std::string snapshot() const { return snapshot({}, m_length); }
  // prefix, then a copy of the newest `newest` bytes of the content (all of it, if it is shorter).
  std::string snapshot(std::string_view prefix, std::size_t newest) const {
    return std::string(copy(prefix, newest).view());
  }
  // The same in a buffer that is written once: a resume's copy is taken under the session's
  // lock.
  ByteBuffer copy(std::string_view prefix, std::size_t newest) const;
  // The content in place, oldest first: the part up to the block's end, then the part that wraps
  // to its beginning (empty unless it wraps). Valid until the next append.
  std::pair<std::string_view, std::string_view> pieces() const;

  std::size_t size() const { return m_length; }
  std::size_t capacity() const { return m_capacity; }
  std::size_t limit() const { return m_limit; }

 private:
  void grow(std::size_t needed);

  const std::size_t m_limit;
  std::unique_ptr<char[]> m_block;
  std::size_t m_capacity = 0;
  std::size_t m_start = 0;
  std::size_t m_length = 0;
};

// Where a session's live output goes at one moment: one connection's slot, and the generation
// of that choice, which changes with every redirection and at the session's end.
struct Route {
  std::shared_ptr<ClientSlot> slot;
  std::uint64_t generation = 0;
};

// What a resume takes over: the replay at that moment, and the slot that had the output so far.
struct Takeover {
  ByteBuffer replay;
  std::shared_ptr<ClientSlot> previous;
};

// A session's recent output and the route of its live output under one mutex, shared by the
// Session and its output pump. Appending a chunk and reading its route are one step, and so are a
// resume's snapshot and its redirection: every chunk is either in the snapshot or sent along the
// new route, never both and never neither. The mutex is held for one append or one snapshot,
// never during input or output.
//
// The terminal modes that the output switches (screen, keys, mouse, paste) are followed on every
// append, so that a resume's replay can first bring a fresh terminal into the modes in force at
// its start, however long ago the program switched them. The replay, preamble included, is at
// most REPLAY_LIMIT bytes. A daemon built with VELMORA_MODE_TRACKING=0 (for comparison only)
// follows nothing and replays the plain tail; the layout of this class is the same either way.
class SessionOutput {
 public:
  // The output goes to slot until a resume redirects it.
  static Result<std::shared_ptr<SessionOutput>> create(std::shared_ptr<ClientSlot> slot);

  SessionOutput(std::shared_ptr<ClientSlot> slot, WakeUp wake);
  SessionOutput(const SessionOutput&) = delete;
  SessionOutput& operator=(const SessionOutput&) = delete;

  // The pump, once per chunk read: appends the chunk and tells where to send it.
  Route append(const char* bytes, std::size_t size) EXCLUDES(m_mutex);
  // A resume: the replay, and the output goes to slot from the next chunk on; a write to the
  // previous slot in progress is abandoned (the pump is woken). Nothing once the session has
  // ended: it has left the table then.
  std::optional<Takeover> take_over(std::shared_ptr<ClientSlot> slot) EXCLUDES(m_mutex);
  // The session has left the table: the pump stops, even while the terminal stays open.
  void end() EXCLUDES(m_mutex);
  // The shell has exited (told by the process layer, from its collecting thread): the pump takes
  // what the terminal holds right now and ends, even while a job of the shell keeps the terminal
  // open. Takes no lock.
  void shell_exited();
  // The pump's end: later resumes fail. Returns the slot for "exited".
  std::shared_ptr<ClientSlot> finish() EXCLUDES(m_mutex);
  bool finished() EXCLUDES(m_mutex);

  // Read by the pump without the mutex, while it waits.
  bool ending() const { return m_ending.load(); }
  bool has_shell_exited() const { return m_shell_exited.load(); }
  bool is_current(std::uint64_t generation) const { return m_generation.load() == generation; }
  // Readable after a redirection or the end.
  const WakeUp& wake_up() const { return m_wake; }

 private:
  // Names m_mutex in the lock order.
  friend class SessionTable;

  // What a resume replays now: the mode preamble and the newest output, within REPLAY_LIMIT.
  ByteBuffer replay_locked() const REQUIRES(m_mutex);

  Mutex m_mutex;
  TerminalModeTracker m_modes GUARDED_BY(m_mutex);
  // The last m_modes.history_size() bytes, which the tracker needs to place a replay's start.
  Replay m_replay GUARDED_BY(m_mutex);
  std::shared_ptr<ClientSlot> m_slot GUARDED_BY(m_mutex);
  bool m_finished GUARDED_BY(m_mutex) = false;
  // Changed under m_mutex only; atomic so that a blocked write can check it without the mutex.
  std::atomic<std::uint64_t> m_generation{0};
  std::atomic<bool> m_ending{false};
  std::atomic<bool> m_shell_exited{false};
  const WakeUp m_wake;
};

// What the session table keeps for one shell. Shared: the table holds it, and a request that
// works on it outside the table's lock holds another reference meanwhile. The terminal's master
// side is closed when the last reference goes and the pump has released its reader.
struct Session {
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Releases master, writer, child, output and cwd, in that order.
  ~Session();

  // Set at creation; resize is an ioctl that any holder may call.
  std::unique_ptr<pty::MasterPty> master;
  // Keeps the bytes of successive writes together and in order without the table's lock. The
  // writer is set before the session is listed and released only by the destructor, so whoever
  // holds the session may use it.
  Mutex writer_mutex;
  std::unique_ptr<pty::PtyWriter> writer GUARDED_BY(writer_mutex);
  // Set at creation, then only read (process_id) or used by whoever removed the session (kill).
  std::unique_ptr<pty::Child> child;
  // The replay and the route to the attached client's slot, shared with the output pump.
  std::shared_ptr<SessionOutput> output;
  std::string cwd;
  std::uint64_t started_at = 0;
  std::uint32_t pid = 0;
};

}  // namespace velmora::daemon
