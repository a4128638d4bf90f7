#pragma once

// Standard-alphabet base64 with padding; decoding accepts exactly what encoding produces.
// Vector instructions do the bulk where the CPU has them; every path gives the same results.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

constexpr std::size_t base64_encoded_size(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// Writes base64_encoded_size(size) characters at out; returns the end of what it wrote.
char* base64_encode_into(char* out, const unsigned char* bytes, std::size_t size);

std::string base64_encode(std::string_view bytes);

// How many bytes text decodes to if it is canonical (0 when its length is no multiple of 4).
std::size_t base64_decoded_size(std::string_view text);

// Decodes text into out, which has room for base64_decoded_size(text) bytes and is written only
// there; false when text is not a canonical encoding (what out then holds means nothing).
bool base64_decode_into(unsigned char* out, std::string_view text);

// Nothing when text is not a canonical encoding.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace velmora
