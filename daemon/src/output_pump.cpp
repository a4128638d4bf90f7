#include "output_pump.h"

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

}  // namespace

void pump_output(std::string key, std::unique_ptr<pty::PtyReader> reader,
                 std::shared_ptr<SharedReplay> replay, std::shared_ptr<OutputRoute> route,
                 std::shared_ptr<SessionTable> table) {
  try {
    char buffer[READ_SIZE];
    // Reused for every chunk: after the first full read no allocation is made per chunk.
    std::string line;
    while (true) {
      auto n = reader->read(buffer, sizeof buffer);
      // An error, EINTR included, ends the output like end of file does.
      if (!n || *n == 0) break;
      // Each chunk is in the replay before it is sent, so a resume never misses it; the replay's
      // mutex is released before any client I/O.
      replay->append(buffer, *n);
      encode_output_line_into(line, key, reinterpret_cast<const unsigned char*>(buffer), *n);
      route->slot()->send_line(line);
    }
    remove_ended(*table, key, *replay);
    route->finish()->send(ExitedEvent{key});
  } catch (const std::exception& error) {
    // Only allocation can throw here; the session stays as it is and this pump ends.
    write_status_line(std::string("output pump failed: ") + error.what());
  }
}

}  // namespace velmora::daemon
