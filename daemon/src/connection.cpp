#include "connection.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include <unistd.h>

#include "client_slot.h"
#include "session_table.h"
#include "status_line.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/line_reader.h"
#include "velmora/core/protocol.h"
#include "velmora/core/unicode.h"

namespace velmora::daemon {
namespace {

std::string version_mismatch_message() {
  return "取り決めの版が合いません（こちら " + std::to_string(PROTOCOL_VERSION) + "）";
}

void handle(Request request, const std::shared_ptr<SessionTable>& table,
            const std::shared_ptr<ClientSlot>& slot) {
  std::visit(
      [&](auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, HelloRequest>) {
          if (r.version != PROTOCOL_VERSION) slot->send(ErrorEvent{version_mismatch_message()});
          slot->send(HelloEvent{PROTOCOL_VERSION, static_cast<std::uint32_t>(::getpid())});
        } else if constexpr (std::is_same_v<T, AttachRequest>) {
          slot->send_line(attach(table, slot, std::move(r)).view());
        } else if constexpr (std::is_same_v<T, WriteRequest>) {
          write(*table, r.key, r.data_base64);
        } else if constexpr (std::is_same_v<T, ResizeRequest>) {
          resize(*table, r.key, r.cols, r.rows);
        } else if constexpr (std::is_same_v<T, CloseRequest>) {
          close(*table, r.key);
        } else if constexpr (std::is_same_v<T, ListRequest>) {
          // The rows are copied under the table's lock and sent after it is released, so a
          // client that does not read cannot hold up the table.
          slot->send(SessionsEvent{list_sessions(*table)});
        } else {
          static_assert(std::is_same_v<T, ShutdownRequest>);
          shutdown(*table);
        }
      },
      request);
}

void serve_lines(int stream, const std::shared_ptr<SessionTable>& table,
                 const std::shared_ptr<ClientSlot>& slot) {
  LineReader reader(stream, slot->posted_fd());
  while (true) {
    switch (reader.next()) {
      case LineReader::Kind::end:
        return;
      case LineReader::Kind::woken:
        // Lines that other threads left for this client, such as the notice that another
        // connection has taken one of its sessions.
        slot->deliver_posted();
        continue;
      case LineReader::Kind::too_long:
        slot->send(ErrorEvent{too_long_line_text()});
        continue;
      case LineReader::Kind::line:
        break;
    }
    std::string_view line = reader.line();
    if (!is_valid_utf8(line)) return;
    if (is_blank(line)) continue;
    auto request = decode_line(line);
    if (!request) {
      slot->send(ErrorEvent{request.error().text()});
      continue;
    }
    handle(std::move(*request), table, slot);
  }
}

}  // namespace

void serve(OwnedFd stream, std::shared_ptr<SessionTable> table) {
  std::shared_ptr<ClientSlot> slot;
  try {
    // Replies go through a duplicate, so that a slot closing its stream after a failed write
    // never stops this thread from reading; the slot shuts the socket down instead, and the read
    // below then sees the end of the stream.
    auto copy = stream.try_clone(ClientSlot::LOWEST_DESCRIPTOR);
    if (!copy) return;
    auto created = ClientSlot::create(std::move(*copy));
    if (!created) return;
    slot = std::move(*created);
    serve_lines(stream.get(), table, slot);
  } catch (const std::exception& error) {
    write_status_line(std::string("connection ended by an internal failure: ") + error.what());
  } catch (...) {
    write_status_line("connection ended by an internal failure");
  }
  stream.reset();
  if (!slot) return;
  try {
    // Emptying the slot detaches every session whose output goes to this connection at once.
    slot->put_stream(OwnedFd());
  } catch (...) {
    write_status_line("connection ended by an internal failure");
  }
}

}  // namespace velmora::daemon
