#pragma once

// A profiler that runs beside the timed part of a measure, attached to the daemon (and to the
// client, where the measure runs one).

#include <sys/types.h>

#include <string>

namespace velmora::bench {

class Profiler {
 public:
  // Runs command with /bin/sh, "{pid}" replaced by the daemon's process id and "{client}" by
  // the client's, and gives it a second to attach. An empty command does nothing, and so does
  // one that names {client} where the measure has no client.
  Profiler(const std::string& command, pid_t daemon, pid_t client = -1);
  Profiler(const Profiler&) = delete;
  Profiler& operator=(const Profiler&) = delete;
  // Stops the profiler with SIGINT, so that it writes its data, and reaps it.
  ~Profiler();

 private:
  pid_t m_pid = -1;
};

}  // namespace velmora::bench
