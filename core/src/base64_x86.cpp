// Base64 kernels for x86-64: SSSE3 (16 symbols a step) and AVX2 (32). Every function carries its
// own target attribute, so the rest of the library is built for any x86-64 and these run only
// after the CPU has said that it has the instructions.

#include "base64_paths.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

#define VELMORA_SSSE3 __attribute__((target("ssse3")))
#define VELMORA_AVX2 __attribute__((target("avx2")))

namespace velmora::base64_paths {
namespace {

// Encoding. Three bytes s0 s1 s2 are first spread over one 32-bit lane as s1 s0 s2 s1, so that
// each 16-bit half holds two of the four 6-bit indices; two multiplications move every index
// into a byte of its own. An index becomes its symbol by adding an offset that depends only on
// its range (A-Z, a-z, 0-9, +, /), and the range is turned into a table position arithmetically.

VELMORA_SSSE3 inline __m128i spread_order() {
  return _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
}

VELMORA_SSSE3 inline __m128i symbol_offsets() {
  return _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                       '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
}

VELMORA_SSSE3 inline __m128i indices_ssse3(__m128i spread) {
  __m128i first_third = _mm_mulhi_epu16(_mm_and_si128(spread, _mm_set1_epi32(0x0fc0fc00)),
                                        _mm_set1_epi32(0x04000040));
  __m128i second_fourth = _mm_mullo_epi16(_mm_and_si128(spread, _mm_set1_epi32(0x003f03f0)),
                                          _mm_set1_epi32(0x01000010));
  return _mm_or_si128(first_third, second_fourth);
}

VELMORA_SSSE3 inline __m128i symbols_ssse3(__m128i indices) {
  // 0..25 -> 13, 26..51 -> 0, 52..63 -> 1..12: the positions of their offsets.
  __m128i position = _mm_subs_epu8(indices, _mm_set1_epi8(51));
  __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), indices);
  position = _mm_or_si128(position, _mm_and_si128(upper, _mm_set1_epi8(13)));
  return _mm_add_epi8(_mm_shuffle_epi8(symbol_offsets(), position), indices);
}

VELMORA_SSSE3 std::size_t encode_ssse3(char* out, const unsigned char* bytes, std::size_t size) {
  std::size_t i = 0;
  // Each step loads 16 bytes and uses 12 of them.
  for (; i + 16 <= size; i += 12, out += 16) {
    __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    __m128i symbols = symbols_ssse3(indices_ssse3(_mm_shuffle_epi8(in, spread_order())));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), symbols);
  }
  return i;
}

VELMORA_AVX2 std::size_t encode_avx2(char* out, const unsigned char* bytes, std::size_t size) {
  const __m256i spread = _mm256_broadcastsi128_si256(spread_order());
  const __m256i offsets = _mm256_broadcastsi128_si256(symbol_offsets());
  std::size_t i = 0;
  // 12 bytes for each 128-bit lane, loaded as two overlapping halves: 28 bytes are read.
  for (; i + 28 <= size; i += 24, out += 32) {
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 12));
    __m256i in = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    in = _mm256_shuffle_epi8(in, spread);
    __m256i first_third = _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0fc0fc00)),
                                             _mm256_set1_epi32(0x04000040));
    __m256i second_fourth = _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003f03f0)),
                                               _mm256_set1_epi32(0x01000010));
    __m256i indices = _mm256_or_si256(first_third, second_fourth);
    __m256i position = _mm256_subs_epu8(indices, _mm256_set1_epi8(51));
    __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), indices);
    position = _mm256_or_si256(position, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    __m256i symbols = _mm256_add_epi8(_mm256_shuffle_epi8(offsets, position), indices);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), symbols);
  }
  return i;
}

// Decoding. A byte is a symbol when the class of its high nibble meets one of the classes that
// its low nibble allows: class 1 is "+" and "/" (high 2), class 2 the digits (high 3), class 4
// A-O and a-o (high 4 and 6), class 8 P-Z and p-z (high 5 and 7). Bytes from 0x80 on have a high
// nibble of 8 or more, whose class is empty. The value is the symbol plus an offset chosen by the
// high nibble, with "/" set apart from "+". Four values then become three bytes by two
// multiply-adds and a shuffle.

VELMORA_SSSE3 inline __m128i class_of_high() {
  return _mm_setr_epi8(0, 0, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0);
}

VELMORA_SSSE3 inline __m128i classes_of_low() {
  return _mm_setr_epi8(2 | 8, 2 | 4 | 8, 2 | 4 | 8, 2 | 4 | 8, 2 | 4 | 8, 2 | 4 | 8, 2 | 4 | 8,
                       2 | 4 | 8, 2 | 4 | 8, 2 | 4 | 8, 4 | 8, 1 | 4, 4, 4, 4, 1 | 4);
}

VELMORA_SSSE3 inline __m128i offset_of_high() {
  return _mm_setr_epi8(0, 0, 62 - '+', 52 - '0', 0 - 'A', 0 - 'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0,
                       0, 0, 0, 0);
}

VELMORA_SSSE3 inline __m128i pack_order() {
  return _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
}

// "/" would get the offset of "+"; it needs 63 - '/'.
constexpr char SLASH_CORRECTION = (63 - '/') - (62 - '+');

VELMORA_SSSE3 std::optional<std::size_t> decode_ssse3(unsigned char* out, std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const __m128i nibble = _mm_set1_epi8(0x0f);
  __m128i invalid = _mm_setzero_si128();
  std::size_t i = 0;
  // Each step stores 16 bytes of which 12 are output; the 8 symbols kept back make sure that the
  // last 4 stored bytes fall on output that comes later, and that the last group is left alone.
  for (; i + 16 + 8 <= size; i += 16, out += 12) {
    __m128i symbols = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    __m128i high = _mm_and_si128(_mm_srli_epi32(symbols, 4), nibble);
    __m128i low = _mm_and_si128(symbols, nibble);
    __m128i classes = _mm_and_si128(_mm_shuffle_epi8(class_of_high(), high),
                                    _mm_shuffle_epi8(classes_of_low(), low));
    invalid = _mm_or_si128(invalid, _mm_cmpeq_epi8(classes, _mm_setzero_si128()));
    __m128i slash =
        _mm_and_si128(_mm_cmpeq_epi8(symbols, _mm_set1_epi8('/')), _mm_set1_epi8(SLASH_CORRECTION));
    __m128i values =
        _mm_add_epi8(symbols, _mm_add_epi8(_mm_shuffle_epi8(offset_of_high(), high), slash));
    __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(groups, pack_order()));
  }
  if (_mm_movemask_epi8(invalid) != 0) return std::nullopt;
  return i;
}

VELMORA_AVX2 std::optional<std::size_t> decode_avx2(unsigned char* out, std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i high_classes = _mm256_broadcastsi128_si256(class_of_high());
  const __m256i low_classes = _mm256_broadcastsi128_si256(classes_of_low());
  const __m256i offsets = _mm256_broadcastsi128_si256(offset_of_high());
  const __m256i order = _mm256_broadcastsi128_si256(pack_order());
  // The 12 bytes of each lane, side by side.
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  __m256i invalid = _mm256_setzero_si256();
  std::size_t i = 0;
  // 32 bytes stored, 24 of them output: 16 symbols kept back (see decode_ssse3).
  for (; i + 32 + 16 <= size; i += 32, out += 24) {
    __m256i symbols = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    __m256i high = _mm256_and_si256(_mm256_srli_epi32(symbols, 4), nibble);
    __m256i low = _mm256_and_si256(symbols, nibble);
    __m256i classes = _mm256_and_si256(_mm256_shuffle_epi8(high_classes, high),
                                       _mm256_shuffle_epi8(low_classes, low));
    invalid = _mm256_or_si256(invalid, _mm256_cmpeq_epi8(classes, _mm256_setzero_si256()));
    __m256i slash = _mm256_and_si256(_mm256_cmpeq_epi8(symbols, _mm256_set1_epi8('/')),
                                     _mm256_set1_epi8(SLASH_CORRECTION));
    __m256i values =
        _mm256_add_epi8(symbols, _mm256_add_epi8(_mm256_shuffle_epi8(offsets, high), slash));
    __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, order), join);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), packed);
  }
  if (_mm256_movemask_epi8(invalid) != 0) return std::nullopt;
  return i;
}

}  // namespace

bool cpu_has_ssse3() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

const Kernels SSSE3_KERNELS{encode_ssse3, decode_ssse3};
const Kernels AVX2_KERNELS{encode_avx2, decode_avx2};

}  // namespace velmora::base64_paths

#else

namespace velmora::base64_paths {

bool cpu_has_ssse3() { return false; }
bool cpu_has_avx2() { return false; }
const Kernels SSSE3_KERNELS{nullptr, nullptr};
const Kernels AVX2_KERNELS{nullptr, nullptr};

}  // namespace velmora::base64_paths

#endif
