#pragma once

// How `velmora ls` finds out what each session is doing, and shows it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmora/core/protocol.h"

namespace velmora::client {

// A session as the daemon lists it, and what its shell is doing now (read from the system).
struct SessionRow {
  SessionInfo info;
  std::optional<std::string> cwd;      // the shell's current directory
  std::optional<std::string> command;  // the command in the foreground of its terminal
};

// Looks at the session's shell now; nothing of it is known when it cannot be read.
SessionRow observe_session(SessionInfo info);

// A duration in seconds as people read it: "5s", "3m", "2h", "4d" (rounded down).
std::string format_age(std::uint64_t seconds);

// The rows sorted by key, byte for byte.
std::vector<SessionInfo> sorted_by_key(std::vector<SessionInfo> rows);

// True when rows holds session key.
bool has_session(const std::vector<SessionInfo>& rows, const std::string& key);

// Keys wider than this stand on a line of their own, so that one long key does not push every
// other column out of sight; directories wider than the other limit lose their beginning.
inline constexpr std::size_t KEY_COLUMN_LIMIT = 24;
inline constexpr std::size_t CWD_COLUMN_LIMIT = 40;

struct TableLayout {
  std::uint64_t now = 0;             // seconds since the epoch, for the ages
  std::string home;                  // directories below it are shown as ~/...; empty: none
  std::optional<std::size_t> width;  // a terminal's width: lines are cut there
};

// An aligned table with the header KEY PID AGE CWD COMMAND, one line per row in the given order
// (two for a long key), every line ending in a newline. CWD is the current directory, or the
// starting one when that is unknown; COMMAND is "?" when unknown. Texts are shown with control
// characters escaped.
std::string format_session_table(const std::vector<SessionRow>& rows, const TableLayout& layout);

}  // namespace velmora::client
