#pragma once

// What differs between the platforms the protocol library runs on: one of platform_linux.cpp
// and platform_bsd.cpp is compiled.

namespace velmora::platform {

// The ways DescriptorSweep::run tries in turn, each closing every descriptor numbered first or
// higher except keep (which may be below first, i.e. none). Exposed so that the tests can run
// each of them where an earlier one would do the job. Async-signal-safe, no allocation.

// One call of the system's that closes a range (close_range, closefrom). False when the system
// has none or refuses it (close_range on Linux before 5.9); then nothing has been closed.
bool close_by_range_call(int first, int keep);

// Closes what a listing of the open descriptors names (Linux: /proc/self/fd read with raw
// getdents64 into a buffer on the stack). False when they cannot be listed that way, as on
// platforms whose only listing (opendir of /dev/fd) allocates.
bool close_by_listing(int first, int keep);

// The portable last resort, in descriptor_sweep.cpp: a close of every number below limit.
void close_by_loop(int first, int keep, int limit);

}  // namespace velmora::platform
