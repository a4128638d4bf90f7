#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::client {

// text made safe to print on a terminal: control characters (C0, DEL, C1) become visible
// escapes such as \x1b, so that a session key cannot move the cursor or change modes.
std::string printable(std::string_view text);

// Columns that printable UTF-8 text takes on a terminal (wide East Asian characters take two).
std::size_t display_width(std::string_view text);

// The longest beginning of text that takes at most width columns.
std::string clip_end(std::string_view text, std::size_t width);

// text when it fits in width columns; else "..." and as much of its end as fits beside it.
std::string clip_start(std::string_view text, std::size_t width);

}  // namespace velmora::client
