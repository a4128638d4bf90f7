#include "replay_plan.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "mode_tracker.h"
#include "terminal_tokens.h"
#include "utf8_c1.h"

namespace velmora::client {
namespace {

constexpr std::uint32_t NONE = 0xffffffffu;
constexpr std::size_t CHECKPOINT_SPACING = 4096;
// Cursor placements on the alternate screen noted as possible starts: at most one per stretch of
// this many bytes.
constexpr std::size_t REPAINT_SPACING = 1024;
// A repaint start is looked for this many cells' worth of bytes before the end, then four times
// as far: a program's full repaint is a few bytes per cell.
constexpr std::size_t REPAINT_BYTES_PER_CELL = 4;

bool keeps_csi(const Token& t) {
  if (t.intermediate != 0 || t.prefix != 0) return false;
  switch (t.final) {
    case 'A':
    case 'B':
    case 'C':
    case 'D':
    case 'E':
    case 'F':
    case 'G':
    case 'H':
    case 'f':
    case 'd':
    case 'e':
    case 'a':
    case '`':
    case 'K':
    case 'L':
    case 'M':
    case 'P':
    case '@':
    case 'X':
    case 'b':
    case 'm':
    case 'r':
    case 'I':
    case 'Z':
      return true;
    case 'S':
    case 'T':
      return t.param_count <= 1;
    case 's':
    case 'u':
      return t.param_count == 0;
    case 'J':
      for (int i = 0; i < t.param_count; ++i)
        if (t.params[i] == 3) return false;  // that one erases the scrollback
      return true;
    default:
      return false;
  }
}

// How far the history has come: its length, and the layout state that must be undone after it.
struct HistoryMark {
  std::uint32_t size = 0;
  bool region = false;
  bool origin = false;
};

// Writes the tokens of the normal screen that are safe to replay as history (see
// append_history), one at a time.
class HistoryWriter {
 public:
  HistoryWriter(std::string_view replay, std::string& out)
      : m_replay(replay), m_out(out), m_base(out.size()) {}

  void token(const Token& t);
  HistoryMark mark() const {
    return {static_cast<std::uint32_t>(m_out.size() + (m_copy_end - m_copy_begin) - m_base),
            m_region, m_origin};
  }
  // Back to an earlier mark, with what was written since taken back.
  void rewind(const HistoryMark& mark) {
    written().resize(m_base + mark.size);
    m_region = mark.region;
    m_origin = mark.origin;
  }
  // Undoes the layout state that the history up to mark leaves behind, after it.
  void finish(const HistoryMark& mark, int rows) {
    rewind(mark);
    m_out += "\x1b[0m\x1b[4l\x1b[20l\x1b[?7h\x1b(B\x1b)B\x1b*B\x1b+B\x0f";
    if (m_region)
      m_out +=
          "\x1b"
          "7\x1b[r\x1b"
          "8";
    if (m_origin) m_out += "\x1b[?6l\x1b[" + std::to_string(rows) + ";1H";
  }

 private:
  // Most of a history is the replay's own bytes in their order: such stretches are gathered and
  // copied in one go, not token by token.
  void copy(std::size_t begin, std::size_t end) {
    if (begin != m_copy_end) {
      flush();
      m_copy_begin = begin;
    }
    m_copy_end = end;
  }
  void copy(const Token& t) { copy(t.begin, t.end); }
  void flush() {
    m_out.append(m_replay.substr(m_copy_begin, m_copy_end - m_copy_begin));
    m_copy_begin = m_copy_end = 0;
  }
  // The history with every gathered stretch in it, for writes of bytes of its own.
  std::string& written() {
    flush();
    return m_out;
  }

  std::string_view m_replay;
  std::string& m_out;
  std::size_t m_base;
  // The replay's bytes [m_copy_begin, m_copy_end) follow m_out's.
  std::size_t m_copy_begin = 0;
  std::size_t m_copy_end = 0;
  bool m_region = false;
  bool m_origin = false;
};

void HistoryWriter::token(const Token& t) {
  std::string_view bytes = m_replay.substr(t.begin, t.end - t.begin);
  switch (t.kind) {
    case TokenKind::text: {
      // Text without C1 controls written as UTF-8, which some terminals would act on. A 0xc2
      // that ends the text is kept: it is no C1 control of this text.
      const char* base = m_replay.data();
      auto copy_run = [&](std::string_view run) {
        std::size_t at = static_cast<std::size_t>(run.data() - base);
        copy(at, at + run.size());
      };
      if (emit_without_utf8_c1(bytes, copy_run)) copy(t.end - 1, t.end);
      break;
    }
    case TokenKind::control:
      switch (t.byte) {
        case '\b':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case 0x0e:
        case 0x0f:
          copy(t);
          break;
        default:
          break;
      }
      break;
    case TokenKind::escape:
      if (t.intermediate == 0 && std::strchr("78DEM", t.final) != nullptr) {
        copy(t);
      } else if (t.intermediate == 0 && t.final == 'c') {
        // A reset showed an empty screen; the terminal itself is not reset, but it leaves
        // origin mode as the reset did.
        written() += m_origin ? "\x1b[0m\x1b[r\x1b[?6l\x1b[H\x1b[2J" : "\x1b[0m\x1b[r\x1b[H\x1b[2J";
        m_region = m_origin = false;
      } else if (std::strchr("()*+", t.intermediate) != nullptr && t.intermediate != 0) {
        copy(t);
      } else if (t.intermediate == '#' && t.final >= '3' && t.final <= '6') {
        copy(t);
      }
      break;
    case TokenKind::csi:
      if (keeps_csi(t)) {
        if (t.embedded_controls)
          append_sequence(bytes, written());
        else
          copy(t);
        if (t.final == 'r') m_region = t.param(0, 1) > 1 || t.param(1, 0) != 0;
      } else if (t.intermediate == 0 && (t.final == 'h' || t.final == 'l') &&
                 (t.prefix == 0 || t.prefix == '?')) {
        // Only the modes that shape the layout; the rest belongs to the live terminal.
        for (int i = 0; i < t.param_count; ++i) {
          std::uint32_t mode = t.params[i];
          bool layout = t.prefix == 0 ? (mode == 4 || mode == 20) : (mode == 6 || mode == 7);
          if (!layout) continue;
          std::string& out = written();
          out += t.prefix == 0 ? "\x1b[" : "\x1b[?";
          out += std::to_string(mode);
          out.push_back(static_cast<char>(t.final));
          if (t.prefix == '?' && mode == 6) m_origin = t.final == 'h';
        }
      }
      break;
    case TokenKind::string:
      if (t.byte == ']' && bytes.substr(2).starts_with("8;")) copy(t);  // links
      break;
    case TokenKind::broken:
      break;
  }
}

struct Range {
  std::uint32_t begin = NONE;
  std::uint32_t end = NONE;
  bool set() const { return begin != NONE; }
};

// What outlasts the sequences that set it, and what an emulator that starts late must be told.
struct LastingState {
  std::uint32_t sgr_first = 0;  // the SGR sequences in force: the log's [first, end)
  std::uint32_t sgr_end = 0;
  Range region;
  Range charsets[4];
  std::uint8_t shift = 0;  // the set invoked into GL
  bool autowrap_off = false;
  bool origin = false;
  bool insert = false;
  bool newline = false;
  bool reverse = false;
  std::int32_t region_top_row = 0;  // 0-based, while region is set
};

enum class Screen : std::uint8_t { primary, alternate };

struct Candidate {
  std::uint32_t pos;
  Screen screen;
  bool scrolled;  // found by scrolling through: the emulator starts on the bottom row
  LastingState state;
  HistoryMark history;  // the history written up to pos
};

struct LineFeed {
  std::uint32_t after;
  bool first_column;  // it left the cursor in the first column
  LastingState state;
  HistoryMark history;
};

// Line feeds, carriage returns, colours and control strings leave the cursor's column alone (a
// carriage return sets it); anything else may move it.
bool keeps_column(const Token& t) {
  switch (t.kind) {
    case TokenKind::control:
      return t.byte == '\n' || t.byte == '\v' || t.byte == '\f' || t.byte == '\r';
    case TokenKind::string:
      return true;
    case TokenKind::csi:
      return t.is_csi('m');
    default:
      return false;
  }
}

bool is_home(const Token& t) {
  return (t.is_csi('H') || t.is_csi('f')) && t.param(0, 1) <= 1 && t.param(1, 1) <= 1 &&
         t.param_count <= 2;
}

class Scanner {
 public:
  // With history, the history from history_from to the chosen anchor is written on the way.
  Scanner(std::string_view replay, int rows, int cols, bool full, HistoryWriter* history,
          std::size_t history_from)
      : m_replay(replay),
        m_rows(rows),
        m_cols(cols),
        m_full(full),
        m_history(history),
        m_history_from(history_from) {}

  void scan(ReplayPlan& plan);
  void final_state(ReplayPlan& plan) const;
  // The history up to the normal screen's anchor, once scan() has chosen it.
  HistoryMark history_end() const { return m_primary_history; }

 private:
  void on_token(const Token& t);
  void on_control(const Token& t);
  void on_escape(const Token& t);
  void on_csi(const Token& t, std::uint32_t home_before, std::uint32_t erase_before);
  void on_private_mode(const Token& t, unsigned mode, bool on);

  // A token that moves the cursor or content in ways a late starter cannot follow.
  void complex(const Token&) { end_run(); }
  // newline_mode: whether the newline mode makes this one a carriage return too.
  void line_feed(const Token& t, bool newline_mode) {
    if (m_screen == Screen::primary) m_primary_known = true;
    if (newline_mode && m_state.newline) m_first_column = true;
    m_feeds.push_back({static_cast<std::uint32_t>(t.end), m_first_column, m_state, history_mark()});
  }
  HistoryMark history_mark() const { return m_history ? m_history->mark() : HistoryMark{}; }
  void carriage_return() { m_first_column = true; }
  void end_run();
  void candidate(std::uint32_t pos, const LastingState& state, bool scrolled,
                 const HistoryMark& history) {
    m_candidates.push_back({pos, m_screen, scrolled, state, history});
  }
  // Saving the cursor saves the pen with it.
  void save_cursor(std::size_t at) {
    m_saved_at = static_cast<std::uint32_t>(at);
    m_saved_sgr_first = m_state.sgr_first;
    m_saved_sgr_end = m_state.sgr_end;
  }
  void restore_cursor(std::size_t at) {
    if (m_saved_at != NONE) m_forbidden.emplace_back(m_saved_at, static_cast<std::uint32_t>(at));
    // The saved pen's sequences again, so that later ones follow them in one stretch.
    std::uint32_t first = static_cast<std::uint32_t>(m_sgr.size());
    for (std::uint32_t i = m_saved_sgr_first; i < m_saved_sgr_end; ++i) m_sgr.push_back(m_sgr[i]);
    m_state.sgr_first = first;
    m_state.sgr_end = static_cast<std::uint32_t>(m_sgr.size());
  }
  void tabs_changed(std::size_t at) {
    if (m_tabs_changed_at == NONE) m_tabs_changed_at = static_cast<std::uint32_t>(at);
  }
  void full_reset(const Token& t);
  void switch_screen(const Token& t, unsigned mode, bool on);

  // A cursor placement on the alternate screen; kept only while nothing has come that a start
  // there could not be told.
  void repaint_start(const Token& t) {
    if (m_screen != Screen::alternate || m_no_repaints) return;
    if (!m_repaints.empty() && t.begin < m_repaints.back().pos + REPAINT_SPACING) return;
    m_repaints.push_back({static_cast<std::uint32_t>(t.begin), m_screen, false, m_state, {}});
  }
  void choose_repaints(ReplayPlan& plan, const std::function<bool(std::uint32_t)>& allowed) const;

  std::string_view m_replay;
  int m_rows;
  int m_cols;
  bool m_full;
  HistoryWriter* m_history;
  std::size_t m_history_from;
  ReplayPlan* m_plan = nullptr;
  // The history up to where the token being read begins (before the controls inside it that
  // came as tokens of their own), and where such controls began to come.
  HistoryMark m_token_history;
  std::optional<HistoryMark> m_inner_history;
  HistoryMark m_primary_history;

  Screen m_screen = Screen::primary;
  unsigned m_alternate_mode = 0;
  std::size_t m_alternate_enter = 0;
  std::size_t m_alternate_enter_end = 0;
  bool m_primary_known = false;

  LastingState m_state;
  std::vector<Range> m_sgr;  // every SGR sequence, in order

  // The line feeds of the current run of plain output, since the last complex token.
  std::vector<LineFeed> m_feeds;
  // The cursor is in the first column, as a carriage return left it (and only what keeps the
  // column came since).
  bool m_first_column = false;

  // A clear with the cursor at home is a cursor-home then an erase (or the other way round),
  // next to each other.
  std::uint32_t m_home_at = NONE;
  std::uint32_t m_erase_all_at = NONE;
  HistoryMark m_home_history;
  HistoryMark m_erase_all_history;

  std::vector<Candidate> m_candidates;
  std::vector<Candidate> m_repaints;
  // Protected cells, double-size lines or left and right margins: state that a start after them
  // would not know and a marked screen would not show.
  bool m_no_repaints = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> m_forbidden;  // open intervals
  std::uint32_t m_saved_at = NONE;
  std::uint32_t m_saved_sgr_first = 0;
  std::uint32_t m_saved_sgr_end = 0;
  std::uint32_t m_tabs_changed_at = NONE;
  std::uint32_t m_last_text_at = NONE;  // where the last printed text began
  std::uint32_t m_title_begin = NONE;
  std::uint32_t m_title_end = NONE;
  // The input modes and the cursor's visibility, which the terminal that shows the screen gets.
  ModeTracker m_input_modes;
};

void Scanner::end_run() {
  std::size_t n = m_feeds.size();
  std::size_t rows = static_cast<std::size_t>(m_rows);
  // The emulator starts after a line feed that left the reader's cursor on the bottom row (rows
  // - 1 line feeds of the run had come by then) and in the first column, with its own cursor
  // placed there; the rows line feeds after it scroll every row out of both. The latest such
  // line feed is the anchor.
  if (n > rows) {
    std::size_t last = n - 1 - rows;
    std::size_t first = rows >= 2 ? rows - 2 : 0;
    for (std::size_t k = last + 1; k-- > first;) {
      const LineFeed& feed = m_feeds[k];
      if (!feed.first_column) continue;
      // Inside a scroll region line feeds never reach the rows outside it.
      if (!feed.state.region.set()) candidate(feed.after, feed.state, true, feed.history);
      break;
    }
  }
  m_feeds.clear();
}

void Scanner::full_reset(const Token& t) {
  // libvterm stays on the alternate screen through a reset, and so does its reader here.
  end_run();
  m_input_modes = ModeTracker();
  m_state = LastingState{};
  m_state.sgr_first = m_state.sgr_end = static_cast<std::uint32_t>(m_sgr.size());
  if (m_tabs_changed_at != NONE) {
    m_forbidden.emplace_back(m_tabs_changed_at, static_cast<std::uint32_t>(t.begin));
    m_tabs_changed_at = NONE;
  }
  candidate(static_cast<std::uint32_t>(t.begin), m_state, false, m_token_history);
}

void Scanner::switch_screen(const Token& t, unsigned mode, bool on) {
  bool in_alternate = m_screen == Screen::alternate;
  if (on == in_alternate) return;
  end_run();
  if (on) {
    m_screen = Screen::alternate;
    m_alternate_mode = mode;
    m_alternate_enter = t.begin;
    m_alternate_enter_end = t.end;
  } else {
    m_plan->stretches.push_back({m_alternate_enter, t.end});
    m_screen = Screen::primary;
  }
  if (mode == 47 && t.param_count == 1)
    m_plan->rewrites.push_back({t.begin, t.end, on ? "\x1b[?1047h" : "\x1b[?1047l"});
}

void Scanner::on_private_mode(const Token& t, unsigned mode, bool on) {
  switch (mode) {
    case 1049:
      // It saves or restores the cursor whichever screen is on.
      if (on) {
        save_cursor(t.begin);
      } else {
        restore_cursor(t.begin);
      }
      switch_screen(t, mode, on);
      complex(t);
      break;
    case 47:
    case 1047:
      switch_screen(t, mode, on);
      break;
    case 1048:
      if (on) {
        save_cursor(t.begin);
      } else {
        restore_cursor(t.begin);
        complex(t);
      }
      break;
    case 5:
      m_state.reverse = on;
      break;
    case 6:
      m_state.origin = on;
      complex(t);  // the cursor goes home
      break;
    case 7:
      m_state.autowrap_off = !on;
      break;
    case 3:  // column mode: clears and resizes
      complex(t);
      break;
    case 69:  // left and right margins
      if (on) m_no_repaints = true;
      complex(t);
      break;
    default:
      break;
  }
}

void Scanner::on_control(const Token& t) {
  switch (t.byte) {
    case '\n':
    case '\v':
    case '\f':
      line_feed(t, true);
      break;
    case '\r':
      carriage_return();
      break;
    case 0x0e:
      m_state.shift = 1;
      break;
    case 0x0f:
      m_state.shift = 0;
      break;
    default:
      break;
  }
}

void Scanner::on_escape(const Token& t) {
  if (t.intermediate == 0) {
    switch (t.final) {
      case '7':
        save_cursor(t.begin);
        complex(t);
        return;
      case '8':
        restore_cursor(t.begin);
        complex(t);
        return;
      case 'D':
        line_feed(t, false);
        return;
      case 'E':
        carriage_return();
        line_feed(t, false);
        return;
      case 'M':
        complex(t);
        return;
      case 'c':
        full_reset(t);
        return;
      case 'H':
        tabs_changed(t.begin);
        return;
      case 'n':
        m_state.shift = 2;
        return;
      case 'o':
        m_state.shift = 3;
        return;
      case '=':
        m_input_modes.set_application_keypad(true);
        return;
      case '>':
        m_input_modes.set_application_keypad(false);
        return;
      default:
        return;
    }
  }
  int set = -1;
  if (t.intermediate == '(') set = 0;
  if (t.intermediate == ')' || t.intermediate == '-') set = 1;
  if (t.intermediate == '*' || t.intermediate == '.') set = 2;
  if (t.intermediate == '+' || t.intermediate == '/') set = 3;
  if (set >= 0) {
    m_state.charsets[set] = t.final == 'B' ? Range{}
                                           : Range{static_cast<std::uint32_t>(t.begin),
                                                   static_cast<std::uint32_t>(t.end)};
    return;
  }
  if (t.intermediate == '#' && t.final == '8') complex(t);  // fills the screen
  if (t.intermediate == '#' && t.final >= '3' && t.final <= '6') m_no_repaints = true;
}

void Scanner::on_csi(const Token& t, std::uint32_t home_before, std::uint32_t erase_before) {
  if (t.prefix == '?' && t.intermediate == 0) {
    if (t.final == 'h' || t.final == 'l') {
      for (int i = 0; i < t.param_count; ++i) {
        if (t.params[i] == MISSING_PARAM) continue;
        m_input_modes.set_private_mode(t.params[i], t.final == 'h');
        on_private_mode(t, t.params[i], t.final == 'h');
      }
    } else if (t.final == 'W' && t.param(0, 0) == 5) {
      tabs_changed(t.begin);
    }
    return;
  }
  if (t.prefix != 0) return;  // replies and keyboard settings: no effect on the screen
  if (t.intermediate == '!' && t.final == 'p') {
    // Soft reset: modes, region, pen and character sets go back to their defaults.
    LastingState reset;
    reset.sgr_first = reset.sgr_end = static_cast<std::uint32_t>(m_sgr.size());
    m_state = reset;
    complex(t);
    return;
  }
  if (t.intermediate != 0) {
    if (t.intermediate == ' ' && t.final == 'q') return;  // cursor shape
    if (t.intermediate == '"' && t.final == 'q') m_no_repaints = true;
    complex(t);
    return;
  }
  switch (t.final) {
    case 'm':
      if (t.param(0, 0) == 0) m_state.sgr_first = static_cast<std::uint32_t>(m_sgr.size());
      m_sgr.push_back({static_cast<std::uint32_t>(t.begin), static_cast<std::uint32_t>(t.end)});
      m_state.sgr_end = static_cast<std::uint32_t>(m_sgr.size());
      return;
    case 'G':
    case '`':
      if (t.param(0, 1) <= 1) carriage_return();
      return;
    case 'b':
      // A repeat of the last character reaches back to wherever that was printed.
      if (m_last_text_at != NONE)
        m_forbidden.emplace_back(m_last_text_at, static_cast<std::uint32_t>(t.begin));
      return;
    case 'K':
    case 'X':
    case 'P':
    case '@':
    case 'C':
    case 'D':
    case 'a':
    case 'I':
    case 'Z':
    case 'c':
    case 'n':
    case 't':
    case 'x':
    case 'q':
    case 'i':
      return;
    case 'J': {
      std::uint32_t what = t.param(0, 0);
      if (what == 2) {
        if (home_before != NONE) candidate(home_before, m_state, false, m_home_history);
        m_erase_all_at = static_cast<std::uint32_t>(t.begin);
        m_erase_all_history = m_token_history;
      } else if (what == 0 && home_before != NONE && (!m_state.origin || !m_state.region.set())) {
        candidate(home_before, m_state, false, m_home_history);
      }
      return;
    }
    case 'H':
    case 'f':
      if (is_home(t)) {
        if (erase_before != NONE) candidate(erase_before, m_state, false, m_erase_all_history);
        m_home_at = static_cast<std::uint32_t>(t.begin);
        m_home_history = m_token_history;
      }
      repaint_start(t);
      complex(t);
      return;
    case 'r': {
      // As the emulator takes it: a region of one row is one, and a region that ends above its
      // top (an explicit bottom of 0 too) makes the whole screen the region again.
      const auto rows = static_cast<std::uint32_t>(m_rows);
      std::uint32_t top = std::max<std::uint32_t>(t.param(0, 1), 1);
      std::uint32_t bottom = std::min(t.param(1, rows), rows);
      if (top > rows || bottom < top) {
        top = 1;
        bottom = rows;
      }
      bool full = top == 1 && bottom == rows;
      m_state.region =
          full ? Range{}
               : Range{static_cast<std::uint32_t>(t.begin), static_cast<std::uint32_t>(t.end)};
      m_state.region_top_row = static_cast<std::int32_t>(top) - 1;
      complex(t);
      return;
    }
    case 's':
      if (t.param_count == 0) save_cursor(t.begin);
      complex(t);
      return;
    case 'u':
      if (t.param_count == 0) restore_cursor(t.begin);
      complex(t);
      return;
    case 'g':
      tabs_changed(t.begin);
      return;
    case 'W':
      tabs_changed(t.begin);
      return;
    case 'h':
    case 'l':
      for (int i = 0; i < t.param_count; ++i) {
        if (t.params[i] == 4) m_state.insert = t.final == 'h';
        if (t.params[i] == 20) m_state.newline = t.final == 'h';
      }
      return;
    default:
      complex(t);
      return;
  }
}

void Scanner::on_token(const Token& t) {
  // A clear with the cursor at home is two tokens side by side: anything between breaks it.
  std::uint32_t home_before = m_home_at;
  std::uint32_t erase_before = m_erase_all_at;
  m_home_at = NONE;
  m_erase_all_at = NONE;
  if (!keeps_column(t)) m_first_column = false;
  switch (t.kind) {
    case TokenKind::text:
      if (m_screen == Screen::primary) m_primary_known = true;
      m_last_text_at = static_cast<std::uint32_t>(t.begin);
      break;
    case TokenKind::control:
      on_control(t);
      break;
    case TokenKind::escape:
      on_escape(t);
      break;
    case TokenKind::csi:
      on_csi(t, home_before, erase_before);
      break;
    case TokenKind::string:
      if (t.byte == ']') {
        std::string_view body = m_replay.substr(t.begin + 2, t.end - t.begin - 2);
        if (body.starts_with("0;") || body.starts_with("2;")) {
          m_title_begin = static_cast<std::uint32_t>(t.begin);
          m_title_end = static_cast<std::uint32_t>(t.end);
        }
      }
      break;
    case TokenKind::broken:
      break;
  }
}

}  // namespace

namespace {

std::string_view bytes_of(std::string_view replay, Range range) {
  return replay.substr(range.begin, range.end - range.begin);
}

// Everything an emulator that starts fresh (or in the middle of another stretch) must be told,
// defaults included, so that nothing earlier leaks through.
std::string emulator_preamble(std::string_view replay, const std::vector<Range>& sgr,
                              const Candidate& from, int rows) {
  const LastingState& state = from.state;
  std::string out =
      "\x1b[0m\x1b[r\x1b[?6l\x1b[?7h\x1b[4l\x1b[20l\x1b[?5l\x1b(B\x1b)B\x1b*B\x1b+B\x0f";
  if (state.region.set()) append_sequence(bytes_of(replay, state.region), out);
  if (state.origin) out += "\x1b[?6h";
  out += from.scrolled ? "\x1b[" + std::to_string(rows) + "H" : std::string("\x1b[H");
  if (state.autowrap_off) out += "\x1b[?7l";
  if (state.insert) out += "\x1b[4h";
  if (state.newline) out += "\x1b[20h";
  if (state.reverse) out += "\x1b[?5h";
  for (const Range& set : state.charsets)
    if (set.set()) append_sequence(bytes_of(replay, set), out);
  static constexpr const char* SHIFTS[] = {"", "\x0e", "\x1bn", "\x1bo"};
  out += SHIFTS[state.shift & 3];
  for (std::uint32_t i = state.sgr_first; i < state.sgr_end; ++i)
    append_sequence(bytes_of(replay, sgr[i]), out);
  return out;
}

}  // namespace

void Scanner::scan(ReplayPlan& plan) {
  m_plan = &plan;
  TokenReader reader(m_replay);
  Token t;
  plan.checkpoints.push_back(0);
  std::size_t next_checkpoint = CHECKPOINT_SPACING;
  while (reader.next(t)) {
    // Text only ever starts outside a sequence.
    if (t.kind == TokenKind::text && t.begin >= next_checkpoint) {
      plan.checkpoints.push_back(t.begin);
      next_checkpoint = t.begin + CHECKPOINT_SPACING;
    }
    if (m_history == nullptr) {
      on_token(t);
      continue;
    }
    // The history takes the token in first, so that what the scan notes at its end includes
    // it; a token that switches to the alternate screen is taken back again, with the controls
    // inside it.
    HistoryMark before = m_history->mark();
    m_token_history = m_inner_history.value_or(before);
    bool inner = t.kind == TokenKind::control && reader.inside_sequence();
    if (inner && !m_inner_history) m_inner_history = before;
    if (!inner) m_inner_history.reset();
    bool primary = m_screen == Screen::primary;
    if (primary && t.begin >= m_history_from) m_history->token(t);
    on_token(t);
    if (primary && m_screen != Screen::primary) m_history->rewind(m_token_history);
  }
  end_run();
  if (m_tabs_changed_at != NONE) m_forbidden.emplace_back(m_tabs_changed_at, NONE);

  std::sort(m_forbidden.begin(), m_forbidden.end());
  std::vector<std::uint32_t> reach(m_forbidden.size());
  std::uint32_t furthest = 0;
  for (std::size_t i = 0; i < m_forbidden.size(); ++i)
    reach[i] = furthest = std::max(furthest, m_forbidden[i].second);
  auto allowed = [&](std::uint32_t pos) {
    auto after = std::lower_bound(m_forbidden.begin(), m_forbidden.end(),
                                  std::make_pair(pos, std::uint32_t{0}));
    std::size_t before = static_cast<std::size_t>(after - m_forbidden.begin());
    return before == 0 || reach[before - 1] <= pos;
  };
  auto latest = [&](Screen screen, std::size_t lo, std::size_t hi) -> const Candidate* {
    for (auto c = m_candidates.rbegin(); c != m_candidates.rend(); ++c)
      if (c->screen == screen && c->pos >= lo && c->pos <= hi && allowed(c->pos)) return &*c;
    return nullptr;
  };

  std::size_t end = m_replay.size();
  plan.alternate = m_screen == Screen::alternate;
  plan.primary_known = m_primary_known;
  plan.primary.to = plan.alternate ? m_alternate_enter : end;
  if (plan.alternate) {
    plan.alternate_mode = m_alternate_mode;
    plan.alternate_enter = m_alternate_enter;
    plan.alternate_enter_end = m_alternate_enter_end;
    plan.alternate_feed.from = m_alternate_enter_end;
    plan.alternate_feed.to = end;
  }
  if (m_full) return;
  if (const Candidate* c = latest(Screen::primary, 0, plan.primary.to)) {
    plan.primary.from = c->pos;
    plan.primary.preamble = emulator_preamble(m_replay, m_sgr, *c, m_rows);
    plan.primary.blank_rows_above = c->scrolled ? m_rows - 1 : 0;
    m_primary_history = c->history;
  }
  if (plan.alternate) {
    if (const Candidate* c = latest(Screen::alternate, m_alternate_enter_end, end)) {
      plan.alternate_feed.from = c->pos;
      // The emulator that read the normal screen goes on, with the tab stops that it left; at
      // any start they are the defaults again.
      plan.alternate_feed.preamble = "\x1b[3g";
      for (int col = 9; col <= m_cols; col += 8)
        plan.alternate_feed.preamble += "\x1b[1;" + std::to_string(col) + "H\x1bH";
      plan.alternate_feed.preamble += emulator_preamble(m_replay, m_sgr, *c, m_rows);
      plan.alternate_feed.blank_rows_above = c->scrolled ? m_rows - 1 : 0;
    }
    choose_repaints(plan, allowed);
  }
}

void Scanner::choose_repaints(ReplayPlan& plan,
                              const std::function<bool(std::uint32_t)>& allowed) const {
  std::size_t end = m_replay.size();
  std::size_t near = REPAINT_BYTES_PER_CELL * static_cast<std::size_t>(m_rows) *
                     static_cast<std::size_t>(std::max(m_cols, 1));
  auto c = m_repaints.rbegin();
  for (std::size_t distance : {near, 4 * near}) {
    if (distance >= end) break;
    std::size_t at_most = end - distance;
    while (c != m_repaints.rend() && (c->pos > at_most || !allowed(c->pos))) ++c;
    // Only a start later than the one that needs no check saves anything.
    if (c == m_repaints.rend() || c->pos <= plan.alternate_feed.from) break;
    plan.alternate_repaints.push_back(
        {c->pos, end, emulator_preamble(m_replay, m_sgr, *c, m_rows), 0});
    ++c;
  }
}

void Scanner::final_state(ReplayPlan& plan) const {
  const LastingState& s = m_state;
  if (s.region.set()) {
    append_sequence(bytes_of(m_replay, s.region), plan.final_region);
    plan.region_top = s.region_top_row;
  }
  plan.origin_mode = s.origin;
  std::string& out = plan.final_state;
  if (s.autowrap_off) out += "\x1b[?7l";
  if (s.insert) out += "\x1b[4h";
  if (s.newline) out += "\x1b[20h";
  if (s.reverse) out += "\x1b[?5h";
  for (const Range& set : s.charsets)
    if (set.set()) append_sequence(bytes_of(m_replay, set), out);
  static constexpr const char* SHIFTS[] = {"", "\x0e", "\x1bn", "\x1bo"};
  out += SHIFTS[s.shift & 3];
  for (std::uint32_t i = s.sgr_first; i < s.sgr_end; ++i)
    append_sequence(bytes_of(m_replay, m_sgr[i]), out);
  if (m_title_begin != NONE)
    out.append(m_replay.substr(m_title_begin, m_title_end - m_title_begin));
  plan.input_modes = m_input_modes.restore_sequence();
}

std::size_t ReplayPlan::stop_for(std::size_t seen) const {
  for (const AlternateStretch& stretch : stretches)
    if (seen >= stretch.enter && seen < stretch.leave_end) return stretch.enter;
  if (alternate && seen >= alternate_enter) return alternate_enter;
  return seen;
}

ReplayPlan plan_replay(std::string_view replay, int rows, int cols, Feed feed, std::string* history,
                       std::size_t history_from) {
  ReplayPlan plan;
  plan.primary.to = replay.size();
  if (rows <= 0 || replay.size() >= NONE) return plan;
  std::optional<HistoryWriter> writer;
  if (history != nullptr) writer.emplace(replay, *history);
  Scanner scanner(replay, rows, cols, feed == Feed::full, writer ? &*writer : nullptr,
                  history_from);
  scanner.scan(plan);
  scanner.final_state(plan);
  if (writer) {
    // Only what lies before the anchor is history; nothing at all when none of it is new.
    if (history_from < plan.primary.from) {
      writer->finish(scanner.history_end(), rows);
    } else {
      writer->rewind(HistoryMark{});
    }
  }
  return plan;
}

void append_history(std::string_view replay, std::size_t from, std::size_t to,
                    const ReplayPlan& plan, int rows, std::string& out) {
  to = std::min(to, replay.size());
  if (from >= to) return;
  auto checkpoint = std::upper_bound(plan.checkpoints.begin(), plan.checkpoints.end(), from);
  std::size_t start = checkpoint == plan.checkpoints.begin() ? 0 : *(checkpoint - 1);
  TokenReader reader(replay, start);
  Token t;
  auto stretch = plan.stretches.begin();
  HistoryWriter writer(replay, out);
  while (reader.next(t)) {
    if (t.end > to) break;
    if (t.begin < from) continue;
    while (stretch != plan.stretches.end() && stretch->leave_end <= t.begin) ++stretch;
    // What a full-screen program drew never reached the scrollback.
    if (stretch != plan.stretches.end() && t.begin >= stretch->enter) continue;
    if (plan.alternate && t.begin >= plan.alternate_enter) break;
    writer.token(t);
  }
  writer.finish(writer.mark(), rows);
}

}  // namespace velmora::client
