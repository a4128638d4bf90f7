#pragma once

// The benchmark's settings, its scratch directory, and the measures it takes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "daemon_process.h"
#include "front_end.h"
#include "profiler.h"
#include "report.h"
#include "terminal.h"
#include "velmora/core/result.h"

namespace velmora::bench {

struct Options {
  std::string daemon;                    // the velmorad binary
  std::string client;                    // the velmora binary, run through `velmora attach`
  std::string relay;                     // velmora_relay, the floor of any client; empty if none
  std::string untracked_daemon;          // velmorad without its mode tracker; empty if none
  std::string tmux;                      // tmux for the reference rows; empty if none
  std::string shell = "/bin/sh";         // the shell of every session and of the baseline
  std::size_t bulk_bytes = 128u << 20;   // the file that the bulk measure cats
  int bulk_rounds = 5;                   // raw and daemon runs, interleaved
  int tracker_pairs = 8;                 // fresh daemons with and without the mode tracker
  int echo_count = 2000;                 // round trips each, raw and daemon
  int resume_count = 100;                // resumes, and as many reference requests
  int reattach_count = 50;               // `velmora attach` until the screen is drawn
  int idle_sessions = 1000;              // the scale measure
  int shutdown_sessions = 500;           // live sessions when `shutdown` is sent
  std::size_t fan_in_bytes = 96u << 20;  // total output of one fan-in round
  int fan_in_rounds = 3;
  // Run beside each timed part; {pid} is the daemon, {client} the measure's first client and
  // {client_daemon} the daemon that it talks to.
  std::string profile_command;
};

// A private temporary directory; removed with everything in it when the workspace goes away.
class Workspace {
 public:
  static Result<Workspace> create();
  Workspace(Workspace&& other) noexcept : m_path(std::move(other.m_path)) { other.m_path.clear(); }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  ~Workspace();

  std::string file(const std::string& name) const { return m_path + "/" + name; }

  // A file of printable lines (no upper-case letters, so that no end marker can occur in it),
  // made once per name.
  Result<std::string> text_file(const std::string& name, std::size_t bytes) const;

  // A fresh daemon on its own socket in this directory.
  Result<DaemonProcess> start_daemon(const Options& options, const std::string& name) const;

 private:
  explicit Workspace(std::string path) : m_path(std::move(path)) {}
  std::string m_path;
};

// The ways in which a measure reaches a shell, each with a shell of its own: the raw baseline,
// the protocol level (this process as the daemon's client), through `velmora attach` on a
// terminal (with a daemon of its own), through `tmux attach` for reference, and through the bare
// relay for the floor of any client.
struct Sides {
  RawTerminal raw;
  DaemonProcess daemon;
  SessionTerminal session;
  std::optional<DaemonProcess> client_daemon;
  std::optional<RawTerminal> client;
  std::string client_missing;  // why there is no client side, when there is none
  std::optional<TmuxServer> tmux_server;
  std::optional<RawTerminal> tmux;
  std::optional<RawTerminal> relay;
  std::string relay_missing;  // why there is no relay side, when there is none
};

// Starts every side there is, each shell ready for commands; name is the daemons' socket name
// and the session key. A missing client, relay or tmux leaves its side out; only the raw and
// protocol sides are required.
Result<Sides> start_sides(const Options& options, const Workspace& workspace,
                          const std::string& name);

// Waits until the shell behind terminal answers, then drops what it printed until it has been
// quiet for the given time.
Result<void> wait_ready(Terminal& terminal,
                        std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

// The processes that a profiler may be pointed at.
inline ProfiledPids profiled(const Sides& sides) {
  return {sides.daemon.pid(), sides.client ? sides.client->shell().pid() : -1,
          sides.client_daemon ? sides.client_daemon->pid() : -1};
}

void measure_bulk(const Options& options, const Workspace& workspace, Report& report);
void measure_echo(const Options& options, const Workspace& workspace, Report& report);
void measure_resume(const Options& options, const Workspace& workspace, Report& report);
void measure_reattach(const Options& options, const Workspace& workspace, Report& report);
void measure_scale(const Options& options, const Workspace& workspace, Report& report);
void measure_shutdown(const Options& options, const Workspace& workspace, Report& report);
void measure_fan_in(const Options& options, const Workspace& workspace, Report& report);

// Progress for the person watching; the table comes at the end.
void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmora::bench
