#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform.h"

namespace velmora::bench {

std::optional<CpuTimes> process_cpu_times(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses; the fields resume after the last ')'.
  auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  // Field 3 (state) comes first here; utime and stime are fields 14 and 15.
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int index = 3; index <= 15; ++index) {
    if (!(fields >> field)) return std::nullopt;
    if (index == 14) utime = std::stoull(field);
    if (index == 15) stime = std::stoull(field);
  }
  long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return std::nullopt;
  return CpuTimes{static_cast<double>(utime) / static_cast<double>(ticks),
                  static_cast<double>(stime) / static_cast<double>(ticks)};
}

std::optional<std::uint64_t> process_rss_bytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      unsigned long long kib = 0;
      if (std::sscanf(line.c_str() + 6, "%llu", &kib) != 1) return std::nullopt;
      return kib * 1024;
    }
  }
  return std::nullopt;
}

}  // namespace velmora::bench
