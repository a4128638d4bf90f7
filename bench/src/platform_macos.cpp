#include <libproc.h>
#include <mach/mach_time.h>

#include "platform.h"

namespace velmora::bench {

namespace {

std::optional<proc_taskinfo> task_info(pid_t pid) {
  proc_taskinfo info{};
  if (::proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &info, sizeof info) != sizeof info)
    return std::nullopt;
  return info;
}

}  // namespace

std::optional<CpuTimes> process_cpu_times(pid_t pid) {
  auto info = task_info(pid);
  if (!info) return std::nullopt;
  // The totals are in mach time units, which are nanoseconds only on some machines.
  mach_timebase_info_data_t base{};
  if (::mach_timebase_info(&base) != KERN_SUCCESS || base.denom == 0) return std::nullopt;
  double seconds_per_unit = static_cast<double>(base.numer) / base.denom / 1e9;
  return CpuTimes{static_cast<double>(info->pti_total_user) * seconds_per_unit,
                  static_cast<double>(info->pti_total_system) * seconds_per_unit};
}

std::optional<std::uint64_t> process_rss_bytes(pid_t pid) {
  auto info = task_info(pid);
  if (!info) return std::nullopt;
  return info->pti_resident_size;
}

}  // namespace velmora::bench
