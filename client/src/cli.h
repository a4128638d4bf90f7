#pragma once

// The command line of `velmora`: which command to run and with what.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "redraw.h"

namespace velmora::client {

inline constexpr const char* DEFAULT_KEY = "main";
inline constexpr unsigned char DEFAULT_DETACH_KEY = 0x1c;  // Ctrl-backslash

enum class Redraw { nudge, skip };
enum class Format { table, json };
enum class Enter { append, omit };
// Which sessions an attach accepts: any (a missing one is created) or only one that exists.
enum class Require { any, existing };
enum class Start { attached, detached };

struct AttachCommand {
  std::string key = DEFAULT_KEY;
  std::optional<unsigned char> detach_key = DEFAULT_DETACH_KEY;  // nothing: no detach key
  Redraw redraw = Redraw::nudge;
  History history = History::push;
  Require require = Require::any;
};
// Creates a session that must not exist yet, then attaches to it unless told not to.
struct NewCommand {
  AttachCommand attach;  // the key, and how to attach afterwards
  Start start = Start::attached;
  std::string typed;  // the command line and a carriage return, or empty for none
};
struct ListCommand {
  Format format = Format::table;
};
struct KillCommand {
  std::string key;
};
struct SendCommand {
  std::string key;
  std::string text;  // the words joined with blanks, carriage return already appended
};
struct ShutdownCommand {};
struct VersionCommand {};
struct DecodeCommand {};
// Help for the program (topic empty) or for one command.
struct HelpCommand {
  std::string topic;
};

using Command = std::variant<AttachCommand, NewCommand, ListCommand, KillCommand, SendCommand,
                             ShutdownCommand, VersionCommand, DecodeCommand, HelpCommand>;

// A usage fault: the one-line problem and the help topic that explains the right use.
struct UsageError {
  std::string problem;
  std::string topic;
};

using Parsed = std::variant<Command, UsageError>;

// args excludes the program name.
Parsed parse_command_line(const std::vector<std::string>& args);

// The help text of the program (empty topic) or of a command; nothing for an unknown topic.
std::optional<std::string> help_text(const std::string& topic);

// "velmora: <problem> (try 'velmora [topic ]--help')".
std::string usage_line(const UsageError& error);

}  // namespace velmora::client
