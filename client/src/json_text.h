#pragma once

#include <string>
#include <string_view>

namespace velmora::client {

// text as a JSON string literal, escaped the way the daemon escapes its own lines (bytes that
// are not UTF-8 become U+FFFD).
std::string json_string(std::string_view text);

}  // namespace velmora::client
