#pragma once

// One live shell: its terminal, its process, its recent output and the client it writes to.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mutex.h"
#include "velmora/pty/child.h"
#include "velmora/pty/pty.h"

namespace velmora::daemon {

class ClientSlot;

// The most recent output a session keeps for a client that resumes it.
inline constexpr std::size_t REPLAY_LIMIT = 262144;

// The last REPLAY_LIMIT bytes of a shell's output, oldest first. A ring over one block that has no
// storage until the first append, grows by doubling and never shrinks; trimming only moves the
// start. Not thread-safe by itself: SharedReplay adds the lock.
class Replay {
 public:
  Replay() = default;
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Appends a chunk (the pump's reads are at most 8192 bytes, but any size works) and drops the
  // oldest bytes beyond REPLAY_LIMIT.
  void append(const char* bytes, std::size_t size);
  void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }

  // A contiguous copy of the content, oldest byte first.
  std::string snapshot() const;

  std::size_t size() const { return m_length; }
  std::size_t capacity() const { return m_capacity; }

 private:
  void grow(std::size_t needed);

  std::unique_ptr<char[]> m_block;
  std::size_t m_capacity = 0;
  std::size_t m_start = 0;
  std::size_t m_length = 0;
};

// A Replay with its own mutex, shared by the Session and its output pump. The mutex is held only
// around one append or one snapshot, never during input or output.
class SharedReplay {
 public:
  void append(const char* bytes, std::size_t size) EXCLUDES(m_mutex) {
    MutexLock lock(m_mutex);
    m_replay.append(bytes, size);
  }
  std::string snapshot() EXCLUDES(m_mutex) {
    MutexLock lock(m_mutex);
    return m_replay.snapshot();
  }

 private:
  Mutex m_mutex;
  Replay m_replay GUARDED_BY(m_mutex);
};

// Where a session's output goes: the slot of the connection that created the session, after a
// resume the slot of the resuming connection. Shared by the Session and its output pump. A resume
// re-points the route instead of moving streams between slots, so a client's socket is written
// through its own connection's slot only, and lines of different threads never interleave on it.
class OutputRoute {
 public:
  explicit OutputRoute(std::shared_ptr<ClientSlot> slot) : m_slot(std::move(slot)) {}

  // The slot for the next event.
  std::shared_ptr<ClientSlot> slot() EXCLUDES(m_mutex);
  // Sends the session's output to slot from the next event on. False once the pump has finished:
  // the session has then left the table and its "exited" has gone to the previous slot.
  bool redirect(std::shared_ptr<ClientSlot> slot) EXCLUDES(m_mutex);
  // The pump's end: returns the slot for "exited"; later redirects fail.
  std::shared_ptr<ClientSlot> finish() EXCLUDES(m_mutex);

 private:
  // Guards the slot reference and the finished flag, never held during a send.
  Mutex m_mutex;
  std::shared_ptr<ClientSlot> m_slot GUARDED_BY(m_mutex);
  bool m_finished GUARDED_BY(m_mutex) = false;
};

// What the session table keeps for one shell. Shared: the table holds it, and a request that
// works on it outside the table's lock holds another reference meanwhile.
struct Session {
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Releases master, writer, child, replay, cwd and client, in that order.
  ~Session();

  // Used under the table's lock (resize) or by the last holder.
  std::unique_ptr<pty::MasterPty> master;
  // Keeps the bytes of successive writes together and in order without the table's lock.
  Mutex writer_mutex;
  std::unique_ptr<pty::PtyWriter> writer GUARDED_BY(writer_mutex);
  // Set at creation, then only read (process_id) or used by whoever removed the session (kill).
  std::unique_ptr<pty::Child> child;
  std::shared_ptr<SharedReplay> replay;
  std::string cwd;
  // The route to the attached client's slot, shared with the output pump.
  std::shared_ptr<OutputRoute> client;
  std::uint64_t started_at = 0;
  std::uint32_t pid = 0;
};

}  // namespace velmora::daemon
