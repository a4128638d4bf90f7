#pragma once

// The listening socket, and its file at the socket path kept in place while the daemon lives.

#include <optional>
#include <string>

#include <sys/types.h>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"
#include "velmora/core/unix_socket.h"

namespace velmora::daemon {

class Listener {
 public:
  // A non-blocking listening socket bound to path, the file created with mode 0600. The error
  // text is the OS error's display rendering, or "path must be shorter than SUN_LEN".
  static Result<Listener> open(const std::string& path, Threads threads);

  int fd() const { return m_fd.get(); }

  // Run every few seconds. Cleaners of /tmp delete files by age: the file's times are refreshed
  // every half hour, and when the file has gone the socket is bound again (the listening line is
  // written again), so the sessions stay reachable. A file that another process put at the path
  // (another daemon's socket, say) is never touched. Returns the replaced socket, whose pending
  // connections the caller may still accept.
  std::optional<OwnedFd> keep_file();

 private:
  Listener(std::string path, OwnedFd fd, dev_t device, ino_t inode)
      : m_path(std::move(path)), m_fd(std::move(fd)), m_device(device), m_inode(inode) {}

  std::string m_path;
  OwnedFd m_fd;
  // Which file is ours.
  dev_t m_device;
  ino_t m_inode;
};

}  // namespace velmora::daemon
