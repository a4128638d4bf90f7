#include "velmora/core/descriptor_sweep.h"

#include <sys/resource.h>
#include <unistd.h>

#include "platform.h"

namespace velmora {
namespace {

constexpr int FIRST = 3;

// Bounds the loop when the system names no limit (or an absurd one): the default ceiling of a
// Linux descriptor table, and what is left to a system that reports nothing at all.
constexpr long LARGEST_LIMIT = 1 << 20;
constexpr long UNKNOWN_LIMIT = 65536;

int descriptor_limit() {
  long limit = UNKNOWN_LIMIT;
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    limit = files.rlim_cur > static_cast<rlim_t>(LARGEST_LIMIT) ? LARGEST_LIMIT
                                                                : static_cast<long>(files.rlim_cur);
  } else if (long open_max = ::sysconf(_SC_OPEN_MAX); open_max > 0) {
    limit = open_max > LARGEST_LIMIT ? LARGEST_LIMIT : open_max;
  }
  return static_cast<int>(limit);
}

}  // namespace

DescriptorSweep DescriptorSweep::prepare(int keep) {
  return DescriptorSweep(keep >= FIRST ? keep : KEEP_NONE, descriptor_limit());
}

void DescriptorSweep::run() const {
  if (platform::close_by_range_call(FIRST, m_keep)) return;
  if (platform::close_by_listing(FIRST, m_keep)) return;
  platform::close_by_loop(FIRST, m_keep, m_limit);
}

namespace platform {

void close_by_loop(int first, int keep, int limit) {
  for (int fd = first; fd < limit; ++fd) {
    if (fd != keep) ::close(fd);
  }
}

}  // namespace platform
}  // namespace velmora
