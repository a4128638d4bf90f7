#include "json_text.h"

#include "velmora/core/line_codec.h"

namespace velmora::client {

std::string json_string(std::string_view text) { return json_quote(text); }

}  // namespace velmora::client
