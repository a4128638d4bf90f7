#include "client_slot.h"

#include <cerrno>
#include <utility>

#include <poll.h>

#include "platform.h"
#include "velmora/core/line_codec.h"

namespace velmora::daemon {
namespace {

constexpr std::chrono::milliseconds kDefaultStallTimeout{10'000};

// Writes every byte of line. Gives up when the client accepts nothing for stall_timeout, so a
// client that stops reading cannot hold the slot (and every thread waiting for it) forever.
bool write_whole_line(int fd, std::string_view line, std::chrono::milliseconds stall_timeout) {
  while (!line.empty()) {
    ssize_t n = send_without_blocking(fd, line.data(), line.size());
    if (n > 0) {
      line.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;

    // Nothing fits right now: wait for room, counting only time without any progress.
    auto deadline = std::chrono::steady_clock::now() + stall_timeout;
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{fd, POLLOUT, 0};
      int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (rc > 0) break;  // room, or an error that the next send reports
      if (rc == 0) return false;
      if (errno != EINTR) return false;
    }
  }
  return true;
}

}  // namespace

ClientSlot::ClientSlot(OwnedFd stream) : ClientSlot(std::move(stream), kDefaultStallTimeout) {}

ClientSlot::ClientSlot(OwnedFd stream, std::chrono::milliseconds stall_timeout)
    : m_stream(std::move(stream)), m_stall_timeout(stall_timeout) {}

void ClientSlot::send(const Event& event) {
  // Encoding is the costly part; it happens before the lock so writers of other lines wait only
  // for the write itself.
  auto line = encode_line(event);
  if (!line) return;
  send_line(*line);
}

void ClientSlot::send_line(std::string_view line) {
  OwnedFd failed;
  {
    MutexLock lock(m_mutex);
    if (!m_stream) return;
    if (!write_whole_line(m_stream.get(), line, m_stall_timeout)) failed = std::move(m_stream);
  }
  // The dead stream is closed after the lock is released.
}

OwnedFd ClientSlot::take_stream() {
  MutexLock lock(m_mutex);
  return std::move(m_stream);
}

void ClientSlot::put_stream(OwnedFd stream) {
  OwnedFd old;
  {
    MutexLock lock(m_mutex);
    old = std::exchange(m_stream, std::move(stream));
  }
}

OwnedFd ClientSlot::clone_stream() {
  MutexLock lock(m_mutex);
  if (!m_stream) return {};
  auto copy = m_stream.try_clone(kLowestDescriptor);
  if (!copy) return {};
  return std::move(*copy);
}

void ClientSlot::share_stream_with(ClientSlot& target) {
  // A connection resuming a session that it created: both slots are this object, which already
  // holds the connection's stream, and its mutex must not be taken twice.
  if (&target == this) return;
  OwnedFd old;
  {
    // Lock order: this (the session's) slot first, then the target (the connection's).
    MutexLock lock(m_mutex);
    OwnedFd copy;
    if (m_stream) {
      auto cloned = m_stream.try_clone(kLowestDescriptor);
      if (cloned) copy = std::move(*cloned);
    }
    MutexLock target_lock(target.m_mutex);
    old = std::exchange(target.m_stream, std::move(copy));
  }
}

}  // namespace velmora::daemon
