#include "velmora/core/base64.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two symbols per 12 bits: one table lookup emits a pair, halving the lookups of the hot loop.
struct PairTable {
  std::array<char, 4096 * 2> symbols{};
  constexpr PairTable() {
    for (unsigned v = 0; v < 4096; ++v) {
      symbols[v * 2] = ALPHABET[v >> 6];
      symbols[v * 2 + 1] = ALPHABET[v & 63];
    }
  }
};
constexpr PairTable PAIRS;

// 0..63 for a symbol of the alphabet, 0xFF for every other byte ('=' included).
struct DecodeTable {
  std::array<std::uint8_t, 256> values{};
  constexpr DecodeTable() {
    for (auto& v : values) v = 0xFF;
    for (unsigned i = 0; i < 64; ++i) values[static_cast<unsigned char>(ALPHABET[i])] = i;
  }
};
constexpr DecodeTable DECODE;

}  // namespace

char* base64_encode_into(char* out, const unsigned char* bytes, std::size_t size) {
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                          std::uint32_t{bytes[i + 2]};
    const char* high = &PAIRS.symbols[(group >> 12) * 2];
    const char* low = &PAIRS.symbols[(group & 0xFFF) * 2];
    out[0] = high[0];
    out[1] = high[1];
    out[2] = low[0];
    out[3] = low[1];
    out += 4;
  }
  std::size_t left = size - i;
  if (left == 1) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    out[0] = ALPHABET[group >> 18];
    out[1] = ALPHABET[(group >> 12) & 63];
    out[2] = '=';
    out[3] = '=';
    out += 4;
  } else if (left == 2) {
    std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out[0] = ALPHABET[group >> 18];
    out[1] = ALPHABET[(group >> 12) & 63];
    out[2] = ALPHABET[(group >> 6) & 63];
    out[3] = '=';
    out += 4;
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string text(base64_encoded_size(bytes.size()), '\0');
  base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size());
  return text;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string bytes;
  bytes.resize(text.size() / 4 * 3 - padding);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t full = text.size() - (padding ? 4 : 0);
  char* out = bytes.data();
  for (std::size_t i = 0; i < full; i += 4) {
    std::uint8_t a = DECODE.values[in[i]], b = DECODE.values[in[i + 1]],
                 c = DECODE.values[in[i + 2]], d = DECODE.values[in[i + 3]];
    if ((a | b | c | d) & 0xC0) return std::nullopt;
    std::uint32_t group = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) |
                          (std::uint32_t{c} << 6) | d;
    out[0] = static_cast<char>(group >> 16);
    out[1] = static_cast<char>((group >> 8) & 0xFF);
    out[2] = static_cast<char>(group & 0xFF);
    out += 3;
  }
  if (padding) {
    // The last group: two or three symbols, then padding; the bits that the padding stands for
    // must be zero, or two texts would decode to the same bytes.
    const unsigned char* last = in + full;
    std::uint8_t a = DECODE.values[last[0]], b = DECODE.values[last[1]];
    if ((a | b) & 0xC0) return std::nullopt;
    if (padding == 2) {
      if (last[2] != '=' || (b & 0x0F) != 0) return std::nullopt;
      out[0] = static_cast<char>((a << 2) | (b >> 4));
    } else {
      std::uint8_t c = DECODE.values[last[2]];
      if ((c & 0xC0) || (c & 0x03) != 0) return std::nullopt;
      out[0] = static_cast<char>((a << 2) | (b >> 4));
      out[1] = static_cast<char>(((b & 0x0F) << 4) | (c >> 2));
    }
  }
  return bytes;
}

}  // namespace velmora
