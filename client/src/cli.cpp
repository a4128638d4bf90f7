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
    "  attach [-x] [KEY]   attach this terminal to session KEY (default \"main\"), creating it\n"
    "                      unless -x is given\n"
    "  new [-d] KEY [-- COMMAND...]\n"
    "                      create session KEY and attach to it (-d: do not attach); COMMAND\n"
    "                      is typed into its shell\n"
    "  ls [--json]         list the sessions: directory and running command of each\n"
    "  kill KEY            end session KEY and its shell\n"
    "  send KEY TEXT...    type TEXT into session KEY without attaching\n"
    "  shutdown            stop the daemon and every shell it keeps\n"
    "  version             show the client, protocol and daemon versions\n"
    "  decode              show how the daemon reads request lines from standard input\n"
    "  help [COMMAND]      show this text or a command's help\n"
    "\n"
    "'velmora COMMAND --help' describes each command.\n"
    "\n"
    "keys while attached:\n"
    "  Ctrl-\\             detach; the shell keeps running\n"
    "  Ctrl-\\ Ctrl-\\      (twice within 0.3 s) send one Ctrl-\\ to the program instead\n"
    "\n"
    "environment:\n"
    "  VELMORAD_SOCKET     the daemon's socket (default /tmp/velmorad-<uid>.sock)\n"
    "\n"
    "exit status: 0 on success, 1 on failure, 2 on a usage error.\n";

const char* const ATTACH_HELP =
    "usage: velmora attach [-x] [-e KEY | -E] [--no-redraw] [--no-history] [SESSION]\n"
    "\n"
    "Attaches this terminal to SESSION (default \"main\"). A session that does not exist is\n"
    "created (unless -x is given): the daemon starts your login shell ($SHELL -l) in the\n"
    "current directory. An existing session is resumed: its screen is drawn as it is now\n"
    "(text, colours, the cursor, a full-screen program on the alternate screen, the\n"
    "keyboard, mouse and paste modes), then live output follows.\n"
    "\n"
    "The lines that scrolled off the session's screen go into this terminal's own\n"
    "scrollback, above the drawn screen. A terminal gets each line once: velmora remembers\n"
    "how far each terminal has seen a session (in $XDG_STATE_HOME/velmora/seen, or\n"
    "~/.local/state/velmora/seen), so reattaching in the same terminal adds only what came\n"
    "since. Nothing that velmora writes erases the terminal's scrollback.\n"
    "\n"
    "The detach key (Ctrl-\\ unless changed) detaches: the shell runs on and a later attach\n"
    "resumes it. Pressed twice in a row, the second time within 0.3 seconds of the first,\n"
    "the key does not detach: the program in the session receives it once. So a single\n"
    "press detaches 0.3 seconds later, or at once when another key follows it (that key is\n"
    "dropped).\n"
    "\n"
    "velmora ends with a line of its own: \"[detached from SESSION]\", \"[SESSION exited]\"\n"
    "when the shell ends, \"[SESSION attached elsewhere]\" when another terminal resumes the\n"
    "session (status 0 for all three), \"[daemon went away]\" (status 1). A connection that\n"
    "the daemon drops while it still runs (after velmora was stopped too long, say) is taken\n"
    "up again by itself, the screen drawn anew.\n"
    "\n"
    "options:\n"
    "  -x, --existing  attach only to a session that exists; fail when there is none\n"
    "  -e KEY          detach with KEY instead: ^x for Ctrl-x (for example ^a, ^\\, ^]) or a\n"
    "                  single character\n"
    "  -E              no detach key: every byte goes to the shell\n"
    "  --no-redraw     do not nudge a full-screen program to repaint after resuming\n"
    "                  (normally the terminal's height changes for a moment when one is\n"
    "                  running, so that it redraws at this terminal's size; a shell is\n"
    "                  never nudged)\n"
    "  --no-history    draw the screen only: push none of the session's earlier lines into\n"
    "                  this terminal's scrollback\n"
    "\n"
    "A new session receives the terminal's size, the current directory and these variables\n"
    "from this environment, each when set: TERM, COLORTERM, LANG, every LC_* variable, and\n"
    "SSH_AUTH_SOCK, SSH_CONNECTION, DISPLAY, WAYLAND_DISPLAY and XAUTHORITY, so that ssh and\n"
    "graphical programs started in the session reach this terminal's agent and display. Its\n"
    "shell also gets VELMORA_SESSION (the session's key) and VELMORA_SESSION_SOCKET (the\n"
    "daemon's socket); attaching a session from inside itself is refused.\n"
    "\n"
    "When no daemon answers on the socket, velmora starts velmorad in the background. It\n"
    "looks for velmorad next to the velmora program, then in ../daemon/ beside it (a build\n"
    "tree), then on PATH.\n";

const char* const NEW_HELP =
    "usage: velmora new [-d] [-e KEY | -E] [--no-redraw] SESSION [-- COMMAND...]\n"
    "\n"
    "Creates SESSION, which must not exist yet, the way attach creates one (your login shell,\n"
    "the current directory, this terminal's size and variables), then attaches to it. With\n"
    "-d, or without a terminal on standard input, it does not attach: velmora returns once\n"
    "the session runs.\n"
    "\n"
    "With COMMAND, its words are joined with blanks and typed into the new shell, then Enter,\n"
    "as soon as the shell has shown its prompt; quote as you would when typing at that shell.\n"
    "For example: velmora new -d build -- make -j8\n"
    "\n"
    "options:\n"
    "  -d, --detached  do not attach\n"
    "  -e KEY, -E, --no-redraw\n"
    "                  as for attach (see 'velmora attach --help')\n";

const char* const LS_HELP =
    "usage: velmora ls [--json]\n"
    "\n"
    "Lists the sessions, sorted by key: KEY, the shell's PID, the session's AGE, CWD, the\n"
    "shell's current directory (its starting directory when the current one cannot be read),\n"
    "and COMMAND, the command in the session's foreground (the shell itself at its prompt).\n"
    "A key wider than 24 columns stands on a line of its own, the rest of its row on the\n"
    "next line. On a terminal, lines are cut at its width.\n"
    "\n"
    "With --json, prints one JSON object per session and line instead:\n"
    "{\"key\":...,\"pid\":...,\"startedAt\":SECONDS,\"startCwd\":...,\"cwd\":...,\"command\":...},"
    "\n"
    "where cwd (the current directory) and command are null when they cannot be read.\n"
    "With no daemon running there are no sessions.\n";

const char* const KILL_HELP =
    "usage: velmora kill SESSION\n"
    "\n"
    "Ends SESSION: its shell is killed and the session is gone from the list.\n";

const char* const SEND_HELP =
    "usage: velmora send [-n] SESSION [--] [TEXT...]\n"
    "\n"
    "Types TEXT into SESSION as if it had been typed at its terminal: the words joined with\n"
    "blanks, then Enter (a carriage return). SESSION must exist; send never creates one.\n"
    "\n"
    "Options stand before SESSION; every word after it is text, dashes included. A \"--\"\n"
    "before SESSION or right after it ends the options and is not typed: velmora send work --\n"
    "ls -l types \"ls -l\".\n"
    "\n"
    "options:\n"
    "  -n    do not press Enter after the text\n"
    "  --    end of options\n";

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
    "carriage return before it is removed; blank lines get no answer, as the daemon skips them.\n"
    "No daemon is needed.\n";

const char* const HELP_HELP =
    "usage: velmora help [COMMAND]\n"
    "\n"
    "Shows the program's help or a command's help.\n";

bool is_help_flag(const std::string& arg) { return arg == "--help" || arg == "-h"; }

bool is_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

UsageError usage(std::string problem, std::string topic) {
  return UsageError{std::move(problem), std::move(topic)};
}

enum class Option { taken, unknown, faulty };

// The options that shape an attachment, shared by attach and new; i moves past a value.
Option take_attach_option(const std::vector<std::string>& args, std::size_t& i,
                          AttachCommand& command, UsageError& fault, const char* topic) {
  const std::string& arg = args[i];
  if (arg == "-E") {
    command.detach_key = std::nullopt;
  } else if (arg == "--no-redraw") {
    command.redraw = Redraw::skip;
  } else if (arg == "--no-history") {
    command.history = History::skip;
  } else if (arg.rfind("-e", 0) == 0) {
    std::string value;
    if (arg.size() > 2) {
      value = arg.substr(2);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      fault = usage("option -e needs a key", topic);
      return Option::faulty;
    }
    auto key = parse_detach_key(value);
    if (!key) {
      fault = usage("bad detach key '" + value + "' (use ^x or one character)", topic);
      return Option::faulty;
    }
    command.detach_key = *key;
  } else {
    return Option::unknown;
  }
  return Option::taken;
}

Parsed parse_attach(const std::vector<std::string>& args, std::size_t first) {
  AttachCommand command;
  bool have_key = false;
  bool only_operands = false;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!only_operands && is_option(arg)) {
      if (is_help_flag(arg)) return Command(HelpCommand{"attach"});
      UsageError fault;
      if (arg == "--") {
        only_operands = true;
      } else if (arg == "-x" || arg == "--existing") {
        command.require = Require::existing;
      } else if (auto taken = take_attach_option(args, i, command, fault, "attach");
                 taken == Option::faulty) {
        return fault;
      } else if (taken == Option::unknown) {
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

// The words joined with blanks, as typed; Enter appended when asked for.
std::string typed_line(const std::vector<std::string>& args, std::size_t first, Enter enter) {
  std::string line;
  for (std::size_t word = first; word < args.size(); ++word) {
    if (word > first) line += ' ';
    line += args[word];
  }
  if (enter == Enter::append) line += '\r';
  return line;
}

// Options and the key in any order up to "--"; after the key and "--", the command's words.
Parsed parse_new(const std::vector<std::string>& args, std::size_t first) {
  NewCommand command;
  std::optional<std::string> key;
  bool only_operands = false;
  std::size_t i = first;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!only_operands && is_option(arg)) {
      if (is_help_flag(arg)) return Command(HelpCommand{"new"});
      UsageError fault;
      if (arg == "--") {
        only_operands = true;
        if (key) break;
      } else if (arg == "-d" || arg == "--detached") {
        command.start = Start::detached;
      } else if (auto taken = take_attach_option(args, i, command.attach, fault, "new");
                 taken == Option::faulty) {
        return fault;
      } else if (taken == Option::unknown) {
        return usage("unknown option '" + arg + "'", "new");
      }
      continue;
    }
    // Only words after "--" belong to the command.
    if (key) return usage("unexpected '" + arg + "' (put the command after --)", "new");
    key = arg;
    if (only_operands) {
      // "new -- KEY -- COMMAND": a second "--" may separate the command too.
      if (i + 1 < args.size() && args[i + 1] == "--") ++i;
      break;
    }
  }
  if (!key) return usage("new needs a session key", "new");
  command.attach.key = *key;
  if (i + 1 < args.size()) command.typed = typed_line(args, i + 1, Enter::append);
  return Command(command);
}

Parsed parse_ls(const std::vector<std::string>& args, std::size_t first) {
  ListCommand command;
  for (std::size_t i = first; i < args.size(); ++i) {
    if (is_help_flag(args[i])) return Command(HelpCommand{"ls"});
    if (args[i] == "--json") {
      command.format = Format::json;
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

// Options come before the key; everything after the key is text, dashes included, except one
// "--" right after it.
Parsed parse_send(const std::vector<std::string>& args, std::size_t first) {
  Enter enter = Enter::append;
  std::size_t i = first;
  for (; i < args.size() && is_option(args[i]); ++i) {
    if (is_help_flag(args[i])) return Command(HelpCommand{"send"});
    if (args[i] == "--") {
      ++i;
      break;
    }
    if (args[i] == "-n") {
      enter = Enter::omit;
    } else {
      return usage("unknown option '" + args[i] + "'", "send");
    }
  }
  if (i >= args.size()) return usage("send needs a session key", "send");
  std::size_t text = i + 1;
  if (text < args.size() && args[text] == "--") ++text;
  return Command(SendCommand{args[i], typed_line(args, text, enter)});
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
  if (auto* made = std::get_if<NewCommand>(command); made && bad(made->attach.key))
    return usage(problem, "new");
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
  if (first == "new") return parse_new(args, 1);
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
  if (topic == "new") return NEW_HELP;
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
