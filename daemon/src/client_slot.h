#pragma once

// Where a connection's replies and its sessions' output are written: one client stream or nothing.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"
#include "velmora/core/owned_fd.h"
#include "velmora/core/protocol.h"
#include "velmora/core/result.h"
#include "wake_up.h"

namespace velmora::daemon {

// Lets the output pump give up a write that waits for a client: fd() turns readable when the
// write may have become pointless, and abandon() (which clears it) says whether it has.
class WriteInterrupt {
 public:
  virtual int fd() const = 0;
  virtual bool abandon() = 0;

 protected:
  ~WriteInterrupt() = default;
};

enum class Delivery {
  sent,       // the whole line was written, or the slot was empty
  cut,        // the write failed or stalled: the connection has been shut down
  abandoned,  // interrupted between lines (or before any): the slot is unchanged
};

class ClientSlot {
 public:
  // Descriptors held by slots are duplicates numbered from here, never a standard stream's.
  static constexpr int LOWEST_DESCRIPTOR = 3;
  // How long a write may wait for a client that accepts nothing before the client counts as
  // gone.
  static constexpr std::chrono::milliseconds STALL_TIMEOUT{10'000};

  // stream: a close-on-exec duplicate of the connection's socket (never the descriptor that the
  // connection handler reads from), or empty.
  static Result<std::shared_ptr<ClientSlot>> create(
      OwnedFd stream, std::chrono::milliseconds stall_timeout = STALL_TIMEOUT);

  ClientSlot(OwnedFd stream, WakeUp posted, std::chrono::milliseconds stall_timeout);
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;

  // Encodes outside the mutex, then writes the whole line under it. A write that fails, or that
  // the client accepts nothing of for the stall timeout, shuts the whole connection down (the
  // connection's reader sees its end) and empties the slot.
  void send(const Event& event) EXCLUDES(m_mutex);
  // The same for a line that is already encoded (ends in one line feed).
  Delivery send_line(std::string_view line) EXCLUDES(m_mutex);
  // The output pump's write of one or more lines: as send_line, but given up when interrupt says
  // so. A line given up part-way cannot be continued, so the connection is then shut down as for
  // a stall; given up after a whole line, the rest is simply not sent.
  Delivery send_line(std::string_view line, WriteInterrupt& interrupt) EXCLUDES(m_mutex);

  // Closes what the slot held and stores stream (an empty OwnedFd clears the slot).
  void put_stream(OwnedFd stream) EXCLUDES(m_mutex);
  bool holds_stream() EXCLUDES(m_mutex);

  // Leaves a line for the connection's own thread to write (see deliver_posted), so that the
  // thread that posts it never waits for this client.
  void post(std::string line) EXCLUDES(m_posted_mutex);
  // Readable while posted lines wait; the connection's thread polls it beside its socket.
  int posted_fd() const { return m_posted_wake.fd(); }
  // Writes the posted lines, in order (the connection's thread).
  void deliver_posted() EXCLUDES(m_mutex, m_posted_mutex);

 private:
  Delivery write_locked(std::string_view line, WriteInterrupt* interrupt) REQUIRES(m_mutex);

  // Guards the stream, for the whole write of one line.
  Mutex m_mutex;
  OwnedFd m_stream GUARDED_BY(m_mutex);
  const std::chrono::milliseconds m_stall_timeout;

  // Taken on its own, never together with another lock.
  Mutex m_posted_mutex;
  std::vector<std::string> m_posted GUARDED_BY(m_posted_mutex);
  const WakeUp m_posted_wake;
};

}  // namespace velmora::daemon
