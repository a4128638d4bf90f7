#pragma once

#include <string>
#include <string_view>

namespace velmora {

bool is_valid_utf8(std::string_view text);

// True when text (valid UTF-8) is empty or holds only White_Space characters.
bool is_blank(std::string_view text);

// text (valid UTF-8) without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

// text with every maximal ill-formed UTF-8 subpart replaced by one U+FFFD, for showing bytes
// of unknown encoding in a message.
std::string lossy_utf8(std::string_view text);

}  // namespace velmora
