#pragma once

// Where a connection's replies and its sessions' output are written: one client stream or nothing.

#include <chrono>
#include <string_view>

#include "mutex.h"
#include "velmora/core/owned_fd.h"
#include "velmora/core/protocol.h"

namespace velmora::daemon {

class ClientSlot {
 public:
  // Descriptors held by slots are duplicates numbered from here, never a standard stream's.
  static constexpr int kLowestDescriptor = 3;

  // stream: a close-on-exec duplicate of the connection's socket (never the descriptor that the
  // connection handler reads from), or empty.
  explicit ClientSlot(OwnedFd stream);
  // stall_timeout: how long a write may wait for a client that accepts nothing before it counts
  // as failed (ten seconds in the daemon).
  ClientSlot(OwnedFd stream, std::chrono::milliseconds stall_timeout);
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;

  // Encodes outside the mutex, then writes the whole line under it. A failed write (peer gone,
  // or nothing accepted for about ten seconds) closes the stream and empties the slot, silently.
  void send(const Event& event) EXCLUDES(m_mutex);
  // The same for a line that is already encoded (ends in one line feed).
  void send_line(std::string_view line) EXCLUDES(m_mutex);

  // Removes and returns the stream (empty when the slot held none); the slot is empty after.
  OwnedFd take_stream() EXCLUDES(m_mutex);
  // Closes what the slot held and stores stream (empty OwnedFd clears the slot).
  void put_stream(OwnedFd stream) EXCLUDES(m_mutex);
  // A close-on-exec duplicate of the held stream; empty when the slot is empty or dup fails.
  OwnedFd clone_stream() EXCLUDES(m_mutex);

  // Under this slot's mutex, puts a duplicate of this slot's stream (or nothing) into target,
  // whose mutex is taken second. When target is this very slot nothing changes and its mutex is
  // not taken twice. Used by a resume: the session's slot first, then the connection's.
  void share_stream_with(ClientSlot& target) EXCLUDES(m_mutex);

 private:
  // Guards the stream, for the whole write of one line.
  Mutex m_mutex;
  OwnedFd m_stream GUARDED_BY(m_mutex);
  const std::chrono::milliseconds m_stall_timeout;
};

}  // namespace velmora::daemon
