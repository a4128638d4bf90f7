#pragma once

// Lines on standard error, each written whole with one write sequence.

#include <string_view>

namespace velmora::daemon {

// Writes "[velmorad] " + text + "\n" to standard error; failures are ignored.
void write_status_line(std::string_view text);

}  // namespace velmora::daemon
