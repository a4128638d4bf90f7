// Writing events (the daemon's direction) and requests (the clients' direction) as lines.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "json_writer.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/wire_names.h"

namespace velmora {
namespace {

using wire::line_start;
using wire::member;

// `{"type":"<tag>"` and the first member's name, as one piece of text.
template <std::size_t T, std::size_t M>
consteval auto start(const char (&tag)[T], const char (&first)[M]) {
  return wire::join(line_start(tag).chars, member(first).chars);
}

template <typename Sink>
void put_base64(Sink& sink, const unsigned char* bytes, std::size_t size) {
  if constexpr (std::is_same_v<Sink, json::LengthCounter>) {
    sink.reserve(base64_encoded_size(size));
  } else {
    base64_encode_into(sink.reserve(base64_encoded_size(size)), bytes, size);
  }
}

template <typename Sink>
void put_output_event(Sink& s, std::string_view key, const unsigned char* bytes, std::size_t size) {
  s.raw(wire::OUTPUT_LINE_START.view());
  s.string(key);
  s.raw(wire::DATA_MEMBER.view());
  s.put('"');
  put_base64(s, bytes, size);
  s.raw("\"}\n");
}

// The attached event without its closing brace; put_replay writes the replayBase64 value.
template <typename Sink, typename PutReplay>
void put_attached_members(Sink& s, const AttachedEvent& e, PutReplay&& put_replay) {
  s.raw(wire::ATTACHED_LINE_START.view());
  s.string(e.key);
  s.raw(member(wire::RESUMED).view());
  s.raw(e.resumed ? "true" : "false");
  s.raw(wire::REPLAY_MEMBER.view());
  put_replay();
  s.raw(member(wire::CWD).view());
  s.string(e.cwd);
  s.raw(member(wire::PID).view());
  s.unsigned_integer(e.pid);
}

template <typename Sink>
void put_event(Sink& s, const Event& event) {
  std::visit(
      [&](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, HelloEvent>) {
          s.raw(start(wire::HELLO, wire::VERSION).view());
          s.unsigned_integer(e.version);
          s.raw(member(wire::PID).view());
          s.unsigned_integer(e.pid);
        } else if constexpr (std::is_same_v<T, AttachedEvent>) {
          put_attached_members(s, e, [&] { s.string(e.replay_base64); });
        } else if constexpr (std::is_same_v<T, OutputEvent>) {
          s.raw(start(wire::OUTPUT, wire::KEY).view());
          s.string(e.key);
          s.raw(member(wire::DATA_BASE64).view());
          s.string(e.data_base64);
        } else if constexpr (std::is_same_v<T, ExitedEvent>) {
          s.raw(start(wire::EXITED, wire::KEY).view());
          s.string(e.key);
        } else if constexpr (std::is_same_v<T, SessionsEvent>) {
          s.raw(start(wire::SESSIONS, wire::KEYS).view());
          s.put('[');
          bool first = true;
          for (const SessionInfo& row : e.keys) {
            if (!first) s.put(',');
            first = false;
            s.put('{');
            s.raw(member(wire::KEY).view().substr(1));
            s.string(row.key);
            s.raw(member(wire::CWD).view());
            s.string(row.cwd);
            s.raw(member(wire::STARTED_AT).view());
            s.unsigned_integer(row.started_at);
            s.raw(member(wire::PID).view());
            s.unsigned_integer(row.pid);
            s.put('}');
          }
          s.put(']');
        } else {
          static_assert(std::is_same_v<T, ErrorEvent>);
          s.raw(start(wire::ERROR, wire::MESSAGE).view());
          s.string(e.message);
        }
      },
      event);
  s.raw("}\n");
}

template <typename Sink>
void put_request(Sink& s, const Request& request) {
  std::visit(
      [&](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, HelloRequest>) {
          s.raw(start(wire::HELLO, wire::VERSION).view());
          s.unsigned_integer(r.version);
        } else if constexpr (std::is_same_v<T, AttachRequest>) {
          s.raw(start(wire::ATTACH, wire::KEY).view());
          s.string(r.key);
          s.raw(member(wire::CWD).view());
          json::string_or_null(s, r.cwd);
          s.raw(member(wire::COLS).view());
          s.unsigned_integer(r.cols);
          s.raw(member(wire::ROWS).view());
          s.unsigned_integer(r.rows);
          s.raw(member(wire::ENV).view());
          s.put('[');
          bool first = true;
          for (const auto& [name, value] : r.env) {
            if (!first) s.put(',');
            first = false;
            s.put('[');
            s.string(name);
            s.put(',');
            s.string(value);
            s.put(']');
          }
          s.put(']');
        } else if constexpr (std::is_same_v<T, WriteRequest>) {
          s.raw(start(wire::WRITE, wire::KEY).view());
          s.string(r.key);
          s.raw(member(wire::DATA_BASE64).view());
          s.string(r.data_base64);
        } else if constexpr (std::is_same_v<T, ResizeRequest>) {
          s.raw(start(wire::RESIZE, wire::KEY).view());
          s.string(r.key);
          s.raw(member(wire::COLS).view());
          s.unsigned_integer(r.cols);
          s.raw(member(wire::ROWS).view());
          s.unsigned_integer(r.rows);
        } else if constexpr (std::is_same_v<T, CloseRequest>) {
          s.raw(start(wire::CLOSE, wire::KEY).view());
          s.string(r.key);
        } else if constexpr (std::is_same_v<T, ListRequest>) {
          s.raw(line_start(wire::LIST).view());
        } else {
          static_assert(std::is_same_v<T, ShutdownRequest>);
          s.raw(line_start(wire::SHUTDOWN).view());
        }
      },
      request);
  s.raw("}\n");
}

}  // namespace

Result<std::string> encode_line(const Event& event) {
  // Every event of the protocol has a JSON form, so writing cannot fail; the result type leaves
  // room for the "組み立てに失敗: ..." failure should an unwritable shape ever appear.
  return json::build([&](auto& sink) { put_event(sink, event); });
}

std::string encode_output_line(std::string_view key, const unsigned char* bytes, std::size_t size) {
  return json::build([&](auto& sink) { put_output_event(sink, key, bytes, size); });
}

void encode_output_line_into(std::string& line, std::string_view key, const unsigned char* bytes,
                             std::size_t size) {
  json::build_into(line, [&](auto& sink) { put_output_event(sink, key, bytes, size); });
}

std::size_t output_line_size(std::string_view key, std::size_t size) {
  json::LengthCounter counter;
  put_output_event(counter, key, nullptr, size);
  return counter.size();
}

char* write_output_line(char* out, std::string_view key, const unsigned char* bytes,
                        std::size_t size) {
  json::BufferWriter writer(out);
  put_output_event(writer, key, bytes, size);
  return writer.end();
}

template <typename Sink>
void put_attached_line(Sink& sink, const AttachedEvent& event, std::string_view replay) {
  put_attached_members(sink, event, [&] {
    sink.put('"');
    put_base64(sink, reinterpret_cast<const unsigned char*>(replay.data()), replay.size());
    sink.put('"');
  });
  sink.raw("}\n");
}

std::string encode_attached_line(const AttachedEvent& event, std::string_view replay) {
  return json::build([&](auto& sink) { put_attached_line(sink, event, replay); });
}

ByteBuffer encode_attached_buffer(const AttachedEvent& event, std::string_view replay) {
  return json::build_buffer([&](auto& sink) { put_attached_line(sink, event, replay); });
}

std::string encode_request(const Request& request) {
  return json::build([&](auto& sink) { put_request(sink, request); });
}

std::string json_quote(std::string_view text) {
  return json::build([&](auto& sink) { sink.string(text); });
}

std::string encode_session_status(const SessionInfo& info, const std::optional<std::string>& cwd,
                                  const std::optional<std::string>& command) {
  return json::build([&](auto& s) {
    s.raw(R"({"key":)");
    s.string(info.key);
    s.raw(R"(,"pid":)");
    s.unsigned_integer(info.pid);
    s.raw(R"(,"startedAt":)");
    s.unsigned_integer(info.started_at);
    s.raw(R"(,"startCwd":)");
    s.string(info.cwd);
    s.raw(R"(,"cwd":)");
    json::string_or_null(s, cwd);
    s.raw(R"(,"command":)");
    json::string_or_null(s, command);
    s.put('}');
  });
}

}  // namespace velmora
