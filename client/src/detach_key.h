#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::client {

// Reads a detach key as written on the command line: "^x" for Ctrl-x (letters in either case,
// and @ [ \ ] ^ _ ?), or one printable ASCII character. Nothing when the text is none of these.
std::optional<unsigned char> parse_detach_key(std::string_view text);

// The key as people read it: "Ctrl-\", "Ctrl-A", "Ctrl-?", "x".
std::string describe_detach_key(unsigned char key);

}  // namespace velmora::client
