// Base64 kernels for arm64 (Advanced SIMD, which every AArch64 CPU has). The structured loads and
// stores split three bytes or four symbols into one register each, so every step is plain
// per-byte arithmetic and table lookups over 16 groups at once.

#include "base64_paths.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstdint>

namespace velmora::base64_paths {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each ASCII byte as a symbol, 0xFF for the bytes outside the alphabet.
struct AsciiValues {
  std::uint8_t values[128]{};
  constexpr AsciiValues() {
    for (auto& v : values) v = 0xFF;
    for (unsigned i = 0; i < 64; ++i) values[static_cast<unsigned char>(ALPHABET[i])] = i;
  }
};
constexpr AsciiValues ASCII_VALUES;

uint8x16x4_t load_table(const std::uint8_t* table) {
  return uint8x16x4_t{
      {vld1q_u8(table), vld1q_u8(table + 16), vld1q_u8(table + 32), vld1q_u8(table + 48)}};
}

std::size_t encode_neon(char* out, const unsigned char* bytes, std::size_t size) {
  const uint8x16x4_t alphabet = load_table(reinterpret_cast<const std::uint8_t*>(ALPHABET));
  const uint8x16_t low6 = vdupq_n_u8(0x3F);
  std::size_t i = 0;
  for (; i + 48 <= size; i += 48, out += 64) {
    uint8x16x3_t in = vld3q_u8(bytes + i);
    uint8x16x4_t symbols;
    symbols.val[0] = vshrq_n_u8(in.val[0], 2);
    symbols.val[1] = vandq_u8(vorrq_u8(vshlq_n_u8(in.val[0], 4), vshrq_n_u8(in.val[1], 4)), low6);
    symbols.val[2] = vandq_u8(vorrq_u8(vshlq_n_u8(in.val[1], 2), vshrq_n_u8(in.val[2], 6)), low6);
    symbols.val[3] = vandq_u8(in.val[2], low6);
    for (auto& lane : symbols.val) lane = vqtbl4q_u8(alphabet, lane);
    vst4q_u8(reinterpret_cast<std::uint8_t*>(out), symbols);
  }
  return i;
}

std::optional<std::size_t> decode_neon(unsigned char* out, std::string_view text) {
  const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  const uint8x16x4_t low_half = load_table(ASCII_VALUES.values);
  const uint8x16x4_t high_half = load_table(ASCII_VALUES.values + 64);
  const uint8x16_t sixty_four = vdupq_n_u8(64);
  // Collects the top bit of every value and every symbol: set for 0xFF (outside the alphabet)
  // and for bytes from 0x80 on, which no table covers.
  uint8x16_t invalid = vdupq_n_u8(0);
  std::size_t i = 0;
  // 64 symbols a step, exactly 48 bytes stored; the last group is left to the portable code.
  for (; i + 64 + 4 <= size; i += 64, out += 48) {
    uint8x16x4_t values = vld4q_u8(in + i);
    for (auto& lane : values.val) {
      // Indexes out of range leave the lane as it was: bytes below 64 wrap around when 64 is
      // subtracted and keep their first lookup.
      uint8x16_t value =
          vqtbx4q_u8(vqtbl4q_u8(low_half, lane), high_half, vsubq_u8(lane, sixty_four));
      invalid = vorrq_u8(invalid, vorrq_u8(value, lane));
      lane = value;
    }
    uint8x16x3_t bytes;
    bytes.val[0] = vorrq_u8(vshlq_n_u8(values.val[0], 2), vshrq_n_u8(values.val[1], 4));
    bytes.val[1] = vorrq_u8(vshlq_n_u8(values.val[1], 4), vshrq_n_u8(values.val[2], 2));
    bytes.val[2] = vorrq_u8(vshlq_n_u8(values.val[2], 6), values.val[3]);
    vst3q_u8(out, bytes);
  }
  if ((vmaxvq_u8(invalid) & 0x80) != 0) return std::nullopt;
  return i;
}

}  // namespace

bool cpu_has_neon() { return true; }

const Kernels NEON_KERNELS{encode_neon, decode_neon};

}  // namespace velmora::base64_paths

#else

namespace velmora::base64_paths {

bool cpu_has_neon() { return false; }
const Kernels NEON_KERNELS{nullptr, nullptr};

}  // namespace velmora::base64_paths

#endif
