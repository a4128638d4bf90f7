#include "screen_model.h"

#include <vterm.h>

#include <new>

#include "utf8_c1.h"

namespace velmora::client {
namespace {

CellColor color_of(const VTermColor& color, bool foreground) {
  CellColor out;
  if (foreground ? VTERM_COLOR_IS_DEFAULT_FG(&color) : VTERM_COLOR_IS_DEFAULT_BG(&color))
    return out;
  if (VTERM_COLOR_IS_INDEXED(&color)) {
    out.kind = CellColor::Kind::indexed;
    out.index = color.indexed.idx;
  } else {
    out.kind = CellColor::Kind::rgb;
    out.red = color.rgb.red;
    out.green = color.rgb.green;
    out.blue = color.rgb.blue;
  }
  return out;
}

void convert(const VTermScreenCell& in, Cell& out) {
  out = Cell{};
  if (in.chars[0] == static_cast<uint32_t>(-1)) {
    out.width = 0;  // the right half of a wide character
  } else {
    for (int i = 0; i < MAX_CHARS_PER_CELL && in.chars[i] != 0; ++i) out.chars[i] = in.chars[i];
    out.width = static_cast<std::uint8_t>(in.width > 0 ? in.width : 1);
  }
  out.style.bold = in.attrs.bold;
  out.style.italic = in.attrs.italic;
  out.style.blink = in.attrs.blink;
  out.style.reverse = in.attrs.reverse;
  out.style.strike = in.attrs.strike;
  out.style.underline = static_cast<std::uint8_t>(in.attrs.underline);
  out.style.font = static_cast<std::uint8_t>(in.attrs.font);
  out.style.fg = color_of(in.fg, true);
  out.style.bg = color_of(in.bg, false);
}

}  // namespace

struct ScreenCallbacks {
  static int push_line(int cols, const VTermScreenCell* cells, void* user) {
    auto* self = static_cast<ScreenModel*>(user);
    if (!self->m_scrolled_off) return 1;
    self->m_line.resize(static_cast<std::size_t>(cols));
    for (int col = 0; col < cols; ++col) convert(cells[col], self->m_line[col]);
    self->m_scrolled_off(self->m_line);
    return 1;
  }
  static int set_property(VTermProp prop, VTermValue* value, void* user) {
    auto* self = static_cast<ScreenModel*>(user);
    if (prop == VTERM_PROP_ALTSCREEN) self->m_alternate = value->boolean != 0;
    return 1;
  }
  static void discard_output(const char*, size_t, void*) {}
  static constexpr VTermScreenCallbacks TABLE = {nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 &ScreenCallbacks::set_property,
                                                 nullptr,
                                                 nullptr,
                                                 &ScreenCallbacks::push_line,
                                                 nullptr};
};

Result<std::unique_ptr<ScreenModel>> ScreenModel::create(int rows, int cols) {
  if (rows <= 0 || cols <= 0) return Error("the screen has no size");
  // libvterm writes past a row of one column when a wide character comes.
  if (cols < 2) return Error("the screen is too narrow to emulate");
  std::unique_ptr<ScreenModel> model(new (std::nothrow) ScreenModel(rows, cols));
  if (!model) return Error("out of memory");
  model->m_vt = vterm_new(rows, cols);
  if (model->m_vt == nullptr) return Error("out of memory");
  vterm_set_utf8(model->m_vt, 1);
  // Answers to the replay's queries went to the shell long ago.
  vterm_output_set_callback(model->m_vt, &ScreenCallbacks::discard_output, nullptr);
  model->m_screen = vterm_obtain_screen(model->m_vt);
  vterm_screen_set_callbacks(model->m_screen, &ScreenCallbacks::TABLE, model.get());
  // Damage is never asked for: merging it all keeps libvterm from reporting every cell.
  vterm_screen_set_damage_merge(model->m_screen, VTERM_DAMAGE_SCROLL);
  vterm_screen_enable_altscreen(model->m_screen, 1);
  vterm_screen_reset(model->m_screen, 1);
  return model;
}

ScreenModel::~ScreenModel() {
  if (m_vt != nullptr) vterm_free(m_vt);
}

void ScreenModel::write(std::string_view bytes) {
  m_guard.feed(bytes,
               [this](std::string_view run) { vterm_input_write(m_vt, run.data(), run.size()); });
}

// C1 controls written as UTF-8 never reach libvterm: one at the left margin in insert mode
// makes it move a row of negative width (a crash). A 0xc2 that ends a feed waits for the next.
// Nor do repeats of the last character, which can hang or crash it.
void ScreenModel::feed(std::string_view bytes) {
  if (bytes.empty()) return;
  if (m_held_lead) {
    m_held_lead = false;
    if (is_utf8_c1_second(static_cast<unsigned char>(bytes.front()))) {
      bytes.remove_prefix(1);
    } else {
      const char lead = static_cast<char>(UTF8_C1_LEAD);
      write(std::string_view(&lead, 1));
    }
  }
  m_held_lead = emit_without_utf8_c1(bytes, [this](std::string_view run) { write(run); });
}

void ScreenModel::read_row(int row, Row& out) const {
  vterm_screen_flush_damage(m_screen);
  out.resize(static_cast<std::size_t>(m_cols));
  VTermScreenCell cell;
  for (int col = 0; col < m_cols; ++col) {
    if (vterm_screen_get_cell(m_screen, VTermPos{row, col}, &cell) == 0) {
      out[col] = Cell{};
      continue;
    }
    convert(cell, out[col]);
  }
}

CursorPosition ScreenModel::cursor() const {
  VTermPos pos;
  vterm_state_get_cursorpos(vterm_obtain_state(m_vt), &pos);
  return CursorPosition{pos.row, pos.col};
}

}  // namespace velmora::client
