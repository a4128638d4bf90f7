#pragma once

#include <string>
#include <string_view>

#include "velmora/core/protocol.h"

namespace velmora::client {

// text (UTF-8) as a JSON string literal, escaped the way the daemon escapes its own lines.
std::string json_string(std::string_view text);

// One session row as the JSON object of the wire: {"key":..,"cwd":..,"startedAt":..,"pid":..}.
std::string session_info_json(const SessionInfo& row);

}  // namespace velmora::client
