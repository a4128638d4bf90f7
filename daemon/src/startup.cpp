#include "startup.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "connection.h"
#include "platform.h"
#include "session_table.h"
#include "status_line.h"
#include "velmora/core/os_error.h"
#include "velmora/core/socket_path.h"
#include "velmora/core/unicode.h"

namespace velmora::daemon {
namespace {

// Exit status when the accepting thread cannot go on (EX_SOFTWARE).
constexpr int kFatalExitStatus = 70;

struct SocketAddress {
  sockaddr_un address{};
  socklen_t size = 0;
};

Result<SocketAddress> socket_address(const std::string& path) {
  SocketAddress result;
  result.address.sun_family = AF_UNIX;
  if (path.size() >= sizeof result.address.sun_path)
    return Error("path must be shorter than SUN_LEN");
  // An empty sun_path would name an abstract or automatic address on some systems; an empty
  // path names no file.
  if (path.empty()) return OsError(ENOENT).to_error();
  std::memcpy(result.address.sun_path, path.c_str(), path.size() + 1);
  result.size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return result;
}

enum class Probe { kNobody, kOurDaemon, kStranger };

// Who answers at the path. Only a peer running under our own user id counts as our daemon.
Probe probe(const SocketAddress& address, uid_t uid) {
  auto fd = open_stream_socket();
  if (!fd) return Probe::kNobody;
  const auto* raw = reinterpret_cast<const sockaddr*>(&address.address);
  if (::connect(fd->get(), raw, address.size) != 0) return Probe::kNobody;
  auto peer = peer_user_id(fd->get());
  if (peer && *peer == uid) return Probe::kOurDaemon;
  return Probe::kStranger;
}

// Removes a stale socket (or any file) at path, unless another user owns it: that file is not
// ours to delete, and the bind that follows then fails.
void remove_stale_file(const std::string& path, uid_t uid) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return;
  if (info.st_uid != uid) return;
  ::unlink(path.c_str());
}

bool is_resource_shortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

[[noreturn]] void accept_forever(const OwnedFd& listener,
                                 const std::shared_ptr<SessionTable>& table, uid_t uid) {
  while (true) {
    OwnedFd connection = accept_connection(listener.get());
    if (!connection) {
      // Out of descriptors or memory the pending connection stays queued; pausing avoids a busy
      // loop until something is released.
      if (is_resource_shortage(errno)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    // Only our own user's processes may talk to the daemon: anyone else is hung up on at once.
    auto peer = peer_user_id(connection.get());
    if (!peer || *peer != uid) continue;
    try {
      std::thread(serve, std::move(connection), table).detach();
    } catch (const std::exception& error) {
      write_status_line(std::string("failed to spawn thread: ") + error.what());
      std::_Exit(kFatalExitStatus);
    }
  }
}

}  // namespace

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = limit.rlim_max;
  // Enough for thousands of sessions, without handing every shell an enormous limit.
  constexpr rlim_t kEnough = 65536;
  if (wanted == RLIM_INFINITY || wanted > kEnough) wanted = kEnough;
#ifdef OPEN_MAX
  if (wanted > OPEN_MAX) wanted = OPEN_MAX;
#endif
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= wanted) return;
  limit.rlim_cur = wanted;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is fd itself.
    int opened = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (opened != fd) std::_Exit(1);
  }
}

std::string choose_socket_path(uid_t uid) {
  const char* value = std::getenv("VELMORAD_SOCKET");
  if (value != nullptr && is_valid_utf8(value)) return value;
  return socket_path(static_cast<std::uint32_t>(uid));
}

Result<OwnedFd> listen_at(const std::string& path) {
  auto address = socket_address(path);
  if (!address) return address.error();
  auto fd = open_stream_socket();
  if (!fd) return fd.error();
  // The socket file is created owner-only from the start: no moment in which another user could
  // connect. The umask is process-wide, which is safe only because start-up runs before any
  // other thread exists.
  mode_t previous = ::umask(0177);
  int rc = ::bind(fd->get(), reinterpret_cast<const sockaddr*>(&address->address), address->size);
  int bind_error = errno;
  ::umask(previous);
  if (rc != 0) return OsError(bind_error).to_error();
  if (::listen(fd->get(), -1) != 0) return OsError::from_errno().to_error();
  return std::move(*fd);
}

int run_daemon() {
  // Writing to a vanished client must fail with EPIPE, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Every session holds three descriptors and every client two; the usual soft limit would run
  // out at a few hundred sessions.
  raise_descriptor_limit();
  tune_allocator();

  uid_t uid = ::getuid();
  std::string path = choose_socket_path(uid);
  auto bind_failure = [&](const Error& error) {
    write_status_line("道を作れません（" + path + "）: " + error.text());
    return 1;
  };

  // An address that cannot be formed fails before anything at the path is touched.
  auto address = socket_address(path);
  if (!address) return bind_failure(address.error());

  switch (probe(*address, uid)) {
    case Probe::kOurDaemon:
      write_status_line("すでに動いています: " + path);
      return 0;
    case Probe::kStranger:
      // Another user's daemon: neither trusted nor removed; the bind below fails.
      break;
    case Probe::kNobody:
      remove_stale_file(path, uid);
      break;
  }

  auto listener = listen_at(path);
  if (!listener) return bind_failure(listener.error());

  auto table = make_session_table();
  write_status_line("待ち受けています: " + path);
  accept_forever(*listener, table, uid);
}

}  // namespace velmora::daemon
