#include "cli.h"

#include <cstddef>

#include "detach_key.h"
#include "velmora/core/unicode.h"

namespace velmora::client {
namespace {

const char* const PROGRAM_HELP =
    "usage: velmora [COMMAND] [ARGS...]\n"
    "\n"
    "Keeps shells alive in the velmorad daemon so that a terminal can detach from them and\n"
    "reattach later. Without a command, velmora attaches to the session \"main\".\n"
    "\n"
    "commands:\n"
    "  attach [KEY]        attach this terminal to session KEY (default \"main\"), creating it\n"
    "  ls [--json]         list the sessions\n"
    "  kill KEY            end session KEY and its shell\n"
    "  send KEY TEXT...    type TEXT into session KEY without attaching\n"
    "  shutdown            stop the daemon and every shell it keeps\n"
    "  version             show the client, protocol and daemon versions\n"
    "  decode              show how the daemon reads request lines from standard input\n"
    "  help [COMMAND]      show this text or a command's help\n"
    "\n"
    "'velmora COMMAND --help' describes each command.\n"
    "\n"
    "environment:\n"
    "  VELMORAD_SOCKET     the daemon's socket (default /tmp/velmorad-<uid>.sock)\n"
    "\n"
    "exit status: 0 on success, 1 on failure, 2 on a usage error.\n";

const char* const ATTACH_HELP =
    "usage: velmora attach [-e KEY | -E] [--no-redraw] [--no-history] [SESSION]\n"
    "\n"
    "Attaches this terminal to SESSION (default \"main\"). A session that does not exist is\n"
    "created: the daemon starts your login shell ($SHELL -l) in the current directory. An\n"
    "existing session is resumed: its screen is drawn as it is now (text, colours, the\n"
    "cursor, a full-screen program on the alternate screen, the keyboard, mouse and paste\n"
    "modes), then live output follows.\n"
    "\n"
    "The lines that scrolled off the session's screen go into this terminal's own\n"
    "scrollback, above the drawn screen. A terminal gets each line once: velmora remembers\n"
    "how far each terminal has seen a session (in $XDG_STATE_HOME/velmora/seen, or\n"
    "~/.local/state/velmora/seen), so reattaching in the same terminal adds only what came\n"
    "since. Nothing that velmora writes erases the terminal's scrollback.\n"
    "\n"
    "The detach key (Ctrl-\\ unless changed) detaches: the shell runs on and a later attach\n"
    "resumes it. velmora ends with a line of its own: \"[detached from SESSION]\",\n"
    "\"[SESSION exited]\" when the shell ends, \"[SESSION attached elsewhere]\" when another\n"
    "terminal resumes the session (status 0 for all three), \"[daemon went away]\" (status\n"
    "1). A connection that the daemon drops while it still runs (after velmora was stopped\n"
    "too long, say) is taken up again by itself, the screen drawn anew.\n"
    "\n"
    "options:\n"
    "  -e KEY         detach with KEY instead: ^x for Ctrl-x (for example ^a, ^\\, ^]) or a\n"
    "                 single character\n"
    "  -E             no detach key: every byte goes to the shell\n"
    "  --no-redraw    do not nudge a full-screen program to repaint after resuming (normally\n"
    "                 the terminal's height changes for a moment when one is running, so\n"
    "                 that it redraws at this terminal's size; a shell is never nudged)\n"
    "  --no-history   draw the screen only: push none of the session's earlier lines into\n"
    "                 this terminal's scrollback\n"
    "\n"
    "A new session receives the terminal's size, the current directory and these variables\n"
    "from this environment: TERM, COLORTERM, LANG and every LC_* variable. Its shell also\n"
    "gets VELMORA_SESSION (the session's key) and VELMORA_SESSION_SOCKET (the daemon's\n"
    "socket); attaching a session from inside itself is refused.\n"
    "\n"
    "When no daemon answers on the socket, velmora starts velmorad in the background. It\n"
    "looks for velmorad next to the velmora program, then in ../daemon/ beside it (a build\n"
    "tree), then on PATH.\n";

const char* const LS_HELP =
    "usage: velmora ls [--json]\n"
    "\n"
    "Lists the sessions, sorted by key: KEY, the shell's PID, its starting directory CWD and\n"
    "its AGE. With --json, prints one JSON object per session and line instead:\n"
    "{\"key\":...,\"cwd\":...,\"startedAt\":SECONDS,\"pid\":...}.\n"
    "With no daemon running there are no sessions.\n";

const char* const KILL_HELP =
    "usage: velmora kill SESSION\n"
    "\n"
    "Ends SESSION: its shell is killed and the session is gone from the list.\n";

const char* const SEND_HELP =
    "usage: velmora send [-n] SESSION [TEXT...]\n"
    "\n"
    "Types TEXT into SESSION as if it had been typed at its terminal: the words joined with\n"
    "blanks, then Enter (a carriage return). SESSION must exist; send never creates one.\n"
    "\n"
    "options:\n"
    "  -n    do not press Enter after the text\n"
    "  --    end of options (for text that starts with '-')\n";

const char* const SHUTDOWN_HELP =
    "usage: velmora shutdown\n"
    "\n"
    "Stops the daemon. Every shell that it keeps is killed.\n";

const char* const VERSION_HELP =
    "usage: velmora version\n"
    "\n"
    "Prints the client's version, the protocol version and, when a daemon runs, its pid.\n";

const char* const DECODE_HELP =
    "usage: velmora decode\n"
    "\n"
    "Reads request lines on standard input and prints, for each, one JSON line: either\n"
    "{\"request\":{...}} with the request as the daemon understands it, in normalized form, or\n"
    "{\"error\":\"...\"} with the daemon's exact failure text. Lines end at a line feed; one\n"
    "carriage return before it is removed. No daemon is needed.\n";

const char* const HELP_HELP =
    "usage: velmora help [COMMAND]\n"
    "\n"
    "Shows the program's help or a command's help.\n";

bool is_help_flag(const std::string& arg) { return arg == "--help" || arg == "-h"; }

bool is_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

UsageError usage(std::string problem, std::string topic) {
  return UsageError{std::move(problem), std::move(topic)};
}

Parsed parse_attach(const std::vector<std::string>& args, std::size_t first) {
  AttachCommand command;
  bool have_key = false;
  bool only_operands = false;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!only_operands && is_option(arg)) {
      if (is_help_flag(arg)) return Command(HelpCommand{"attach"});
      if (arg == "--") {
        only_operands = true;
      } else if (arg == "-E") {
        command.detach_key = std::nullopt;
      } else if (arg == "--no-redraw") {
        command.redraw = Redraw::Skip;
      } else if (arg == "--no-history") {
        command.history = History::Skip;
      } else if (arg == "-e" || arg.rfind("-e", 0) == 0) {
        std::string value;
        if (arg.size() > 2) {
          value = arg.substr(2);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          return usage("option -e needs a key", "attach");
        }
        auto key = parse_detach_key(value);
        if (!key)
          return usage("bad detach key '" + value + "' (use ^x or one character)", "attach");
        command.detach_key = *key;
      } else {
        return usage("unknown option '" + arg + "'", "attach");
      }
      continue;
    }
    if (have_key) return usage("attach takes one session key", "attach");
    command.key = arg;
    have_key = true;
  }
  return Command(command);
}

Parsed parse_ls(const std::vector<std::string>& args, std::size_t first) {
  ListCommand command;
  for (std::size_t i = first; i < args.size(); ++i) {
    if (is_help_flag(args[i])) return Command(HelpCommand{"ls"});
    if (args[i] == "--json") {
      command.format = Format::Json;
    } else {
      return usage("unexpected argument '" + args[i] + "'", "ls");
    }
  }
  return Command(command);
}

Parsed parse_kill(const std::vector<std::string>& args, std::size_t first) {
  std::optional<std::string> key;
  bool only_operands = false;
  for (std::size_t i = first; i < args.size(); ++i) {
    if (!only_operands && is_option(args[i])) {
      if (is_help_flag(args[i])) return Command(HelpCommand{"kill"});
      if (args[i] == "--") {
        only_operands = true;
        continue;
      }
      return usage("unknown option '" + args[i] + "'", "kill");
    }
    if (key) return usage("kill takes one session key", "kill");
    key = args[i];
  }
  if (!key) return usage("kill needs a session key", "kill");
  return Command(KillCommand{*key});
}

// Options come before the key; everything after the key is text, dashes included.
Parsed parse_send(const std::vector<std::string>& args, std::size_t first) {
  Enter enter = Enter::Append;
  std::size_t i = first;
  for (; i < args.size() && is_option(args[i]); ++i) {
    if (is_help_flag(args[i])) return Command(HelpCommand{"send"});
    if (args[i] == "--") {
      ++i;
      break;
    }
    if (args[i] == "-n") {
      enter = Enter::Omit;
    } else {
      return usage("unknown option '" + args[i] + "'", "send");
    }
  }
  if (i >= args.size()) return usage("send needs a session key", "send");
  SendCommand command{args[i], {}};
  for (std::size_t word = i + 1; word < args.size(); ++word) {
    if (word > i + 1) command.text += ' ';
    command.text += args[word];
  }
  if (enter == Enter::Append) command.text += '\r';
  return Command(command);
}

template <typename T>
Parsed parse_bare(const std::vector<std::string>& args, std::size_t first, const char* name) {
  for (std::size_t i = first; i < args.size(); ++i) {
    if (is_help_flag(args[i])) return Command(HelpCommand{name});
    return usage(std::string(name) + " takes no arguments", name);
  }
  return Command(T{});
}

// Keys travel as JSON text, which must be UTF-8; the daemon drops a connection that sends
// anything else.
Parsed checked_key(Parsed parsed) {
  auto* command = std::get_if<Command>(&parsed);
  if (command == nullptr) return parsed;
  auto bad = [](const std::string& key) { return !is_valid_utf8(key); };
  const char* problem = "the session key is not valid UTF-8";
  if (auto* attach = std::get_if<AttachCommand>(command); attach && bad(attach->key))
    return usage(problem, "attach");
  if (auto* kill = std::get_if<KillCommand>(command); kill && bad(kill->key))
    return usage(problem, "kill");
  if (auto* send = std::get_if<SendCommand>(command); send && bad(send->key))
    return usage(problem, "send");
  return parsed;
}

Parsed parse_any(const std::vector<std::string>& args) {
  if (args.empty()) return Command(AttachCommand{});
  const std::string& first = args[0];
  if (is_help_flag(first)) return Command(HelpCommand{});
  if (first == "--version") return Command(VersionCommand{});
  // "velmora -e ^a" and the like: attach options without the command name.
  if (is_option(first)) return parse_attach(args, 0);
  if (first == "attach" || first == "a") return parse_attach(args, 1);
  if (first == "ls" || first == "list") return parse_ls(args, 1);
  if (first == "kill") return parse_kill(args, 1);
  if (first == "send") return parse_send(args, 1);
  if (first == "shutdown") return parse_bare<ShutdownCommand>(args, 1, "shutdown");
  if (first == "version") return parse_bare<VersionCommand>(args, 1, "version");
  if (first == "decode") return parse_bare<DecodeCommand>(args, 1, "decode");
  if (first == "help") {
    if (args.size() > 2) return usage("help takes at most one command", "");
    std::string topic = args.size() == 2 ? args[1] : "";
    if (!help_text(topic)) return usage("no help for '" + topic + "'", "");
    return Command(HelpCommand{topic});
  }
  return usage("unknown command '" + first + "'", "");
}

}  // namespace

Parsed parse_command_line(const std::vector<std::string>& args) {
  return checked_key(parse_any(args));
}

std::optional<std::string> help_text(const std::string& topic) {
  if (topic.empty()) return PROGRAM_HELP;
  if (topic == "attach" || topic == "a") return ATTACH_HELP;
  if (topic == "ls" || topic == "list") return LS_HELP;
  if (topic == "kill") return KILL_HELP;
  if (topic == "send") return SEND_HELP;
  if (topic == "shutdown") return SHUTDOWN_HELP;
  if (topic == "version") return VERSION_HELP;
  if (topic == "decode") return DECODE_HELP;
  if (topic == "help") return HELP_HELP;
  return std::nullopt;
}

std::string usage_line(const UsageError& error) {
  std::string hint = error.topic.empty() ? "velmora --help" : "velmora " + error.topic + " --help";
  return "velmora: " + error.problem + " (try '" + hint + "')";
}

}  // namespace velmora::client
