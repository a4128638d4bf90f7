#include "session_list.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "display_text.h"

namespace velmora::client {

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

std::string format_session_table(const std::vector<SessionInfo>& rows, std::uint64_t now) {
  constexpr std::size_t COLUMNS = 4;
  using Line = std::array<std::string, COLUMNS>;
  std::vector<Line> lines;
  lines.push_back({"KEY", "PID", "CWD", "AGE"});
  for (const SessionInfo& row : rows) {
    // A start time in the future (a clock set back) counts as just started.
    std::uint64_t age = now > row.started_at ? now - row.started_at : 0;
    lines.push_back(
        {printable(row.key), std::to_string(row.pid), printable(row.cwd), format_age(age)});
  }
  std::array<std::size_t, COLUMNS> widths{};
  for (const Line& line : lines)
    for (std::size_t c = 0; c < COLUMNS; ++c)
      widths[c] = std::max(widths[c], display_width(line[c]));

  std::string table;
  for (const Line& line : lines) {
    for (std::size_t c = 0; c < COLUMNS; ++c) {
      table += line[c];
      if (c + 1 == COLUMNS) break;
      table.append(widths[c] - display_width(line[c]) + 2, ' ');
    }
    table += '\n';
  }
  return table;
}

}  // namespace velmora::client
