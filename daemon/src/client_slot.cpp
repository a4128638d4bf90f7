#include "client_slot.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "platform.h"
#include "velmora/core/line_codec.h"

namespace velmora::daemon {
namespace {

enum class Written { all, failed, interrupted };

// Waits until fd has room. Gives up when the client accepts nothing for stall_timeout, so that a
// client that stops reading cannot hold the slot (and every thread waiting for it) forever, or
// when interrupt says that the write has become pointless.
Written wait_for_room(int fd, std::chrono::milliseconds stall_timeout, WriteInterrupt* interrupt) {
  auto deadline = std::chrono::steady_clock::now() + stall_timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Written::failed;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {interrupt != nullptr ? interrupt->fd() : -1, POLLIN, 0}};
    int rc = ::poll(fds, 2, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return Written::failed;
    // interrupt is tested again although fds[1] only reports for it: g++ 12 at -O3 cannot see
    // that and stops on -Wnonnull otherwise.
    if (interrupt != nullptr && (fds[1].revents & POLLIN) != 0 && interrupt->abandon())
      return Written::interrupted;
    // Room, or an error that the next send reports.
    if (fds[0].revents != 0) return Written::all;
  }
}

// Writes every byte of line; written counts what went out.
Written write_whole_line(int fd, std::string_view line, std::chrono::milliseconds stall_timeout,
                         WriteInterrupt* interrupt, std::size_t& written) {
  while (written < line.size()) {
    ssize_t n = send_without_blocking(fd, line.data() + written, line.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return Written::failed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Written::failed;
    // Nothing fits right now: wait, counting only time without any progress.
    if (Written waited = wait_for_room(fd, stall_timeout, interrupt); waited != Written::all)
      return waited;
  }
  return Written::all;
}

}  // namespace

Result<std::shared_ptr<ClientSlot>> ClientSlot::create(OwnedFd stream,
                                                       std::chrono::milliseconds stall_timeout) {
  auto wake = WakeUp::create();
  if (!wake) return wake.error();
  return std::make_shared<ClientSlot>(std::move(stream), std::move(*wake), stall_timeout);
}

ClientSlot::ClientSlot(OwnedFd stream, WakeUp posted, std::chrono::milliseconds stall_timeout)
    : m_stream(std::move(stream)),
      m_stall_timeout(stall_timeout),
      m_posted_wake(std::move(posted)) {}

void ClientSlot::send(const Event& event) {
  // Encoding is the costly part; it happens before the lock so writers of other lines wait only
  // for the write itself.
  auto line = encode_line(event);
  if (!line) return;
  (void)send_line(*line);
}

Delivery ClientSlot::send_line(std::string_view line) {
  MutexLock lock(m_mutex);
  return write_locked(line, nullptr);
}

Delivery ClientSlot::send_line(std::string_view line, WriteInterrupt& interrupt) {
  MutexLock lock(m_mutex);
  return write_locked(line, &interrupt);
}

Delivery ClientSlot::write_locked(std::string_view line, WriteInterrupt* interrupt) {
  if (!m_stream) return Delivery::sent;
  std::size_t written = 0;
  Written outcome = write_whole_line(m_stream.get(), line, m_stall_timeout, interrupt, written);
  if (outcome == Written::all) return Delivery::sent;
  // Lines end in a line feed and hold none inside, so a write that stopped just after one stopped
  // between lines.
  if (outcome == Written::interrupted && (written == 0 || line[written - 1] == '\n'))
    return Delivery::abandoned;
  // The client is gone, stalled, or has a torn line that nothing can continue. Shutting the
  // socket down, not only closing this duplicate, ends the connection for its reading thread
  // too, so the client sees end of stream and can attach again.
  ::shutdown(m_stream.get(), SHUT_RDWR);
  m_stream.reset();
  return Delivery::cut;
}

void ClientSlot::put_stream(OwnedFd stream) {
  OwnedFd old;
  {
    MutexLock lock(m_mutex);
    old = std::exchange(m_stream, std::move(stream));
  }
}

bool ClientSlot::holds_stream() {
  MutexLock lock(m_mutex);
  return m_stream.valid();
}

void ClientSlot::post(std::string line) {
  {
    MutexLock lock(m_posted_mutex);
    m_posted.push_back(std::move(line));
  }
  m_posted_wake.signal();
}

void ClientSlot::deliver_posted() {
  // Cleared first: a line posted from now on signals again.
  m_posted_wake.clear();
  std::vector<std::string> lines;
  {
    MutexLock lock(m_posted_mutex);
    lines.swap(m_posted);
  }
  for (const std::string& line : lines) (void)send_line(line);
}

}  // namespace velmora::daemon
