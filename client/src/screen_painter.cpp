#include "screen_painter.h"

namespace velmora::client {
namespace {

void append_number(unsigned value, std::string& out) { out += std::to_string(value); }

void append_color(const CellColor& color, bool foreground, std::string& out) {
  switch (color.kind) {
    case CellColor::Kind::terminal_default:
      return;
    case CellColor::Kind::indexed:
      out += ';';
      if (color.index < 8) {
        append_number((foreground ? 30u : 40u) + color.index, out);
      } else if (color.index < 16) {
        append_number((foreground ? 90u : 100u) + color.index - 8, out);
      } else {
        out += foreground ? "38;5;" : "48;5;";
        append_number(color.index, out);
      }
      return;
    case CellColor::Kind::rgb:
      out += foreground ? ";38;2;" : ";48;2;";
      append_number(color.red, out);
      out += ';';
      append_number(color.green, out);
      out += ';';
      append_number(color.blue, out);
      return;
  }
}

// A blank that erasing with its colours leaves: nothing but colours set.
bool erasable(const Cell& cell) {
  const CellStyle& s = cell.style;
  return cell.blank() && cell.width != 0 && !s.bold && !s.italic && !s.blink && !s.reverse &&
         !s.strike && s.underline == 0 && s.font == 0;
}

}  // namespace

bool invisible(const Cell& cell) {
  const CellStyle& s = cell.style;
  return cell.blank() && cell.width != 0 && s.bg.kind == CellColor::Kind::terminal_default &&
         !s.reverse && s.underline == 0 && !s.strike;
}

void append_utf8(char32_t c, std::string& out) {
  if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) c = 0xfffd;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

void ScreenPainter::set_pen(const CellStyle& style) {
  if (style == m_pen) return;
  m_pen = style;
  // Always from the default pen: one sequence, whatever the terminal had.
  m_out += "\x1b[0";
  if (style.bold) m_out += ";1";
  if (style.italic) m_out += ";3";
  if (style.underline == 1) m_out += ";4";
  if (style.underline == 2) m_out += ";21";
  if (style.underline == 3) m_out += ";4:3";
  if (style.blink) m_out += ";5";
  if (style.reverse) m_out += ";7";
  if (style.strike) m_out += ";9";
  if (style.font != 0) {
    m_out += ';';
    append_number(10u + style.font, m_out);
  }
  append_color(style.fg, true, m_out);
  append_color(style.bg, false, m_out);
  m_out += 'm';
}

void ScreenPainter::reset_pen() { set_pen(CellStyle{}); }

void ScreenPainter::row(const Row& cells) {
  // Blanks at the end that an erase with the right colours gives back, in one sequence.
  std::size_t erase_from = cells.size();
  CellStyle erase_pen;
  if (!cells.empty() && erasable(cells.back())) {
    erase_pen = cells.back().style;
    while (erase_from > 0 && erasable(cells[erase_from - 1]) &&
           cells[erase_from - 1].style == erase_pen)
      --erase_from;
  }
  for (std::size_t col = 0; col < erase_from; ++col) {
    const Cell& cell = cells[col];
    if (cell.width == 0) continue;  // drawn with the wide character before it
    set_pen(cell.style);
    if (cell.blank()) {
      m_out += ' ';
      continue;
    }
    for (char32_t c : cell.chars) {
      if (c == 0) break;
      append_utf8(c, m_out);
    }
  }
  if (erase_from < cells.size()) {
    set_pen(erase_pen);
    m_out += "\x1b[K";
  }
}

void ScreenPainter::move_to(int row, int col) {
  m_out += "\x1b[";
  append_number(static_cast<unsigned>(row + 1), m_out);
  m_out += ';';
  append_number(static_cast<unsigned>(col + 1), m_out);
  m_out += 'H';
}

}  // namespace velmora::client
