#pragma once

// A profiler that runs beside the timed part of a measure, attached to the daemon (and to the
// client, where the measure runs one).

#include <sys/types.h>

#include <string>

namespace velmora::bench {

// The processes of a measure, -1 where it has none.
struct ProfiledPids {
  pid_t daemon = -1;
  pid_t client = -1;         // the measure's first `velmora attach`
  pid_t client_daemon = -1;  // the daemon that client talks to
};

class Profiler {
 public:
  // Runs command with /bin/sh, "{pid}" replaced by the daemon's process id, "{client}" by the
  // client's and "{client_daemon}" by its daemon's, and gives it a second to attach. An empty
  // command does nothing, and so does one that names a process the measure does not have.
  Profiler(const std::string& command, ProfiledPids pids);
  Profiler(const Profiler&) = delete;
  Profiler& operator=(const Profiler&) = delete;
  // Stops the profiler with SIGINT, so that it writes its data, and reaps it.
  ~Profiler();

 private:
  pid_t m_pid = -1;
};

}  // namespace velmora::bench
