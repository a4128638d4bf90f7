#pragma once

// libvterm (0.1.4) must never read a repeat of the last character (CSI n b) itself: before any
// character was printed, or after a lone combining mark, it loops for ever; after a wide
// character that the repeat carries to the right margin, it writes past the row. The guard
// passes every other byte through and turns a repeat into the character printed n times.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::client {

class RepeatGuard {
 public:
  // cols bounds a repeat to one row's worth of characters.
  explicit RepeatGuard(int cols) : m_cols(cols > 0 ? static_cast<std::size_t>(cols) : 1) {}

  // Calls emit with the bytes for the emulator, in order; a sequence may be split across calls.
  template <typename Emit>
  void feed(std::string_view bytes, Emit&& emit);

 private:
  enum class State : unsigned char { ground, escape, csi, string };
  // The byte at, which ends the run of bytes passed through; true when a repeat ended there.
  bool step(unsigned char byte);
  void note_text(unsigned char byte);

  std::size_t m_cols;
  State m_state = State::ground;
  bool m_repeat = false;      // the sequence can still be a repeat: no prefix, no intermediate
  bool m_first_param = true;  // its digits so far belong to the first parameter
  std::size_t m_count = 0;    // that parameter, bounded
  std::string m_last;         // the last character printed, with its combining marks
  std::string m_pending;      // a character whose UTF-8 bytes have not all come
  std::size_t m_pending_left = 0;
  std::string m_copies;  // the repeat's characters
};

template <typename Emit>
void RepeatGuard::feed(std::string_view bytes, Emit&& emit) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!step(static_cast<unsigned char>(bytes[i]))) continue;
    // The sequence's final byte becomes an intermediate and a final that nothing acts on, so
    // that the emulator still sees the sequence end; then the characters.
    if (i > run) emit(bytes.substr(run, i - run));
    emit(std::string_view(" b"));
    if (!m_copies.empty()) emit(std::string_view(m_copies));
    run = i + 1;
  }
  if (run < bytes.size()) emit(bytes.substr(run));
}

}  // namespace velmora::client
