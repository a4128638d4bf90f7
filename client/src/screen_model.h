#pragma once

// A terminal emulator's screen, kept by libvterm: it reads output bytes and tells what every
// cell of the screen holds, where the cursor is, and which rows scrolled off the top.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "emulator_guard.h"
#include "velmora/core/result.h"

struct VTerm;
struct VTermScreen;

namespace velmora::client {

struct CellColor {
  enum class Kind : std::uint8_t { terminal_default, indexed, rgb };
  Kind kind = Kind::terminal_default;
  std::uint8_t index = 0;  // Indexed
  std::uint8_t red = 0, green = 0, blue = 0;
  friend bool operator==(const CellColor&, const CellColor&) = default;
};

struct CellStyle {
  bool bold = false;
  bool italic = false;
  bool blink = false;
  bool reverse = false;
  bool strike = false;
  std::uint8_t underline = 0;  // 0 none, 1 single, 2 double, 3 curly
  std::uint8_t font = 0;       // alternative font 0 to 9
  CellColor fg, bg;
  friend bool operator==(const CellStyle&, const CellStyle&) = default;
};

inline constexpr int MAX_CHARS_PER_CELL = 6;

struct Cell {
  char32_t chars[MAX_CHARS_PER_CELL]{};  // a character and its combining marks; 0 ends
  std::uint8_t width = 1;                // 2 for a wide character; 0 for its right half
  CellStyle style;
  bool blank() const { return chars[0] == 0; }
  friend bool operator==(const Cell&, const Cell&) = default;
};

using Row = std::vector<Cell>;

struct CursorPosition {
  int row = 0;
  int col = 0;
  friend bool operator==(const CursorPosition&, const CursorPosition&) = default;
};

class ScreenModel {
 public:
  static Result<std::unique_ptr<ScreenModel>> create(int rows, int cols);
  ~ScreenModel();
  ScreenModel(const ScreenModel&) = delete;
  ScreenModel& operator=(const ScreenModel&) = delete;

  void feed(std::string_view bytes);

  // Called for every row that scrolls off the top of the normal screen from now on, in order.
  void on_scrolled_off(std::function<void(const Row&)> handler) {
    m_scrolled_off = std::move(handler);
  }

  int rows() const { return m_rows; }
  int cols() const { return m_cols; }
  // The row as shown (of the screen in use: normal or alternate).
  void read_row(int row, Row& out) const;
  CursorPosition cursor() const;
  bool alternate() const { return m_alternate; }

 private:
  ScreenModel(int rows, int cols) : m_rows(rows), m_cols(cols), m_guard(cols) {}
  void write(std::string_view bytes);
  friend struct ScreenCallbacks;

  int m_rows;
  int m_cols;
  VTerm* m_vt = nullptr;
  VTermScreen* m_screen = nullptr;
  bool m_alternate = false;
  bool m_held_lead = false;  // the last feed ended in a 0xc2 that may begin a C1 control
  EmulatorGuard m_guard;
  std::function<void(const Row&)> m_scrolled_off;
  Row m_line;  // the row being handed to m_scrolled_off
};

}  // namespace velmora::client
