#include "session_list.h"

#include <sys/types.h>

#include <algorithm>
#include <array>

#include "display_text.h"
#include "platform.h"

namespace velmora::client {
namespace {

constexpr std::size_t COLUMNS = 5;
using Cells = std::array<std::string, COLUMNS>;

std::string with_home_abbreviated(const std::string& path, const std::string& home) {
  if (home.empty() || home == "/") return path;
  if (path == home) return "~";
  if (path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
      path[home.size()] == '/')
    return std::string("~").append(path, home.size());
  return path;
}

// The cells joined, each padded to its column's width; the last one is not padded.
std::string join_cells(const Cells& cells, const std::array<std::size_t, COLUMNS>& widths) {
  std::string line;
  for (std::size_t c = 0; c < COLUMNS; ++c) {
    line += cells[c];
    if (c + 1 == COLUMNS) break;
    line.append(widths[c] - std::min(widths[c], display_width(cells[c])) + 2, ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace

SessionRow observe_session(SessionInfo info) {
  SessionRow row{std::move(info), std::nullopt, std::nullopt};
  if (row.info.pid == 0) return row;
  auto shell = static_cast<pid_t>(row.info.pid);
  row.cwd = process_directory(shell);
  if (auto group = terminal_foreground_group(shell)) row.command = process_command_line(*group);
  return row;
}

std::string format_age(std::uint64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  if (seconds < 86400) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}

std::vector<SessionInfo> sorted_by_key(std::vector<SessionInfo> rows) {
  std::stable_sort(rows.begin(), rows.end(),
                   [](const SessionInfo& a, const SessionInfo& b) { return a.key < b.key; });
  return rows;
}

bool has_session(const std::vector<SessionInfo>& rows, const std::string& key) {
  return std::any_of(rows.begin(), rows.end(),
                     [&](const SessionInfo& row) { return row.key == key; });
}

std::string format_session_table(const std::vector<SessionRow>& rows, const TableLayout& layout) {
  std::vector<Cells> lines;
  lines.push_back({"KEY", "PID", "AGE", "CWD", "COMMAND"});
  for (const SessionRow& row : rows) {
    // A start time in the future (a clock set back) counts as just started.
    std::uint64_t age = layout.now > row.info.started_at ? layout.now - row.info.started_at : 0;
    std::string cwd = with_home_abbreviated(row.cwd.value_or(row.info.cwd), layout.home);
    lines.push_back({printable(row.info.key), std::to_string(row.info.pid), format_age(age),
                     clip_start(printable(cwd), CWD_COLUMN_LIMIT),
                     row.command ? printable(*row.command) : "?"});
  }
  std::array<std::size_t, COLUMNS> widths{};
  for (const Cells& line : lines) {
    for (std::size_t c = 0; c < COLUMNS; ++c) {
      std::size_t width = display_width(line[c]);
      if (c == 0 && width > KEY_COLUMN_LIMIT) continue;
      widths[c] = std::max(widths[c], width);
    }
  }

  std::string table;
  for (Cells& line : lines) {
    if (display_width(line[0]) > KEY_COLUMN_LIMIT) {
      // The whole key on its own line (where a terminal may wrap it); the row below it.
      table += line[0] + "\n";
      line[0].clear();
    }
    std::string text = join_cells(line, widths);
    if (layout.width) text = clip_end(text, *layout.width);
    table += text + "\n";
  }
  return table;
}

}  // namespace velmora::client
