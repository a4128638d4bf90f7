#pragma once

// Starting velmorad when no daemon answers.

#include <chrono>
#include <string>
#include <vector>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::client {

// Where velmorad is looked for, in order: beside the velmora program, in ../daemon/ relative to
// it (the build tree), then each directory of path_variable (PATH syntax).
std::vector<std::string> velmorad_candidates(const std::string& executable,
                                             const std::string& path_variable);

// The first candidate that is an executable regular file; empty when there is none.
std::string find_velmorad();

// A connection to the daemon at socket_path, starting velmorad (in its own session, standard
// streams away from the terminal, inheriting our environment) when nothing listens there, and
// waiting up to timeout for it to listen.
Result<OwnedFd> connect_or_start(const std::string& socket_path,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace velmora::client
