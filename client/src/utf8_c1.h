#pragma once

// C1 controls written as UTF-8 (U+0080 to U+009F: 0xc2, then 0x80 to 0x9f). Terminals disagree
// on them and libvterm can crash on one, so neither the history nor the emulator gets them.
// 0xc2 is never a continuation byte, so such a pair is always one of them.

#include <cstring>
#include <string_view>

namespace velmora::client {

inline constexpr unsigned char UTF8_C1_LEAD = 0xc2;

inline bool is_utf8_c1_second(unsigned char byte) { return byte >= 0x80 && byte <= 0x9f; }

// Calls emit with each run of text between the C1 controls in it. True when text ends in a
// 0xc2 whose second byte has not come yet; that 0xc2 is not emitted.
template <typename Emit>
bool emit_without_utf8_c1(std::string_view text, Emit&& emit) {
  const char* end = text.data() + text.size();
  const char* run = text.data();  // the text not yet emitted
  const char* at = run;           // where the search for the next 0xc2 goes on
  const auto emit_run = [&](const char* stop) {
    if (stop > run) emit(std::string_view(run, static_cast<std::size_t>(stop - run)));
  };
  while (true) {
    const void* found = std::memchr(at, UTF8_C1_LEAD, static_cast<std::size_t>(end - at));
    if (found == nullptr) {
      emit_run(end);
      return false;
    }
    const char* lead = static_cast<const char*>(found);
    if (lead + 1 == end) {
      emit_run(lead);
      return true;
    }
    if (is_utf8_c1_second(static_cast<unsigned char>(lead[1]))) {
      emit_run(lead);
      run = lead + 2;
    }
    at = lead + 1;
  }
}

}  // namespace velmora::client
