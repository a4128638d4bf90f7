// velmora_bench: starts the built velmorad on private sockets, drives it as a client would, and
// prints its figures beside a raw pseudo-terminal baseline that it runs itself.

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "bench.h"

namespace {

using velmora::bench::Options;

constexpr const char* USAGE =
    "usage: velmora_bench [--daemon PATH] [--client PATH] [--relay PATH]\n"
    "                     [--untracked-daemon PATH] [--no-tmux] [--quick] [--only LIST]\n"
    "                     [--profile COMMAND]\n"
    "  --daemon PATH      the velmorad binary (default: the one built beside this program)\n"
    "  --client PATH      the velmora binary, run as `velmora attach` on a terminal that the\n"
    "                     benchmark reads (default: the one built beside this program)\n"
    "  --relay PATH       velmora_relay, the bare relay between two terminals whose rows are\n"
    "                     the floor of any client (default: the one built beside this program)\n"
    "  --untracked-daemon PATH\n"
    "                     velmorad built without its terminal-mode tracker, for the tracker's\n"
    "                     cost (default: velmorad_untracked beside --daemon, if it is there)\n"
    "  --no-tmux          leave out the tmux reference rows (run when tmux is on PATH)\n"
    "  --quick            smaller files and fewer iterations; done in about a minute\n"
    "  --only LIST        comma-separated measures:\n"
    "                     bulk,echo,resume,reattach,scale,shutdown,fanin\n"
    "  --profile COMMAND  run COMMAND beside the timed part of each measure, {pid} being the\n"
    "                     daemon's process id, {client} that of the measure's first client and\n"
    "                     {client_daemon} that of the client's daemon (a measure without them\n"
    "                     skips the command), e.g.\n"
    "                     'perf record -g -p {client_daemon},{client} -o perf.data'; it is\n"
    "                     stopped with SIGINT\n";

void make_quick(Options& options) {
  options.bulk_bytes = 16u << 20;
  options.bulk_rounds = 3;
  options.tracker_pairs = 4;
  options.echo_count = 400;
  options.resume_count = 20;
  options.reattach_count = 20;
  options.idle_sessions = 200;
  options.shutdown_sessions = 100;
  options.fan_in_bytes = 16u << 20;
  options.fan_in_rounds = 1;
}

// Every session needs a few descriptors in the daemon, which inherits this limit.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

bool is_program(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
#ifdef VELMORA_BENCH_DEFAULT_DAEMON
  options.daemon = VELMORA_BENCH_DEFAULT_DAEMON;
#endif
#ifdef VELMORA_BENCH_DEFAULT_CLIENT
  options.client = VELMORA_BENCH_DEFAULT_CLIENT;
#endif
#ifdef VELMORA_BENCH_DEFAULT_RELAY
  options.relay = VELMORA_BENCH_DEFAULT_RELAY;
#endif
  std::optional<std::string> untracked;
  bool with_tmux = true;
  std::set<std::string> only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      make_quick(options);
    } else if (arg == "--daemon" && has_value) {
      options.daemon = argv[++i];
    } else if (arg == "--client" && has_value) {
      options.client = argv[++i];
    } else if (arg == "--relay" && has_value) {
      options.relay = argv[++i];
    } else if (arg == "--untracked-daemon" && has_value) {
      untracked = argv[++i];
    } else if (arg == "--no-tmux") {
      with_tmux = false;
    } else if (arg == "--only" && has_value) {
      std::stringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) only.insert(item);
    } else if (arg == "--profile" && has_value) {
      options.profile_command = argv[++i];
    } else {
      std::fputs(USAGE, arg == "--help" ? stdout : stderr);
      return arg == "--help" ? 0 : 2;
    }
  }
  if (options.daemon.empty() || ::access(options.daemon.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "velmora_bench: no velmorad binary at '%s'\n%s", options.daemon.c_str(),
                 USAGE);
    return 2;
  }
  if (!is_program(options.client)) {
    std::fprintf(stderr, "velmora_bench: no velmora client at '%s': its rows will fail\n",
                 options.client.c_str());
    options.client.clear();
  }
  if (!is_program(options.relay)) {
    std::fprintf(stderr, "velmora_bench: no velmora_relay at '%s': its rows are left out\n",
                 options.relay.c_str());
    options.relay.clear();
  }
  if (untracked) {
    if (!is_program(*untracked)) {
      std::fprintf(stderr, "velmora_bench: no velmorad_untracked at '%s'\n%s", untracked->c_str(),
                   USAGE);
      return 2;
    }
    options.untracked_daemon = *untracked;
  } else {
    std::string beside = std::filesystem::path(options.daemon).parent_path() / "velmorad_untracked";
    if (is_program(beside)) options.untracked_daemon = beside;
  }
  if (with_tmux) options.tmux = velmora::bench::find_on_path("tmux");
  if (::access(options.shell.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "velmora_bench: no shell at %s\n", options.shell.c_str());
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();

  auto workspace = velmora::bench::Workspace::create();
  if (!workspace) {
    std::fprintf(stderr, "velmora_bench: %s\n", workspace.error().text().c_str());
    return 1;
  }
  using Measure =
      void (*)(const Options&, const velmora::bench::Workspace&, velmora::bench::Report&);
  const std::vector<std::pair<std::string, Measure>> measures = {
      {"bulk", velmora::bench::measure_bulk},     {"echo", velmora::bench::measure_echo},
      {"resume", velmora::bench::measure_resume}, {"reattach", velmora::bench::measure_reattach},
      {"scale", velmora::bench::measure_scale},   {"shutdown", velmora::bench::measure_shutdown},
      {"fanin", velmora::bench::measure_fan_in},
  };
  for (const auto& wanted : only) {
    bool known = false;
    for (const auto& [name, measure] : measures) known = known || name == wanted;
    if (!known) {
      std::fprintf(stderr, "velmora_bench: unknown measure '%s'\n%s", wanted.c_str(), USAGE);
      return 2;
    }
  }
  velmora::bench::Report report;
  // Every figure is relative to what else the machine is doing.
  auto add_load = [&report](const char* when) {
    double load[1] = {0};
    if (::getloadavg(load, 1) != 1) return;
    report.add({std::string("load average ") + when + " (1 min)", velmora::bench::fixed(load[0], 2),
                "", "", "idle machine", velmora::bench::Verdict::info});
  };
  add_load("before");
  for (const auto& [name, measure] : measures)
    if (only.empty() || only.count(name) != 0) measure(options, *workspace, report);
  add_load("after");
  std::printf("\n");
  report.print(stdout);
  return report.all_passed() ? 0 : 1;
}
