#pragma once

// The terminal modes that a program's output switches (screen, keys, mouse, paste), followed
// cheaply enough to run on every chunk of output, so that a replay that begins long after the
// program switched them can first bring a fresh terminal into them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The followed modes; a default-constructed value is a terminal's power-on state. Modes that
// share one state in a terminal share one member here.
struct TerminalModes {
  // Which private mode switched to the alternate screen: 47, 1047 and 1049 all switch the same
  // screen, and any of them switches back.
  enum class Screen : std::uint8_t { normal, alternate_47, alternate_1047, alternate_1049 };

  Screen screen = Screen::normal;
  // One tracking mode at a time: 9, 1000, 1001, 1002 or 1003; 0 for none. Setting one replaces
  // the previous, resetting any of them ends tracking.
  std::uint16_t mouse_tracking = 0;
  // One coordinate encoding at a time: 1005, 1006, 1015 or 1016; 0 for the default. A reset
  // ends only the encoding it names.
  std::uint16_t mouse_encoding = 0;
  bool application_cursor_keys = false;  // 1
  bool autowrap = true;                  // 7
  bool cursor_visible = true;            // 25
  bool focus_events = false;             // 1004
  bool bracketed_paste = false;          // 2004
  bool application_keypad = false;       // ESC = and ESC >, or 66

  bool operator==(const TerminalModes&) const = default;
  bool at_power_on() const { return *this == TerminalModes{}; }

  // The sequences that switch a terminal at power-on into these modes, one per mode that
  // differs from power-on; empty at power-on.
  std::string preamble() const;
  std::size_t preamble_size() const;
};

// Follows the modes through a stream of terminal output fed in pieces of any size; a sequence
// may be split anywhere. Plain text costs one memchr for ESC. Sequences are read as a terminal
// reads them: controls inside a sequence are executed without ending it, CAN and SUB cancel it,
// ESC starts a new one, and a string (OSC, DCS, APC, PM, SOS) ends at the next ESC, so nothing
// inside one can be taken for a mode.
class TerminalModeScanner {
 public:
  void feed(std::string_view output);
  const TerminalModes& modes() const { return m_modes; }
  // True between the first and last byte of a sequence that may still switch a mode.
  bool in_mode_sequence() const;
  // True on plain text or inside a string, where the next byte starts nothing.
  bool between_sequences() const { return m_phase == Phase::text; }

 private:
  enum class Phase : std::uint8_t {
    text,
    escape,
    escape_intermediate,
    csi_start,
    private_mode,
    csi_ignored,
  };

  void step(unsigned char byte);
  void end_parameter();

  Phase m_phase = Phase::text;
  // The parameter being read, capped so that no overlong number wraps into a mode's.
  std::uint32_t m_parameter = 0;
  TerminalModes m_modes;
  // While a private-mode sequence is read: the modes its parameters so far would give if it
  // ends in 'h' and in 'l'. Keeps the parameters in order without storing them.
  TerminalModes m_if_set;
  TerminalModes m_if_reset;
};

// Where a replay of a bounded window of output begins.
struct ReplayStart {
  // Switches a terminal at power-on into the modes in force before the first replayed byte.
  std::string preamble;
  // How many of the most recent output bytes follow it.
  std::size_t output_size = 0;
};

// The modes of one output stream at any offset a replay of the last `window` bytes may start
// at, in bounded memory whatever the output: the scanner's state is kept at every multiple of
// the checkpoint interval over the last window, and a replay start rescans less than one
// interval of the stream's retained bytes.
class TerminalModeTracker {
 public:
  static constexpr std::size_t DEFAULT_CHECKPOINT_INTERVAL = 4096;

  explicit TerminalModeTracker(std::size_t window,
                               std::size_t checkpoint_interval = DEFAULT_CHECKPOINT_INTERVAL);

  void feed(std::string_view output);

  // Bytes fed so far.
  std::uint64_t offset() const { return m_offset; }
  const TerminalModes& modes() const { return m_scanner.modes(); }
  // How many of the latest output bytes replay_start needs to be given: a window and one
  // checkpoint interval.
  std::size_t history_size() const { return m_window + m_interval; }

  // The replay of at most `window` bytes, preamble included. When the modes at the window's
  // start are at power-on it is exactly the last `window` bytes; a sequence cut by that start
  // counts as before it, since its fragment can no longer act. Otherwise it starts at the first
  // point between sequences where the preamble of the modes in force fits in front. So a mode
  // switched inside the replayed output is left to it, and a mode switched off again before it
  // is not restored. `older` then `newer` are the latest output bytes, oldest first (a ring's
  // two pieces); given fewer than min(offset(), history_size()) bytes, or a window too small for
  // its preamble, the replay is the plain tail.
  ReplayStart replay_start(std::string_view older, std::string_view newer) const;

 private:
  std::size_t m_window;
  std::size_t m_interval;
  std::uint64_t m_offset = 0;
  TerminalModeScanner m_scanner;
  // The scanner at offset k * m_interval, in slot k % size(): enough slots to reach back from
  // the latest checkpoint to the one at or before the window's start. Empty until the first
  // checkpoint.
  std::vector<TerminalModeScanner> m_checkpoints;
};

}  // namespace velmora
