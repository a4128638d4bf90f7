#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "attach_loop.h"
#include "cli.h"
#include "commands.h"
#include "create_session.h"
#include "decode_command.h"
#include "io_util.h"

using namespace velmora::client;

namespace {

int run(const Command& command) {
  struct Visitor {
    int operator()(const AttachCommand& c) const { return run_attach(c); }
    int operator()(const NewCommand& c) const { return run_new(c); }
    int operator()(const ListCommand& c) const { return run_list(c); }
    int operator()(const KillCommand& c) const { return run_kill(c); }
    int operator()(const SendCommand& c) const { return run_send(c); }
    int operator()(const ShutdownCommand&) const { return run_shutdown(); }
    int operator()(const VersionCommand&) const { return run_version(); }
    int operator()(const DecodeCommand&) const { return run_decode(STDIN_FILENO, STDOUT_FILENO); }
    int operator()(const HelpCommand& c) const {
      auto text = help_text(c.topic);
      return text && write_all(STDOUT_FILENO, *text) ? 0 : 1;
    }
  };
  return std::visit(Visitor{}, command);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe or terminal shows up as a failed write, handled where it happens.
  std::signal(SIGPIPE, SIG_IGN);
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // A reattach works through a few buffers of a few hundred KiB each. Left to malloc, each is a
  // mapping of its own, faulted in page by page and unmapped when freed, so that the next one
  // faults again: half a millisecond of a reattach. From the heap, freed memory is used again;
  // at most a few MiB of it is kept.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  Parsed parsed = parse_command_line(args);
  if (auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "%s\n", usage_line(*error).c_str());
    return 2;
  }
  return run(std::get<Command>(parsed));
}
