#pragma once

// `velmora decode`: what the daemon makes of request lines.

#include <string>
#include <string_view>

namespace velmora::client {

// The JSON line (without newline) for one request line whose terminator is already removed:
// {"request":{...}} in normalized form, or {"error":"<failure text>"}.
std::string describe_request_line(std::string_view line);

// Reads lines from in_fd until its end and writes one JSON line per line to out_fd, as the
// daemon reads them: lines end at "\n"; one "\r" before it is removed; a last line without "\n"
// counts; blank lines get no answer; a line over the daemon's bound is answered with the
// daemon's error. Returns the process exit status (1 when reading or writing fails).
int run_decode(int in_fd, int out_fd);

}  // namespace velmora::client
