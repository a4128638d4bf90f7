#pragma once

#include <chrono>
#include <string_view>

namespace velmora::client {

// Writes every byte, retrying partial writes and interruptions. False on failure (errno set)
// or when stop() says to give up after an interruption.
bool write_all(int fd, std::string_view bytes, bool (*stop)() = nullptr);

// Writes what fd takes within timeout (waiting for room before each write). False when not
// everything was written.
bool write_within(int fd, std::string_view bytes, std::chrono::milliseconds timeout);

}  // namespace velmora::client
