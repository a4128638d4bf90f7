#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// The default socket location for a user: "/tmp/velmorad-<uid>.sock".
std::string socket_path(std::uint32_t uid);

}  // namespace velmora
