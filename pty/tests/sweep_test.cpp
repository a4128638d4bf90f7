#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform.h"

namespace velmora::pty {
namespace {

// In a forked child: opens more descriptors than one listing pass handles, some of them at high
// numbers, runs the sweep and exits with the number of descriptors above 2 still open (capped).
int descriptors_left_after(void (*sweep)()) {
  pid_t pid = ::fork();
  if (pid == 0) {
    for (int i = 0; i < 300; ++i) {
      if (::open("/dev/null", O_RDONLY) < 0) ::_exit(100);
    }
    if (::fcntl(0, F_DUPFD, 1000) < 0 && ::open("/dev/null", O_RDONLY) < 0) ::_exit(101);
    sweep();
    int left = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) ::_exit(102);
    while (struct dirent* entry = ::readdir(dir)) {
      int fd = entry->d_name[0] == '.' ? -1 : std::atoi(entry->d_name);
      if (fd > 2 && fd != ::dirfd(dir)) ++left;
    }
    ::closedir(dir);
    ::_exit(left > 99 ? 99 : left);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(DescriptorSweep, EveryWayClosesAllButTheStandardStreams) {
  EXPECT_EQ(descriptors_left_after(platform::close_descriptors_from_3), 0);
  EXPECT_EQ(descriptors_left_after(platform::close_from_3_by_dev_fd_listing), 0);
  EXPECT_EQ(descriptors_left_after([] {
              if (!platform::close_from_3_by_proc_listing()) ::_exit(103);
            }),
            0);
}

}  // namespace
}  // namespace velmora::pty
