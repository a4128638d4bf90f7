#include <unistd.h>

#include "platform.h"

// The BSDs have closefrom; macOS has neither it nor an allocation-free listing of its
// descriptors (opendir of /dev/fd allocates), so there the loop up to the limit does the job.
#if defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || defined(__DragonFly__)
#define VELMORA_HAVE_CLOSEFROM 1
#else
#define VELMORA_HAVE_CLOSEFROM 0
#endif

namespace velmora::platform {

bool close_by_range_call(int first, int keep) {
#if VELMORA_HAVE_CLOSEFROM
  if (keep >= first) {
    for (int fd = first; fd < keep; ++fd) ::close(fd);
    first = keep + 1;
  }
  // Its result (void on FreeBSD, EBADF elsewhere when nothing was open) says nothing we need.
  (void)::closefrom(first);
  return true;
#else
  (void)first;
  (void)keep;
  return false;
#endif
}

bool close_by_listing(int, int) { return false; }

}  // namespace velmora::platform
