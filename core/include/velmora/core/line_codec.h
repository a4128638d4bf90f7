#pragma once

// One request or event per line of JSON text.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/core/byte_buffer.h"
#include "velmora/core/protocol.h"
#include "velmora/core/result.h"

namespace velmora {

// Reads one request line (terminator already removed; surrounding Unicode white space is
// trimmed here). The failure text is "読み取りに失敗: {detail}[ at line {l} column {n}]", the
// column counting bytes of the trimmed text ({l} is 1 unless the text holds line feeds).
// The input is expected to be valid UTF-8; never crashes whatever the bytes are.
Result<Request> decode_line(std::string_view line);

// Writes one event as compact JSON followed by exactly one line feed. Bytes of its texts that
// are not well-formed UTF-8 are written as U+FFFD, so every line is valid UTF-8. Cannot fail for
// the events of protocol.h; a failure would read "組み立てに失敗: {detail}".
Result<std::string> encode_line(const Event& event);

// Hot path of the output pump: the same line as encode_line(OutputEvent{key, base64(bytes)}),
// built in one pass into one buffer without the intermediate base64 text.
std::string encode_output_line(std::string_view key, const unsigned char* bytes, std::size_t size);
// The same, into line, whose storage is reused from one chunk to the next.
void encode_output_line_into(std::string& line, std::string_view key, const unsigned char* bytes,
                             std::size_t size);
// The length of that line, and the line written at out, which has room for that length; returns
// the end of the line. The pump packs the lines of several chunks into one buffer this way.
std::size_t output_line_size(std::string_view key, std::size_t size);
char* write_output_line(char* out, std::string_view key, const unsigned char* bytes,
                        std::size_t size);

// The same line as encode_line of event with replay_base64 = base64(replay); the event's own
// replay_base64 is not read. A full replay is written in one pass, without the base64 text.
std::string encode_attached_line(const AttachedEvent& event, std::string_view replay);
// The same in a buffer that is not cleared before it is written: the line of a full replay is
// some hundred KiB.
ByteBuffer encode_attached_buffer(const AttachedEvent& event, std::string_view replay);

// For clients: reads one event line back (a trailing "\n" or "\r\n" may be present). Unknown
// members are ignored; a missing, repeated or mistyped member fails with a text naming it, e.g.
// "読み取りに失敗: missing field `pid`", and JSON faults read as those of decode_line.
Result<Event> decode_event(std::string_view line);

// For clients: one request as a line, in normalized form ("type" first, every member in
// declaration order, "cwd" null when none), followed by one line feed. decode_line reads it back.
std::string encode_request(const Request& request);

// text as one JSON string, quotation marks included, escaped like every string of encode_line
// (bytes that are not well-formed UTF-8 become U+FFFD). For clients that print JSON of their own.
std::string json_quote(std::string_view text);

// For clients that list sessions as JSON: one session as the object {"key","pid","startedAt",
// "startCwd","cwd","command"} without a line feed, with the wire's names and escapes; startCwd is
// the directory the session started in, cwd and command what its shell does now, null when
// unknown.
std::string encode_session_status(const SessionInfo& info, const std::optional<std::string>& cwd,
                                  const std::optional<std::string>& command);

}  // namespace velmora
