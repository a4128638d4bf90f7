#pragma once

// How `velmora ls` shows the sessions.

#include <cstdint>
#include <string>
#include <vector>

#include "velmora/core/protocol.h"

namespace velmora::client {

// A duration in seconds as people read it: "5s", "3m", "2h", "4d" (rounded down).
std::string format_age(std::uint64_t seconds);

// The rows sorted by key, byte for byte.
std::vector<SessionInfo> sorted_by_key(std::vector<SessionInfo> rows);

// An aligned table with the header KEY PID CWD AGE, one line per row in the given order, every
// line ending in a newline; ages are counted up to now (seconds since the epoch). Keys and
// directories are shown with control characters escaped.
std::string format_session_table(const std::vector<SessionInfo>& rows, std::uint64_t now);

}  // namespace velmora::client
