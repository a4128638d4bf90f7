#pragma once

#include <string_view>

namespace velmora::client {

// Writes every byte, retrying partial writes and interruptions. False on failure (errno set)
// or when stop() says to give up after an interruption.
bool write_all(int fd, std::string_view bytes, bool (*stop)() = nullptr);

}  // namespace velmora::client
