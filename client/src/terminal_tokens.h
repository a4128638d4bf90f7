#pragma once

// Splits terminal output into what a terminal acts on: runs of text, single control bytes,
// escape sequences, control sequences (CSI) and control strings (OSC, DCS, APC, PM, SOS).
// The parse follows the terminal's own rules closely enough to tell where each sequence begins
// and ends; it interprets nothing.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::client {

enum class TokenKind : std::uint8_t {
  text,     // printable bytes, UTF-8 included
  control,  // one C0 byte or DEL
  escape,   // ESC, intermediates, final
  csi,      // ESC [ ... final
  string,   // ESC ] / P / X / ^ / _ ... terminated by BEL or ESC backslash
  broken,   // a sequence cut short by CAN, SUB or the end of the bytes: terminals drop it
};

inline constexpr std::uint32_t MISSING_PARAM = 0xffffffffu;

struct Token {
  TokenKind kind = TokenKind::text;
  std::size_t begin = 0;
  std::size_t end = 0;
  unsigned char byte = 0;          // Control: the byte; String: its introducer (']', 'P', ...)
  unsigned char prefix = 0;        // Csi: '?', '>', '<' or '=' before the parameters, else 0
  unsigned char intermediate = 0;  // Csi, Escape: the last intermediate byte, else 0
  unsigned char final = 0;         // Csi, Escape: the final byte
  std::uint8_t param_count = 0;    // Csi: parameters read (at most MAX_PARAMS kept)
  bool embedded_controls = false;  // Csi: C0 controls inside, which came as tokens of their own
  static constexpr int MAX_PARAMS = 16;
  std::uint32_t params[MAX_PARAMS]{};  // MISSING_PARAM where a parameter was left empty

  // The i-th parameter, or fallback when it is missing or absent.
  std::uint32_t param(int i, std::uint32_t fallback) const {
    return i < param_count && params[i] != MISSING_PARAM ? params[i] : fallback;
  }
  bool is_csi(unsigned char f, unsigned char p = 0) const {
    return kind == TokenKind::csi && final == f && prefix == p && intermediate == 0;
  }
};

// Pull reader over one buffer: next() yields the tokens in order.
class TokenReader {
 public:
  explicit TokenReader(std::string_view bytes, std::size_t from = 0) : m_bytes(bytes), m_at(from) {}

  bool next(Token& token);
  std::size_t position() const { return m_at; }
  // Whether the control just handed out stands inside a sequence that goes on after it.
  bool inside_sequence() const { return m_pending != Pending::none; }

 private:
  bool finish_sequence(Token& token);
  bool read_csi(Token& token);
  bool read_string(Token& token);

  std::string_view m_bytes;
  std::size_t m_at;
  // A sequence interrupted by a C0 control, which was handed out first; it continues here.
  enum class Pending : std::uint8_t { none, escape, csi } m_pending = Pending::none;
  Token m_partial;
  std::uint32_t m_value = 0;  // the CSI parameter being read
  bool m_have_digit = false;
  bool m_have_separator = false;
};

// Appends one escape or control sequence without the controls that were executed inside it
// (and came as tokens of their own).
void append_sequence(std::string_view sequence, std::string& out);

}  // namespace velmora::client
