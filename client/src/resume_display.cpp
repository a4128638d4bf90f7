#include "resume_display.h"

#include <ctime>

namespace velmora::client {

ResumeDrawing ResumeDisplay::draw(std::string_view replay, std::uint32_t shell_pid, WindowSize size,
                                  const ShownTail* shown_before) const {
  std::optional<Fingerprint> seen_print;
  if (shown_before != nullptr) {
    seen_print = fingerprint_of(shown_before->bytes());
  } else if (m_store && m_terminal) {
    seen_print = m_store->find(m_socket_path, m_key, shell_pid, *m_terminal);
  }
  RedrawRequest request;
  request.replay = replay;
  request.rows = size.rows;
  request.cols = size.cols;
  request.history = m_history;
  // When the replay no longer holds that point, everything in it is new to this terminal.
  if (seen_print) request.seen = find_seen(replay, *seen_print);
  ResumeDrawing drawing;
  if (auto redraw = redraw_replay(request)) {
    drawing.bytes = std::move(redraw->bytes);
    drawing.alternate = redraw->alternate;
    drawing.at_line_start = redraw->at_line_start;
    drawing.history_begin = redraw->history_begin;
    drawing.history_end = redraw->history_end;
    return drawing;
  }
  // No emulator (out of memory): the replay's harmless bytes as they are.
  ReplayPlan plan = plan_replay(replay, size.rows, size.cols);
  append_history(replay, 0, replay.size(), plan, size.rows, drawing.bytes);
  return drawing;
}

void ResumeDisplay::remember(std::uint32_t shell_pid, const ShownTail& shown) const {
  if (!m_store || !m_terminal || shell_pid == 0) return;
  auto print = fingerprint_of(shown.bytes());
  if (!print) return;
  SeenRecord record{m_socket_path, m_key,  shell_pid,
                    *m_terminal,   *print, static_cast<std::int64_t>(std::time(nullptr))};
  // Best effort: without the record the next reattach pushes the lines once more.
  (void)m_store->remember(record);
}

void ResumeDisplay::forget(std::uint32_t shell_pid) const {
  if (m_store && shell_pid != 0) (void)m_store->forget(m_socket_path, m_key, shell_pid);
}

}  // namespace velmora::client
