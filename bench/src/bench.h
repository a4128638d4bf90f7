#pragma once

// The benchmark's settings, its scratch directory, and the measures it takes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "daemon_process.h"
#include "report.h"
#include "terminal.h"
#include "velmora/core/result.h"

namespace velmora::bench {

struct Options {
  std::string daemon;                    // the velmorad binary
  std::string shell = "/bin/sh";         // the shell of every session and of the baseline
  std::size_t bulk_bytes = 128u << 20;   // the file that the bulk measure cats
  int bulk_rounds = 5;                   // raw and daemon runs, interleaved
  int echo_count = 2000;                 // round trips each, raw and daemon
  int resume_count = 100;                // resumes, and as many reference requests
  int idle_sessions = 1000;              // the scale measure
  int shutdown_sessions = 500;           // live sessions when `shutdown` is sent
  std::size_t fan_in_bytes = 96u << 20;  // total output of one fan-in round
  int fan_in_rounds = 3;
  std::string profile_command;  // run beside each timed part; {pid} is the daemon
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

// The two sides of a comparison: a fresh daemon with one session, and a raw shell beside it.
struct SideBySide {
  DaemonProcess daemon;
  SessionTerminal session;
  RawTerminal raw;
};

// Starts both; name is the daemon's socket name and the session key.
Result<SideBySide> start_side_by_side(const Options& options, const Workspace& workspace,
                                      const std::string& name);

void measure_bulk(const Options& options, const Workspace& workspace, Report& report);
void measure_echo(const Options& options, const Workspace& workspace, Report& report);
void measure_resume(const Options& options, const Workspace& workspace, Report& report);
void measure_scale(const Options& options, const Workspace& workspace, Report& report);
void measure_shutdown(const Options& options, const Workspace& workspace, Report& report);
void measure_fan_in(const Options& options, const Workspace& workspace, Report& report);

// Progress for the person watching; the table comes at the end.
void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmora::bench
