#pragma once

// The user's terminal: its size, and raw mode with exact restoration.

#include <termios.h>

#include <cstdint>
#include <optional>

#include "velmora/core/result.h"

namespace velmora::client {

struct WindowSize {
  std::uint16_t rows = 0;
  std::uint16_t cols = 0;
  friend bool operator==(const WindowSize&, const WindowSize&) = default;
};

// The size of the terminal on fd; nothing when fd is no terminal or reports 0 x 0.
std::optional<WindowSize> window_size(int fd);

// The size of this process's terminal: standard input's, else standard output's, else 24 x 80.
WindowSize terminal_size();

enum class Drain { wait, skip };

// Puts a terminal in raw mode and restores the very settings it found, at the latest when it
// goes away.
class RawMode {
 public:
  static Result<RawMode> enter(int fd);

  RawMode(RawMode&& other) noexcept;
  RawMode& operator=(RawMode&&) = delete;
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  ~RawMode() { restore(Drain::wait); }

  // Applies raw mode again (after the process was stopped and continued, for instance).
  void reapply() const;

  // Puts the saved settings back; later calls do nothing. Drain::skip does not wait for queued
  // output first, for a terminal that may be gone.
  void restore(Drain drain);

 private:
  RawMode(int fd, const termios& saved, const termios& raw)
      : m_fd(fd), m_saved(saved), m_raw(raw) {}

  int m_fd = -1;
  termios m_saved{};
  termios m_raw{};
};

// The settings that raw mode uses, derived from the current ones (like cfmakeraw).
termios raw_settings(const termios& current);

}  // namespace velmora::client
