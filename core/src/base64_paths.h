#pragma once

// The code paths behind base64.h: the portable one, and vector kernels that the CPU is asked
// about once, at the first call. Tests and benchmarks force each path in turn.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace velmora::base64_paths {

enum class Path { portable, ssse3, avx2, neon };

const char* path_name(Path path);

// The paths that this build can run on this CPU, the portable one first.
std::vector<Path> available_paths();

// Makes every later call of this process use path; false (nothing changed) when the path is not
// available here.
bool select_path(Path path);
Path selected_path();

// A vector kernel does the bulk of a buffer and leaves the rest to the portable code: the return
// value is how many input bytes (encoding: a multiple of 3) or symbols (decoding: a multiple of
// 4) it consumed. A decoding kernel never touches the last group of four symbols, so padding is
// always judged by the portable code; it returns nothing when a symbol outside the alphabet
// came up. Its output is written in place, at out.
struct Kernels {
  std::size_t (*encode)(char* out, const unsigned char* bytes, std::size_t size);
  std::optional<std::size_t> (*decode)(unsigned char* out, std::string_view text);
};

// From base64_x86.cpp and base64_neon.cpp. On another architecture cpu_has_* is false and the
// kernels are null.
bool cpu_has_ssse3();
bool cpu_has_avx2();
bool cpu_has_neon();
extern const Kernels SSSE3_KERNELS;
extern const Kernels AVX2_KERNELS;
extern const Kernels NEON_KERNELS;

}  // namespace velmora::base64_paths
