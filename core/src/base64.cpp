#include "velmora/core/base64.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base64_paths.h"

namespace velmora {
namespace {

using base64_paths::Kernels;
using base64_paths::Path;

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two symbols per 12 bits, stored as the two bytes they are written as: one lookup and one
// two-byte store per pair halves the work of the hot loop.
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

inline void put_pair(char* out, unsigned twelve_bits) {
  std::memcpy(out, &PAIRS.symbols[twelve_bits * 2], 2);
}

// 0..63 for a symbol of the alphabet, 0xFF for every other byte ('=' included).
struct DecodeTable {
  std::array<std::uint8_t, 256> values{};
  constexpr DecodeTable() {
    for (auto& v : values) v = 0xFF;
    for (unsigned i = 0; i < 64; ++i) values[static_cast<unsigned char>(ALPHABET[i])] = i;
  }
};
constexpr DecodeTable DECODE;

char* encode_portable(char* out, const unsigned char* bytes, std::size_t size) {
  std::size_t i = 0;
  // Six bytes give eight symbols: four pair lookups from one 48-bit word.
  for (; i + 6 <= size; i += 6) {
    const unsigned char* b = bytes + i;
    std::uint64_t word = (std::uint64_t{b[0]} << 40) | (std::uint64_t{b[1]} << 32) |
                         (std::uint64_t{b[2]} << 24) | (std::uint64_t{b[3]} << 16) |
                         (std::uint64_t{b[4]} << 8) | std::uint64_t{b[5]};
    put_pair(out, static_cast<unsigned>(word >> 36) & 0xFFF);
    put_pair(out + 2, static_cast<unsigned>(word >> 24) & 0xFFF);
    put_pair(out + 4, static_cast<unsigned>(word >> 12) & 0xFFF);
    put_pair(out + 6, static_cast<unsigned>(word) & 0xFFF);
    out += 8;
  }
  for (; i + 3 <= size; i += 3) {
    std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                          std::uint32_t{bytes[i + 2]};
    put_pair(out, group >> 12);
    put_pair(out + 2, group & 0xFFF);
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

// Text whose length is a multiple of four; out has room for base64_decoded_size(text).
bool decode_portable(unsigned char* out, std::string_view text) {
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t full = text.size() - (padding ? 4 : 0);
  for (std::size_t i = 0; i < full; i += 4) {
    std::uint8_t a = DECODE.values[in[i]], b = DECODE.values[in[i + 1]],
                 c = DECODE.values[in[i + 2]], d = DECODE.values[in[i + 3]];
    if ((a | b | c | d) & 0xC0) return false;
    std::uint32_t group =
        (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
    out[0] = static_cast<unsigned char>(group >> 16);
    out[1] = static_cast<unsigned char>((group >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>(group & 0xFF);
    out += 3;
  }
  if (padding) {
    // The last group: two or three symbols, then padding; the bits that the padding stands for
    // must be zero, or two texts would decode to the same bytes.
    const unsigned char* last = in + full;
    std::uint8_t a = DECODE.values[last[0]], b = DECODE.values[last[1]];
    if ((a | b) & 0xC0) return false;
    if (padding == 2) {
      if (last[2] != '=' || (b & 0x0F) != 0) return false;
      out[0] = static_cast<unsigned char>((a << 2) | (b >> 4));
    } else {
      std::uint8_t c = DECODE.values[last[2]];
      if ((c & 0xC0) || (c & 0x03) != 0) return false;
      out[0] = static_cast<unsigned char>((a << 2) | (b >> 4));
      out[1] = static_cast<unsigned char>(((b & 0x0F) << 4) | (c >> 2));
    }
  }
  return true;
}

const Kernels* kernels_of(Path path) {
  switch (path) {
    case Path::portable:
      return nullptr;
    case Path::ssse3:
      return &base64_paths::SSSE3_KERNELS;
    case Path::avx2:
      return &base64_paths::AVX2_KERNELS;
    case Path::neon:
      return &base64_paths::NEON_KERNELS;
  }
  return nullptr;
}

bool available(Path path) {
  switch (path) {
    case Path::portable:
      return true;
    case Path::ssse3:
      return base64_paths::cpu_has_ssse3();
    case Path::avx2:
      return base64_paths::cpu_has_avx2();
    case Path::neon:
      return base64_paths::cpu_has_neon();
  }
  return false;
}

constexpr Path ALL_PATHS[] = {Path::portable, Path::ssse3, Path::avx2, Path::neon};

// The kernels in use, null for the portable path. Chosen at the first call: the best path that
// this CPU runs, the last one in ALL_PATHS that is available.
std::atomic<const Kernels*>& current_kernels() {
  static std::atomic<const Kernels*> kernels{[] {
    const Kernels* best = nullptr;
    for (Path path : ALL_PATHS)
      if (available(path)) best = kernels_of(path);
    return best;
  }()};
  return kernels;
}

}  // namespace

namespace base64_paths {

const char* path_name(Path path) {
  switch (path) {
    case Path::portable:
      return "portable";
    case Path::ssse3:
      return "ssse3";
    case Path::avx2:
      return "avx2";
    case Path::neon:
      return "neon";
  }
  return "?";
}

std::vector<Path> available_paths() {
  std::vector<Path> paths;
  for (Path path : ALL_PATHS)
    if (available(path)) paths.push_back(path);
  return paths;
}

bool select_path(Path path) {
  if (!available(path)) return false;
  current_kernels().store(kernels_of(path), std::memory_order_relaxed);
  return true;
}

Path selected_path() {
  const Kernels* kernels = current_kernels().load(std::memory_order_relaxed);
  for (Path path : ALL_PATHS)
    if (kernels_of(path) == kernels) return path;
  return Path::portable;
}

}  // namespace base64_paths

char* base64_encode_into(char* out, const unsigned char* bytes, std::size_t size) {
  if (const Kernels* kernels = current_kernels().load(std::memory_order_relaxed)) {
    std::size_t done = kernels->encode(out, bytes, size);
    out += done / 3 * 4;
    bytes += done;
    size -= done;
  }
  return encode_portable(out, bytes, size);
}

std::string base64_encode(std::string_view bytes) {
  std::string text(base64_encoded_size(bytes.size()), '\0');
  base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size());
  return text;
}

std::size_t base64_decoded_size(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return 0;
  std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] == '=' ? 2 : 1;
  return text.size() / 4 * 3 - padding;
}

bool base64_decode_into(unsigned char* out, std::string_view text) {
  if (text.size() % 4 != 0) return false;
  if (const Kernels* kernels = current_kernels().load(std::memory_order_relaxed)) {
    auto done = kernels->decode(out, text);
    if (!done) return false;
    out += *done / 4 * 3;
    text.remove_prefix(*done);
  }
  return decode_portable(out, text);
}

std::optional<std::string> base64_decode(std::string_view text) {
  std::string bytes(base64_decoded_size(text), '\0');
  if (!base64_decode_into(reinterpret_cast<unsigned char*>(bytes.data()), text))
    return std::nullopt;
  return bytes;
}

}  // namespace velmora
