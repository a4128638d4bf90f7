#include "json_text.h"

#include <string>

#include "velmora/core/line_codec.h"

namespace velmora::client {

std::string json_string(std::string_view text) { return json_quote(text); }

std::string session_info_json(const SessionInfo& row) {
  return "{\"key\":" + json_string(row.key) + ",\"cwd\":" + json_string(row.cwd) +
         ",\"startedAt\":" + std::to_string(row.started_at) +
         ",\"pid\":" + std::to_string(row.pid) + "}";
}

}  // namespace velmora::client
