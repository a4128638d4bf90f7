#pragma once

// Which bytes of a replay a terminal emulator must read to reach the replay's final screen.
//
// Feeding a whole replay costs milliseconds, most of it in scrolling. The final screen only
// depends on the bytes after the last point where the screen's content stops mattering: a full
// clear with the cursor at home, a reset, or a stretch of plain output long enough to scroll
// every row out (the height in line feeds once the cursor is on the bottom row). From
// such an anchor an emulator that is told the lasting state (pen, scroll region, modes,
// character sets) ends on the same screen as one that read everything. An anchor is refused
// where a later sequence would reach back past it: restoring a cursor saved before it, tab stops
// set before it, or repeating a character printed before it. On the alternate screen, where full-screen programs repaint in place, a
// cursor placement may serve as well, when what follows it paints every cell.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::client {

// A stretch of the replay that an emulator reads, after preamble.
struct ScreenFeed {
  std::size_t from = 0;
  std::size_t to = 0;
  std::string preamble;
  // Rows above the cursor that the emulator starts with empty and scrolls off first: they were
  // never part of the screen.
  int blank_rows_above = 0;
};

// An alternate-screen stretch that the program left again: [enter, leave_end).
struct AlternateStretch {
  std::size_t enter = 0;
  std::size_t leave_end = 0;
};

// A sequence that the emulator reads in another form (a bare 47 switch, which it does not know,
// as the 1047 switch).
struct Rewrite {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string bytes;
};

struct ReplayPlan {
  // The normal screen: ends where the alternate screen that is on at the end was entered.
  ScreenFeed primary;
  // The normal screen shows something that came with the replay (not just a mode preamble).
  bool primary_known = false;

  bool alternate = false;           // the alternate screen is on at the end
  unsigned alternate_mode = 0;      // 47, 1047 or 1049
  std::size_t alternate_enter = 0;  // the sequence that switched to it
  std::size_t alternate_enter_end = 0;
  // Its bytes: from == alternate_enter_end with an empty preamble continues the emulator that
  // read the normal screen; a later anchor starts over with a preamble.
  ScreenFeed alternate_feed;
  // Later starts for it, latest first, each at a cursor placement: one holds only when the bytes
  // after it paint every cell, which its reader must check (an emulator that starts with every
  // cell marked ends with no mark left). A program that repaints its screen in place never
  // clears it, so without these its whole stretch would be read.
  std::vector<ScreenFeed> alternate_repaints;

  std::vector<AlternateStretch> stretches;  // in order, before the end
  std::vector<Rewrite> rewrites;            // in order
  // Positions where a token begins in the ground state, one every few KiB, ascending: a reader
  // that starts in the middle begins at the last one before.
  std::vector<std::size_t> checkpoints;

  // The state at the end, for the terminal that shows the screen: the scroll region and origin
  // mode (set before the cursor is placed), and modes, character sets, pen and title (after).
  std::string final_region;
  bool origin_mode = false;
  int region_top = 0;
  std::string final_state;
  // The input modes (keys, mouse, paste) that are on at the end, and the cursor's visibility.
  std::string input_modes;

  // Where in [from, to) an emulator that must stop at seen can stop: seen itself, or the start
  // of the alternate-screen stretch around it.
  std::size_t stop_for(std::size_t seen) const;
};

enum class Feed { shortest, full };

// rows and cols are the emulator's size. Feed::full keeps every byte (for comparison).
// With history, the same read of the replay appends to it what append_history(replay,
// history_from, plan.primary.from, plan, rows, *history) would.
ReplayPlan plan_replay(std::string_view replay, int rows, int cols, Feed feed = Feed::shortest,
                       std::string* history = nullptr, std::size_t history_from = 0);

// Appends the bytes of replay[from, to) that are safe to replay into another terminal of the
// given height as history: text and layout, without alternate-screen stretches, queries, mode
// changes, colour or clipboard changes, bells, resets, and anything that erases scrollback.
// Sequences begun before from are left out. The layout state that these bytes leave behind
// (pen, scroll region, origin, insert and newline modes, autowrap, character sets) is undone at
// the end, the cursor staying on its row where it can.
void append_history(std::string_view replay, std::size_t from, std::size_t to,
                    const ReplayPlan& plan, int rows, std::string& out);

}  // namespace velmora::client
