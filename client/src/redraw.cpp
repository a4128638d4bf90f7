#include "redraw.h"

#include <algorithm>
#include <functional>
#include <string>

#include "screen_painter.h"

namespace velmora::client {
namespace {

// Feeds replay[from, to) with the plan's rewrites in place.
void feed_range(ScreenModel& model, std::string_view replay, const ReplayPlan& plan,
                std::size_t from, std::size_t to) {
  for (const Rewrite& rewrite : plan.rewrites) {
    if (rewrite.end <= from) continue;
    if (rewrite.begin >= to) break;
    model.feed(replay.substr(from, rewrite.begin - from));
    model.feed(rewrite.bytes);
    from = rewrite.end;
  }
  if (from < to) model.feed(replay.substr(from, to - from));
}

// Which scrolled-off rows the terminal has not shown yet.
class SeenRows {
 public:
  explicit SeenRows(bool all_seen) : m_all_seen(all_seen) {}
  void skip_next(int rows) { m_skip = rows; }
  void set_all_seen(bool seen) { m_all_seen = seen; }
  bool take_unseen() {
    if (m_all_seen) return false;
    if (m_skip > 0) {
      --m_skip;
      return false;
    }
    return true;
  }

 private:
  bool m_all_seen;
  int m_skip = 0;
};

// Restoring a cursor that was never saved goes home with the default pen, as in the terminals
// that programs are written for (libvterm would take an empty pen): every emulator saves one
// first.
constexpr std::string_view NEVER_SAVED =
    "\x1b"
    "7";

// A character that no program prints, in every cell of the screen that a repaint starts on.
constexpr char32_t MARK = U'\U0010FFFD';
constexpr std::string_view MARK_UTF8 = "\xf4\x8f\xbf\xbd";

// The alternate screen read from a later start, into screens, when the bytes after it paint
// every cell: then no earlier byte can show. False when some cell still shows what came before.
bool read_repaint(std::string_view replay, const ReplayPlan& plan, const ScreenFeed& repaint,
                  int rows, int cols, ReplayScreens& screens) {
  std::string_view tail = replay.substr(repaint.from, repaint.to - repaint.from);
  if (tail.find(MARK_UTF8) != std::string_view::npos) return false;
  auto made = ScreenModel::create(rows, cols);
  if (!made) return false;
  ScreenModel& model = **made;
  model.feed(NEVER_SAVED);
  feed_range(model, replay, plan, plan.alternate_enter, plan.alternate_enter_end);
  // Printed, so that a repeat of the last character repeats a mark too.
  std::string marks;
  marks.reserve(static_cast<std::size_t>(rows) * (static_cast<std::size_t>(cols) * 4 + 12));
  for (int r = 0; r < rows; ++r) {
    marks += "\x1b[" + std::to_string(r + 1) + "H";
    for (int c = 0; c < cols; ++c) marks += MARK_UTF8;
  }
  model.feed(marks);
  model.feed(repaint.preamble);
  feed_range(model, replay, plan, repaint.from, repaint.to);
  std::vector<Row> painted(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    model.read_row(r, painted[r]);
    for (const Cell& cell : painted[r])
      for (char32_t c : cell.chars) {
        if (c == 0) break;
        if (c == MARK) return false;
      }
  }
  screens.alternate_rows = std::move(painted);
  screens.alternate_cursor = model.cursor();
  screens.alternate_from = repaint.from;
  return true;
}

// Reads the planned bytes; rows that scroll off the normal screen go to on_scrolled (with
// whether the terminal has not shown them yet).
Result<ReplayScreens> feed_plan(std::string_view replay, const ReplayPlan& plan, int rows, int cols,
                                std::optional<std::size_t> seen,
                                const std::function<void(const Row&)>& on_unseen) {
  auto made = ScreenModel::create(rows, cols);
  if (!made) return made.error();
  ScreenModel& model = **made;
  const ScreenFeed& primary = plan.primary;
  bool stops = seen && *seen > primary.from && *seen < primary.to;
  SeenRows unseen(seen && *seen >= primary.to);
  if (on_unseen) {
    model.on_scrolled_off([&](const Row& row) {
      if (unseen.take_unseen()) on_unseen(row);
    });
  }
  model.feed(NEVER_SAVED);
  model.feed(primary.preamble);
  unseen.skip_next(primary.blank_rows_above);
  if (stops) {
    std::size_t stop = std::max(plan.stop_for(*seen), primary.from);
    unseen.set_all_seen(true);
    feed_range(model, replay, plan, primary.from, stop);
    // The rows above the cursor were on the terminal's screen: it has them.
    unseen.set_all_seen(false);
    unseen.skip_next(model.cursor().row);
    feed_range(model, replay, plan, stop, primary.to);
  } else {
    feed_range(model, replay, plan, primary.from, primary.to);
  }

  ReplayScreens screens;
  screens.primary.resize(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) model.read_row(r, screens.primary[r]);
  screens.primary_cursor = model.cursor();
  if (!plan.alternate) return screens;

  screens.alternate = true;
  for (const ScreenFeed& repaint : plan.alternate_repaints)
    if (read_repaint(replay, plan, repaint, rows, cols, screens)) return screens;
  feed_range(model, replay, plan, plan.alternate_enter, plan.alternate_enter_end);
  const ScreenFeed& alternate = plan.alternate_feed;
  screens.alternate_from = alternate.from;
  model.feed(alternate.preamble);
  feed_range(model, replay, plan, alternate.from, alternate.to);
  screens.alternate_rows.resize(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) model.read_row(r, screens.alternate_rows[r]);
  screens.alternate_cursor = model.cursor();
  return screens;
}

bool empty_from(const Row& row, int col) {
  for (std::size_t c = static_cast<std::size_t>(col); c < row.size(); ++c)
    if (!invisible(row[c])) return false;
  return true;
}

}  // namespace

Result<ReplayScreens> replay_screens(std::string_view replay, int rows, int cols, Feed feed) {
  ReplayPlan plan = plan_replay(replay, rows, cols, feed);
  return feed_plan(replay, plan, rows, cols, std::nullopt, {});
}

Result<DrawnReplay> redraw_replay(const RedrawRequest& request) {
  const int rows = request.rows;
  std::string_view replay = request.replay;
  DrawnReplay redraw;
  std::string& out = redraw.bytes;
  bool history = request.history == History::push;
  // The history may be as long as the replay; a screen alone is small.
  std::size_t screen_size = static_cast<std::size_t>(rows * request.cols * 2);
  out.reserve(history ? replay.size() + screen_size : screen_size);
  out += "\x1b[0m";
  std::size_t screen_start = out.size();
  if (history && rows > 0) {
    // The terminal's own lines go up into its scrollback first, so that nothing in the
    // history can erase or overwrite them; the history then starts on an empty screen.
    out += '\r';
    out.append(static_cast<std::size_t>(rows - 1), '\n');
    out += "\x1b[H\x1b[K";
  }
  std::size_t history_start = out.size();
  // The history is written while the replay is planned, in the same read of it.
  ReplayPlan plan = plan_replay(replay, rows, request.cols, request.feed, history ? &out : nullptr,
                                request.seen.value_or(0));
  // Nothing in it that this terminal has not shown: the lines that make room go too.
  if (out.size() == history_start) out.resize(screen_start);
  redraw.history_begin = screen_start;
  redraw.history_end = out.size();
  redraw.alternate = plan.alternate;

  ScreenPainter painter(out);
  std::function<void(const Row&)> push;
  if (history) {
    push = [&](const Row& row) {
      out += '\r';
      painter.row(row);
      out += "\r\n";
    };
  }
  auto screens = feed_plan(replay, plan, rows, request.cols, request.seen, push);
  if (!screens) return screens.error();

  // Without anything of its own in the replay, or when this terminal showed it last, the
  // normal screen under a full-screen program is left as the terminal has it.
  bool draw_primary = !plan.alternate || (plan.primary_known &&
                                          !(request.seen && *request.seen >= plan.alternate_enter));
  if (draw_primary) {
    // Printed as lines: the rows above the cursor scroll into the scrollback.
    out += '\r';
    for (int r = 0; r < rows; ++r) {
      painter.row(screens->primary[r]);
      if (r + 1 < rows) out += "\r\n";
    }
    painter.reset_pen();
    if (plan.alternate) painter.move_to(screens->primary_cursor.row, screens->primary_cursor.col);
  }
  CursorPosition cursor = screens->primary_cursor;
  const std::vector<Row>* shown_rows = &screens->primary;
  if (plan.alternate) {
    out += "\x1b[?" + std::to_string(plan.alternate_mode) + "h";
    for (int r = 0; r < rows; ++r) {
      const Row& row = screens->alternate_rows[r];
      // 1049 clears the alternate screen; the others keep what it had.
      if (plan.alternate_mode == 1049 && empty_from(row, 0)) continue;
      painter.move_to(r, 0);
      painter.row(row);
    }
    cursor = screens->alternate_cursor;
    shown_rows = &screens->alternate_rows;
  }
  painter.reset_pen();
  out += plan.final_region;
  int top = 0;
  if (plan.origin_mode) {
    out += "\x1b[?6h";
    top = plan.region_top;
  }
  painter.move_to(cursor.row - top, cursor.col);
  out += plan.final_state;
  out += plan.input_modes;
  redraw.at_line_start = cursor.col == 0 && cursor.row >= 0 && cursor.row < rows &&
                         empty_from((*shown_rows)[cursor.row], 0);
  return redraw;
}

}  // namespace velmora::client
