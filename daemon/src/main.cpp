#include "startup.h"

int main() {
  // Before anything else may open a descriptor.
  velmora::daemon::ensure_standard_descriptors();
  return velmora::daemon::run_daemon();
}
