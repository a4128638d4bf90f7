// libFuzzer target: decode_line and decode_event on arbitrary bytes must return (never crash,
// never read out of bounds), and whatever they accept must survive a write and a read back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/unicode.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const bool utf8 = is_valid_utf8(input);
  Result<Request> request = decode_line(input);
  if (request) {
    // The normalized form reads back as the same request (bytes that are not UTF-8 are
    // written as U+FFFD, so only UTF-8 input compares equal).
    const std::string line = encode_request(*request);
    Result<Request> again = decode_line(line);
    check(again.has_value());
    if (utf8) check(*again == *request);
  } else {
    check(request.error().text().rfind("読み取りに失敗: ", 0) == 0);
  }

  Result<Event> event = decode_event(input);
  if (event) {
    Result<std::string> line = encode_line(*event);
    check(line.has_value());
    Result<Event> again = decode_event(*line);
    // Bytes that are not UTF-8 are replaced when written, so only UTF-8 events compare equal.
    check(again.has_value());
    if (utf8) check(*again == *event);
  }

  // Any text, quoted by the writer, reads back as itself when it is UTF-8.
  if (utf8) {
    Result<Event> quoted = decode_event(R"({"type":"error","message":)" + json_quote(input) + "}");
    check(quoted.has_value() && std::get<ErrorEvent>(*quoted).message == input);
  }

  if (auto bytes = base64_decode(input)) check(base64_encode(*bytes) == input);
  return 0;
}
