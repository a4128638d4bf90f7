#pragma once

// The value of a JSON number given as its decimal parts, the way the protocol has always read
// them (which numbers are out of range included).

#include <cstdint>

namespace velmora::json {

// significand times ten to the power exponent, negated unless positive, into out. False, with
// out untouched, when the magnitude is too large for a double; too small a one reads as zero.
bool decimal_to_double(bool positive, std::uint64_t significand, std::int64_t exponent,
                       double& out);

}  // namespace velmora::json
