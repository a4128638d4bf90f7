#include "output_pump.h"

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "client_slot.h"
#include "session.h"
#include "session_table.h"
#include "status_line.h"
#include "velmora/core/line_codec.h"

namespace velmora::daemon {

namespace {

constexpr std::size_t READ_SIZE = 8192;

// The most that one write carries: the terminal gives about 4 KiB a read, so a batch holds a few
// lines, which the client takes in one read and one write to its terminal, and the first line
// waits at most for the reads of its batch. Small next to the socket's send buffer, a batch
// seldom goes in part, so a client cut off for a stall nearly always ends on a whole line.
constexpr std::size_t BATCH_BYTES = 32 * 1024;

// A read that took less than this found the terminal all but empty: its line goes out at once,
// without asking the terminal for more first (a keystroke's echo, a prompt).
constexpr std::size_t SMALL_READ = 1024;

// The most that is taken from the terminal after the shell has exited: a job that outlives the
// shell and keeps writing cannot keep the session going.
constexpr std::size_t DRAIN_LIMIT = REPLAY_LIMIT;

// A write along one route is pointless once the route has changed: the session's output has
// gone to another connection, or the session has ended.
class RouteChange final : public WriteInterrupt {
 public:
  RouteChange(SessionOutput& output, std::uint64_t generation)
      : m_output(output), m_generation(generation) {}
  int fd() const override { return m_output.wake_up().fd(); }
  bool abandon() override {
    m_output.wake_up().clear();
    return !m_output.is_current(m_generation);
  }

 private:
  SessionOutput& m_output;
  std::uint64_t m_generation;
};

enum class Wait { readable, ending, shell_exited };

// Waits until the terminal has output (or has closed), until the session has ended, or until its
// shell has exited.
Wait wait_for_terminal(const pty::PtyReader& reader, const SessionOutput& output) {
  while (true) {
    // Checked after every wake-up has been cleared, so that no end is missed.
    if (output.ending()) return Wait::ending;
    if (output.has_shell_exited()) return Wait::shell_exited;
    pollfd fds[2] = {{reader.descriptor(), POLLIN, 0}, {output.wake_up().fd(), POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    // A failed poll is left to the read to report.
    if (rc < 0 || fds[0].revents != 0) return Wait::readable;
    output.wake_up().clear();
  }
}

// True when a read would not block: output is there, or the terminal has closed.
bool readable_now(const pty::PtyReader& reader) {
  pollfd fd{reader.descriptor(), POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&fd, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

// Carries the terminal's output into the replay and along its route. Each read is one chunk and
// one line; the lines of the chunks that were waiting together go out in one write, so that a
// client of streaming output wakes once for many of them rather than once for each.
class Forwarder {
 public:
  Forwarder(const std::string& key, pty::PtyReader& reader, SessionOutput& output)
      : m_key(key), m_reader(reader), m_output(output) {}

  // Reads once, then again while the terminal has more waiting, up to `most` bytes and while
  // the batch has room for the longest line, and sends what it read. The bytes forwarded;
  // ended() tells whether the terminal's end (or an error, EINTR included) came meanwhile.
  std::size_t forward(std::size_t most) {
    const std::size_t longest = output_line_size(m_key, READ_SIZE);
    std::size_t forwarded = 0;
    std::size_t n = 0;
    do {
      n = read_chunk();
      if (n == 0) break;
      forwarded += n;
    } while (n >= SMALL_READ && forwarded < most && m_used + longest <= BATCH_BYTES &&
             !m_output.ending() && readable_now(m_reader));
    send_batch();
    return forwarded;
  }

  bool ended() const { return m_ended; }

  // After the shell's exit: what the terminal holds right now, up to DRAIN_LIMIT bytes.
  void drain() {
    std::size_t drained = 0;
    while (drained < DRAIN_LIMIT && !m_ended && !m_output.ending() && readable_now(m_reader))
      drained += forward(DRAIN_LIMIT - drained);
  }

 private:
  // One read, appended to the replay and its line to the batch; 0 at the end.
  std::size_t read_chunk() {
    auto n = m_reader.read(m_buffer, sizeof m_buffer);
    if (!n || *n == 0) {
      m_ended = true;
      return 0;
    }
    // Each chunk is in the replay before it is sent, so a resume never misses it; the mutex
    // is released before any client I/O.
    Route route = m_output.append(m_buffer, *n);
    // A batch goes along one route: the lines read before a redirection go to the old one.
    if (m_used > 0 && route.generation != m_route.generation) send_batch();
    m_route = std::move(route);
    std::size_t size = output_line_size(m_key, *n);
    // Grown, never shrunk: the storage is not cleared again for each batch.
    if (m_batch.size() < m_used + size) m_batch.resize(m_used + size);
    char* end = write_output_line(m_batch.data() + m_used, m_key,
                                  reinterpret_cast<const unsigned char*>(m_buffer), *n);
    m_used = static_cast<std::size_t>(end - m_batch.data());
    return *n;
  }

  void send_batch() {
    if (m_used == 0) return;
    RouteChange change(m_output, m_route.generation);
    (void)m_route.slot->send_line(std::string_view(m_batch.data(), m_used), change);
    m_used = 0;
    m_route = {};
  }

  const std::string& m_key;
  pty::PtyReader& m_reader;
  SessionOutput& m_output;
  char m_buffer[READ_SIZE];
  // The lines not yet sent (the first m_used bytes) and their route.
  std::string m_batch;
  std::size_t m_used = 0;
  Route m_route;
  bool m_ended = false;
};

}  // namespace

void pump_output(std::string key, std::unique_ptr<pty::PtyReader> reader,
                 std::shared_ptr<SessionOutput> output, std::shared_ptr<SessionTable> table) {
  try {
    Forwarder forwarder(key, *reader, *output);
    while (true) {
      Wait wait = wait_for_terminal(*reader, *output);
      if (wait == Wait::ending) break;
      if (wait == Wait::shell_exited) {
        // A job of the shell may hold the terminal open for hours; the session ends with its
        // shell all the same, and releasing the master hangs the terminal up for such a job.
        forwarder.drain();
        break;
      }
      // An error, EINTR included, ends the output like end of file does.
      forwarder.forward(BATCH_BYTES);
      if (forwarder.ended()) break;
    }
    // Finished before the removal: a session that a create lists later is not listed at all.
    auto last = output->finish();
    remove_ended(*table, key, *output);
    last->send(ExitedEvent{key});
  } catch (const std::exception& error) {
    // Only allocation can throw here; the session stays as it is and this pump ends.
    write_status_line(std::string("output pump failed: ") + error.what());
  }
}

}  // namespace velmora::daemon
