// The names on the wire: the tag member, the tags of requests and events, and their members.
// Writers and readers take them from here, and so do the fast paths that recognise a line as
// the codec writes it without parsing it (their fixed pieces are joined from the same names).
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::wire {

inline constexpr char TYPE[] = "type";

// Requests.
inline constexpr char HELLO[] = "hello";
inline constexpr char ATTACH[] = "attach";
inline constexpr char WRITE[] = "write";
inline constexpr char RESIZE[] = "resize";
inline constexpr char CLOSE[] = "close";
inline constexpr char LIST[] = "list";
inline constexpr char SHUTDOWN[] = "shutdown";

// Events (hello is also one).
inline constexpr char ATTACHED[] = "attached";
inline constexpr char OUTPUT[] = "output";
inline constexpr char EXITED[] = "exited";
inline constexpr char SESSIONS[] = "sessions";
inline constexpr char ERROR[] = "error";

// Members.
inline constexpr char VERSION[] = "version";
inline constexpr char PID[] = "pid";
inline constexpr char KEY[] = "key";
inline constexpr char CWD[] = "cwd";
inline constexpr char COLS[] = "cols";
inline constexpr char ROWS[] = "rows";
inline constexpr char ENV[] = "env";
inline constexpr char DATA_BASE64[] = "dataBase64";
inline constexpr char RESUMED[] = "resumed";
inline constexpr char REPLAY_BASE64[] = "replayBase64";
inline constexpr char KEYS[] = "keys";
inline constexpr char STARTED_AT[] = "startedAt";
inline constexpr char MESSAGE[] = "message";

// A text joined at compile time; chars is NUL-terminated, so that it can be joined again.
template <std::size_t N>
struct Joined {
  char chars[N + 1] = {};
  constexpr std::string_view view() const { return {chars, N}; }
};

template <std::size_t... N>
consteval Joined<((N - 1) + ...)> join(const char (&... parts)[N]) {
  Joined<((N - 1) + ...)> out;
  std::size_t at = 0;
  auto append = [&](const char* part, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) out.chars[at++] = part[i];
  };
  (append(parts, N - 1), ...);
  return out;
}

// `{"type":"<tag>"`, the opening of every line.
template <std::size_t N>
consteval auto line_start(const char (&tag)[N]) {
  return join("{\"", TYPE, "\":\"", tag, "\"");
}
// `,"<name>":`, a member after the first.
template <std::size_t N>
consteval auto member(const char (&name)[N]) {
  return join(",\"", name, "\":");
}

// How the codec writes the output and attached events up to their first value.
inline constexpr auto OUTPUT_LINE_START = join(line_start(OUTPUT).chars, member(KEY).chars);
inline constexpr auto ATTACHED_LINE_START = join(line_start(ATTACHED).chars, member(KEY).chars);
inline constexpr auto DATA_MEMBER = member(DATA_BASE64);
inline constexpr auto REPLAY_MEMBER = member(REPLAY_BASE64);

}  // namespace velmora::wire
