#pragma once

// A resumed session brought back on the user's terminal: the replay is read by an emulator of
// the terminal's size, and its final screen is drawn in one go, the normal screen's rows that
// scrolled off going into the terminal's own scrollback above it. Nothing that the replay did
// to the scrollback, the clipboard or the terminal's settings is repeated, and nothing is ever
// cleared: the terminal's earlier lines scroll up instead.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replay_plan.h"
#include "screen_model.h"
#include "velmora/core/result.h"

namespace velmora::client {

enum class History { push, skip };

struct RedrawRequest {
  std::string_view replay;
  int rows = 24;
  int cols = 80;
  // How much of the replay this terminal has shown before (it still has those lines).
  std::optional<std::size_t> seen;
  History history = History::push;
  Feed feed = Feed::shortest;
};

struct DrawnReplay {
  std::string bytes;           // to write in one go
  bool alternate = false;      // a full-screen program is on the alternate screen
  bool at_line_start = false;  // the cursor ends at the start of an empty line
  // bytes[history_begin, history_end) is the history above the screen (empty when there is
  // none): it leaves the terminal's modes, pen and character sets at their defaults.
  std::size_t history_begin = 0;
  std::size_t history_end = 0;
};

Result<DrawnReplay> redraw_replay(const RedrawRequest& request);

// The screens that the replay leaves, as an emulator that read the planned bytes sees them.
struct ReplayScreens {
  std::vector<Row> primary;  // the normal screen (when the alternate one is on: as it was left)
  CursorPosition primary_cursor;
  bool alternate = false;
  std::vector<Row> alternate_rows;
  CursorPosition alternate_cursor;
  std::size_t alternate_from = 0;  // where the reading of the alternate screen began
};

Result<ReplayScreens> replay_screens(std::string_view replay, int rows, int cols, Feed feed);

}  // namespace velmora::client
