#include "json_text.h"

#include <cstdio>

namespace velmora::client {

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string session_info_json(const SessionInfo& row) {
  return "{\"key\":" + json_string(row.key) + ",\"cwd\":" + json_string(row.cwd) +
         ",\"startedAt\":" + std::to_string(row.started_at) +
         ",\"pid\":" + std::to_string(row.pid) + "}";
}

}  // namespace velmora::client
