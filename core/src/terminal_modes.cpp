#include "velmora/core/terminal_modes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

namespace velmora {
namespace {

constexpr unsigned char ESC = 0x1b;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char SUB = 0x1a;
constexpr unsigned char DEL = 0x7f;

// Above every mode number; a longer number stays here instead of wrapping.
constexpr std::uint32_t PARAMETER_CAP = 100000;

// Long enough for every followed mode at once (58 bytes).
constexpr std::size_t PREAMBLE_CAPACITY = 64;

bool is_intermediate(unsigned char byte) { return byte >= 0x20 && byte <= 0x2f; }
bool is_final(unsigned char byte) { return byte >= 0x40 && byte <= 0x7e; }
bool is_parameter_or_intermediate(unsigned char byte) { return byte >= 0x20 && byte <= 0x3f; }
unsigned char to_byte(char c) { return static_cast<unsigned char>(c); }

// The next ESC at or after next, or end. The text between a redraw's sequences is a few bytes
// long: those are looked at directly, where a call of memchr would cost more than the search.
const char* find_escape(const char* next, const char* end) {
  for (int i = 0; i < 16 && next != end; ++i, ++next) {
    if (to_byte(*next) == ESC) return next;
  }
  if (next == end) return end;
  const void* escape = std::memchr(next, ESC, static_cast<std::size_t>(end - next));
  return escape == nullptr ? end : static_cast<const char*>(escape);
}

TerminalModes::Screen alternate_screen(std::uint32_t mode) {
  if (mode == 47) return TerminalModes::Screen::alternate_47;
  if (mode == 1047) return TerminalModes::Screen::alternate_1047;
  return TerminalModes::Screen::alternate_1049;
}

void switch_mode(TerminalModes& modes, std::uint32_t mode, bool on) {
  switch (mode) {
    case 1:
      modes.application_cursor_keys = on;
      break;
    case 7:
      modes.autowrap = on;
      break;
    case 25:
      modes.cursor_visible = on;
      break;
    case 66:
      modes.application_keypad = on;
      break;
    case 47:
    case 1047:
    case 1049:
      // Setting it again while on the alternate screen stays there; the first switch is the
      // one the program will undo.
      if (!on) {
        modes.screen = TerminalModes::Screen::normal;
      } else if (modes.screen == TerminalModes::Screen::normal) {
        modes.screen = alternate_screen(mode);
      }
      break;
    case 9:
    case 1000:
    case 1001:
    case 1002:
    case 1003:
      modes.mouse_tracking = on ? static_cast<std::uint16_t>(mode) : 0;
      break;
    case 1005:
    case 1006:
    case 1015:
    case 1016:
      if (on) {
        modes.mouse_encoding = static_cast<std::uint16_t>(mode);
      } else if (modes.mouse_encoding == mode) {
        modes.mouse_encoding = 0;
      }
      break;
    case 1004:
      modes.focus_events = on;
      break;
    case 2004:
      modes.bracketed_paste = on;
      break;
    default:
      break;
  }
}

class PreambleWriter {
 public:
  void private_mode(unsigned mode, bool on) {
    put("\x1b[?");
    char digits[8];
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + mode % 10);
      mode /= 10;
    } while (mode != 0);
    while (count > 0) m_bytes[m_size++] = digits[--count];
    m_bytes[m_size++] = on ? 'h' : 'l';
  }
  void put(std::string_view text) {
    std::memcpy(m_bytes.data() + m_size, text.data(), text.size());
    m_size += text.size();
  }
  std::string_view bytes() const { return {m_bytes.data(), m_size}; }

 private:
  std::array<char, PREAMBLE_CAPACITY> m_bytes;
  std::size_t m_size = 0;
};

PreambleWriter write_preamble(const TerminalModes& modes) {
  PreambleWriter out;
  // The screen first: switching to it clears it, and nothing else depends on it.
  switch (modes.screen) {
    case TerminalModes::Screen::normal:
      break;
    case TerminalModes::Screen::alternate_47:
      out.private_mode(47, true);
      break;
    case TerminalModes::Screen::alternate_1047:
      out.private_mode(1047, true);
      break;
    case TerminalModes::Screen::alternate_1049:
      out.private_mode(1049, true);
      break;
  }
  if (modes.application_cursor_keys) out.private_mode(1, true);
  if (!modes.autowrap) out.private_mode(7, false);
  if (!modes.cursor_visible) out.private_mode(25, false);
  if (modes.application_keypad) out.put("\x1b=");
  if (modes.mouse_tracking != 0) out.private_mode(modes.mouse_tracking, true);
  if (modes.mouse_encoding != 0) out.private_mode(modes.mouse_encoding, true);
  if (modes.focus_events) out.private_mode(1004, true);
  if (modes.bracketed_paste) out.private_mode(2004, true);
  return out;
}

// The latest bytes of a stream, given as a ring's two pieces, addressed by stream offset.
class RecentOutput {
 public:
  RecentOutput(std::string_view older, std::string_view newer, std::uint64_t end) {
    // More bytes than the stream has ever had cannot be its own; keep the plausible tail.
    if (newer.size() > end) newer.remove_prefix(newer.size() - end);
    if (older.size() > end - newer.size()) older.remove_prefix(older.size() - (end - newer.size()));
    m_older = older;
    m_newer = newer;
    m_begin = end - older.size() - newer.size();
  }

  std::uint64_t begin() const { return m_begin; }

  // Feeds the bytes at stream offsets [from, to), within [begin(), end()).
  void feed(TerminalModeScanner& scanner, std::uint64_t from, std::uint64_t to) const {
    std::size_t first = from - m_begin;
    std::size_t last = to - m_begin;
    if (first < m_older.size()) {
      scanner.feed(m_older.substr(first, std::min(last, m_older.size()) - first));
    }
    if (last > m_older.size()) {
      std::size_t from_newer = std::max(first, m_older.size()) - m_older.size();
      scanner.feed(m_newer.substr(from_newer, last - m_older.size() - from_newer));
    }
  }

 private:
  std::string_view m_older;
  std::string_view m_newer;
  std::uint64_t m_begin = 0;
};

}  // namespace

std::string TerminalModes::preamble() const { return std::string(write_preamble(*this).bytes()); }

std::size_t TerminalModes::preamble_size() const { return write_preamble(*this).bytes().size(); }

void TerminalModeScanner::feed(std::string_view output) {
  const char* next = output.data();
  const char* end = next + output.size();
  while (next != end) {
    if (m_phase == Phase::text) {
      // Nothing in plain text or inside a string matters but the next ESC.
      next = find_escape(next, end);
      if (next == end) return;
      ++next;
      // The commonest sequence, a whole CSI that is not a private mode (colours, cursor
      // motion), is skipped here in one go; anything else goes through the state machine.
      if (end - next >= 2 && next[0] == '[' && next[1] != '?') {
        const char* final_byte = next + 1;
        while (final_byte != end && is_parameter_or_intermediate(to_byte(*final_byte))) {
          ++final_byte;
        }
        if (final_byte != end && is_final(to_byte(*final_byte))) {
          next = final_byte + 1;
          continue;
        }
      }
      m_phase = Phase::escape;
    } else if (m_phase == Phase::csi_ignored) {
      while (next != end && is_parameter_or_intermediate(to_byte(*next))) ++next;
      if (next != end) step(to_byte(*next++));
    } else {
      step(to_byte(*next++));
    }
  }
}

bool TerminalModeScanner::in_mode_sequence() const {
  return m_phase == Phase::escape || m_phase == Phase::csi_start || m_phase == Phase::private_mode;
}

void TerminalModeScanner::step(unsigned char byte) {
  if (byte < 0x20) {
    // Controls inside a sequence: the terminal executes them and goes on with the sequence.
    if (byte == ESC) {
      m_phase = Phase::escape;
    } else if (byte == CAN || byte == SUB) {
      m_phase = Phase::text;
    }
    return;
  }
  if (byte == DEL) return;
  if (byte >= 0x80) {
    // Not part of any sequence in a UTF-8 terminal: the sequence is abandoned.
    m_phase = Phase::text;
    return;
  }
  switch (m_phase) {
    case Phase::text:
      break;
    case Phase::escape:
      if (byte == '[') {
        m_phase = Phase::csi_start;
        return;
      }
      if (is_intermediate(byte)) {
        // Character set designations and the like: ESC ( = is not the keypad.
        m_phase = Phase::escape_intermediate;
        return;
      }
      if (byte == '=') {
        m_modes.application_keypad = true;
      } else if (byte == '>') {
        m_modes.application_keypad = false;
      } else if (byte == 'c') {
        m_modes = TerminalModes{};
      }
      // Every other final byte, string introducers included, ends the escape.
      m_phase = Phase::text;
      break;
    case Phase::escape_intermediate:
      if (!is_intermediate(byte)) m_phase = Phase::text;
      break;
    case Phase::csi_start:
      if (byte == '?') {
        m_parameter = 0;
        m_if_set = m_modes;
        m_if_reset = m_modes;
        m_phase = Phase::private_mode;
      } else if (is_final(byte)) {
        m_phase = Phase::text;
      } else {
        // Standard modes (no marker), other private markers, intermediates.
        m_phase = Phase::csi_ignored;
      }
      break;
    case Phase::private_mode:
      if (byte >= '0' && byte <= '9') {
        m_parameter = std::min(m_parameter * 10 + (byte - '0'), PARAMETER_CAP);
      } else if (byte == ';') {
        end_parameter();
      } else if (byte == 'h') {
        end_parameter();
        m_modes = m_if_set;
        m_phase = Phase::text;
      } else if (byte == 'l') {
        end_parameter();
        m_modes = m_if_reset;
        m_phase = Phase::text;
      } else if (is_final(byte)) {
        // Another private sequence (a mode request, save or restore): no mode changes.
        m_phase = Phase::text;
      } else {
        // Sub-parameters, a second marker or an intermediate: not a mode switch.
        m_phase = Phase::csi_ignored;
      }
      break;
    case Phase::csi_ignored:
      if (is_final(byte)) m_phase = Phase::text;
      break;
  }
}

void TerminalModeScanner::end_parameter() {
  switch_mode(m_if_set, m_parameter, true);
  switch_mode(m_if_reset, m_parameter, false);
  m_parameter = 0;
}

TerminalModeTracker::TerminalModeTracker(std::size_t window, std::size_t checkpoint_interval)
    : m_window(window), m_interval(std::max<std::size_t>(checkpoint_interval, 1)) {}

void TerminalModeTracker::feed(std::string_view output) {
  while (!output.empty()) {
    std::size_t to_checkpoint = m_interval - static_cast<std::size_t>(m_offset % m_interval);
    std::size_t piece = std::min(to_checkpoint, output.size());
    m_scanner.feed(output.substr(0, piece));
    output.remove_prefix(piece);
    m_offset += piece;
    if (piece == to_checkpoint) {
      // Made with the first checkpoint, so that a stream that never fills one interval (an idle
      // shell's prompt) costs no storage. The slot of offset 0 is then the power-on scanner.
      if (m_checkpoints.empty()) {
        // From the latest checkpoint back to the one at or before the window's start.
        m_checkpoints.resize((m_window + m_interval - 1) / m_interval + 1);
      }
      m_checkpoints[(m_offset / m_interval) % m_checkpoints.size()] = m_scanner;
    }
  }
}

ReplayStart TerminalModeTracker::replay_start(std::string_view older,
                                              std::string_view newer) const {
  // Nothing came before the oldest byte that fits.
  if (m_offset <= m_window) return {{}, static_cast<std::size_t>(m_offset)};
  const std::uint64_t earliest = m_offset - m_window;
  const ReplayStart plain_tail{{}, m_window};

  const std::uint64_t checkpoint = earliest / m_interval * m_interval;
  const RecentOutput recent(older, newer, m_offset);
  if (recent.begin() > checkpoint) return plain_tail;

  // Without any checkpoint yet, the one at or before the window's start is offset 0.
  TerminalModeScanner scanner =
      m_checkpoints.empty() ? TerminalModeScanner{}
                            : m_checkpoints[(checkpoint / m_interval) % m_checkpoints.size()];
  recent.feed(scanner, checkpoint, earliest);

  // A sequence cut by the window's start counts as before it: its fragment can no longer act.
  TerminalModeScanner settled = scanner;
  for (std::uint64_t at = earliest; at < m_offset && settled.in_mode_sequence(); ++at) {
    recent.feed(settled, at, at + 1);
  }
  if (settled.modes().at_power_on()) return plain_tail;

  // The start moves forward until the preamble of the modes in force there fits in front of it.
  // It stops only between sequences, so the replay never begins with a fragment of one.
  for (std::uint64_t start = earliest; start < m_offset; ++start) {
    if (scanner.between_sequences() && start - earliest >= scanner.modes().preamble_size()) {
      return {scanner.modes().preamble(), static_cast<std::size_t>(m_offset - start)};
    }
    recent.feed(scanner, start, start + 1);
  }
  return plain_tail;
}

}  // namespace velmora
