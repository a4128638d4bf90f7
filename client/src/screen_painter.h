#pragma once

// Draws screen rows on a terminal of the same width: the bytes that show each cell with its
// character, width and style.

#include <string>

#include "screen_model.h"

namespace velmora::client {

class ScreenPainter {
 public:
  // Appends to out. The terminal's pen is taken to be the default one at first.
  explicit ScreenPainter(std::string& out) : m_out(out) {}

  // The row from the cursor's position onward (normally column 0); the rest of the line is
  // cleared unless the row fills it. The cursor stays on the row.
  void row(const Row& cells);
  void move_to(int row, int col);
  void reset_pen();

 private:
  void set_pen(const CellStyle& style);

  std::string& m_out;
  CellStyle m_pen;
};

// True when the cell shows nothing at all: a blank in the default colours, not underlined,
// struck or reversed.
bool invisible(const Cell& cell);

// UTF-8 for one code point; U+FFFD for anything that is not one.
void append_utf8(char32_t c, std::string& out);

}  // namespace velmora::client
