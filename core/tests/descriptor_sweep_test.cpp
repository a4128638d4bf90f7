#include "velmora/core/descriptor_sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"

namespace velmora {
namespace {

// Exit codes of the child below besides the count of descriptors left open.
constexpr int KEPT_ONE_CLOSED = 98;
constexpr int WAY_UNAVAILABLE = 103;
// Above every descriptor the child opens.
constexpr int HIGHEST_CHECKED = 2048;
#if defined(__linux__)
constexpr bool LISTING_EXPECTED = true;
#else
constexpr bool LISTING_EXPECTED = false;
#endif

// In a forked child: opens more descriptors than one listing buffer holds, one of them at a high
// number and the one to keep, runs the sweep and exits with the number of descriptors above 2
// still open apart from the kept one (capped), or one of the codes above. Counting uses fcntl
// only, so nothing in the child allocates.
template <typename Sweep>
int descriptors_left_after(Sweep sweep, int keep = DescriptorSweep::KEEP_NONE) {
  pid_t pid = ::fork();
  if (pid == 0) {
    for (int i = 0; i < 300; ++i) {
      if (::open("/dev/null", O_RDONLY) < 0) ::_exit(100);
    }
    if (::fcntl(0, F_DUPFD, 1000) < 0 && ::open("/dev/null", O_RDONLY) < 0) ::_exit(101);
    if (keep >= 0 && ::fcntl(keep, F_GETFD) == -1 && ::dup2(0, keep) != keep) ::_exit(102);
    if (!sweep(DescriptorSweep::prepare(keep))) ::_exit(WAY_UNAVAILABLE);
    if (keep >= 0 && ::fcntl(keep, F_GETFD) == -1) ::_exit(KEPT_ONE_CLOSED);
    int left = 0;
    for (int fd = 3; fd <= HIGHEST_CHECKED; ++fd) {
      if (fd != keep && ::fcntl(fd, F_GETFD) != -1) ++left;
    }
    ::_exit(left > 90 ? 90 : left);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool run_sweep(const DescriptorSweep& sweep) {
  sweep.run();
  return true;
}
bool by_range_call(const DescriptorSweep& sweep) {
  return platform::close_by_range_call(3, sweep.keep());
}
bool by_listing(const DescriptorSweep& sweep) {
  return platform::close_by_listing(3, sweep.keep());
}
bool by_loop(const DescriptorSweep& sweep) {
  platform::close_by_loop(3, sweep.keep(), sweep.limit());
  return true;
}

TEST(DescriptorSweep, EveryWayClosesAllButTheStandardStreamsAndTheKeptOne) {
  struct Way {
    const char* name;
    bool (*sweep)(const DescriptorSweep&);
    bool available;  // on this platform
  };
  const Way ways[] = {
      {"run", run_sweep, true},
      // close_range needs Linux 5.9 (older kernels fall back); macOS has no range call.
      {"range call", by_range_call, false},
      {"listing", by_listing, LISTING_EXPECTED},
      {"loop to the limit", by_loop, true},
  };
  // The kept one below, between and above the others, and right at 3, where a range call would
  // otherwise be asked for the empty range below it.
  for (int keep : {DescriptorSweep::KEEP_NONE, 3, 150, 1500}) {
    if (keep >= DescriptorSweep::prepare().limit()) continue;
    for (const Way& way : ways) {
      int left = descriptors_left_after(way.sweep, keep);
      if (left == WAY_UNAVAILABLE && !way.available) continue;
      EXPECT_EQ(left, 0) << way.name << ", keeping " << keep;
    }
  }
}

}  // namespace
}  // namespace velmora
