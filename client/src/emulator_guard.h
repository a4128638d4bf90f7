#pragma once

// What libvterm (0.1.4) must never read, taken out of the bytes on their way to it:
// - a repeat of the last character (CSI n b): before any character was printed, or after a lone
//   combining mark, it loops for ever; after a wide character that the repeat carries to the
//   right margin, it writes past the row. The guard prints the character n times instead.
// - a stray byte 0x80 to 0x9f that would end a character begun before an escape sequence: it
//   makes a C1 control of it, which it then prints, and in insert mode that can crash it.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::client {

class EmulatorGuard {
 public:
  // cols bounds a repeat to one row's worth of characters.
  explicit EmulatorGuard(int cols) : m_cols(cols > 0 ? static_cast<std::size_t>(cols) : 1) {}

  // Calls emit with the bytes for the emulator, in order; a sequence may be split across calls.
  template <typename Emit>
  void feed(std::string_view bytes, Emit&& emit);

 private:
  enum class State : unsigned char { ground, escape, csi, string };
  enum class Action : unsigned char { pass, drop, repeat };
  Action step(unsigned char byte);
  Action text(unsigned char byte, std::size_t pending_left);

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
void EmulatorGuard::feed(std::string_view bytes, Emit&& emit) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    Action action = step(static_cast<unsigned char>(bytes[i]));
    if (action == Action::pass) continue;
    if (i > run) emit(bytes.substr(run, i - run));
    run = i + 1;
    if (action == Action::drop) continue;
    // The sequence's final byte becomes an intermediate and a final that nothing acts on, so
    // that the emulator still sees the sequence end; then the characters.
    emit(std::string_view(" b"));
    if (!m_copies.empty()) emit(std::string_view(m_copies));
  }
  if (run < bytes.size()) emit(bytes.substr(run));
}

}  // namespace velmora::client
