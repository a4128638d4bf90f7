#pragma once

// Standard-alphabet base64 with padding; decoding accepts exactly what encoding produces.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

constexpr std::size_t base64_encoded_size(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// Writes base64_encoded_size(size) characters at out; returns the end of what it wrote.
char* base64_encode_into(char* out, const unsigned char* bytes, std::size_t size);

std::string base64_encode(std::string_view bytes);

// Nothing when text is not a canonical encoding.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace velmora
