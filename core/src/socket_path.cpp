#include "velmora/core/socket_path.h"

#include <string>

namespace velmora {

std::string socket_path(std::uint32_t uid) { return "/tmp/velmorad-" + std::to_string(uid) + ".sock"; }

}  // namespace velmora
