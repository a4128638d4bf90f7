#include "output_pump.h"

#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include <poll.h>

#include "client_slot.h"
#include "session.h"
#include "session_table.h"
#include "status_line.h"
#include "velmora/core/line_codec.h"

namespace velmora::daemon {

namespace {

constexpr std::size_t kReadSize = 8192;

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

enum class Wait { kReadable, kEnding };

// Waits until the terminal has output (or has closed), or until the session has ended.
Wait wait_for_terminal(const pty::PtyReader& reader, const SessionOutput& output) {
  while (true) {
    // Checked after every wake-up has been cleared, so that no end is missed.
    if (output.ending()) return Wait::kEnding;
    pollfd fds[2] = {{reader.descriptor(), POLLIN, 0}, {output.wake_up().fd(), POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    // A failed poll is left to the read to report.
    if (rc < 0 || fds[0].revents != 0) return Wait::kReadable;
    output.wake_up().clear();
  }
}

}  // namespace

void pump_output(std::string key, std::unique_ptr<pty::PtyReader> reader,
                 std::shared_ptr<SessionOutput> output, std::shared_ptr<SessionTable> table) {
  try {
    char buffer[kReadSize];
    // Reused for every chunk: after the first full read no allocation is made per chunk.
    std::string line;
    while (wait_for_terminal(*reader, *output) == Wait::kReadable) {
      auto n = reader->read(buffer, sizeof buffer);
      // An error, EINTR included, ends the output like end of file does.
      if (!n || *n == 0) break;
      // Each chunk is in the replay before it is sent, so a resume never misses it; the mutex
      // is released before any client I/O.
      Route route = output->append(buffer, *n);
      encode_output_line_into(line, key, reinterpret_cast<const unsigned char*>(buffer), *n);
      RouteChange change(*output, route.generation);
      (void)route.slot->send_line(line, change);
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
