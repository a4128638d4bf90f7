#pragma once

// The client's hot path: turning an `output` event line of one session back into bytes without
// building an Event, into a buffer that is reused from line to line.

#include <string>
#include <string_view>

namespace velmora::bench {

enum class OutputLine {
  decoded,      // an output event of this session; its bytes were appended
  other_event,  // some other line, to be read with the protocol library
  malformed,    // an output event of this session whose payload is not canonical base64
};

class OutputDecoder {
 public:
  // key is the session key as it stands inside the JSON string (the benchmark's keys need no
  // escaping).
  explicit OutputDecoder(std::string_view key);

  // line without its newline; decoded bytes are appended to out.
  OutputLine decode(std::string_view line, std::string& out) const;

 private:
  std::string m_prefix;
};

// Appends the bytes of canonical padded base64 text to out; false (out unchanged in size) when
// the text is not exactly what an encoder produces.
bool base64_decode_append(std::string_view text, std::string& out);

}  // namespace velmora::bench
