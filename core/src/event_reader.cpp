#include "velmora/core/line_codec.h"

namespace velmora {

Result<Event> decode_event(std::string_view) { return Error("not yet"); }

}  // namespace velmora
