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
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "connection.h"
#include "listener.h"
#include "platform.h"
#include "session_table.h"
#include "status_line.h"
#include "velmora/core/os_error.h"
#include "velmora/core/unix_socket.h"
#include "velmora/pty/child.h"

namespace velmora::daemon {
namespace {

// How often the accept loop looks at the socket file: the longest a deleted socket stays away.
constexpr std::chrono::seconds FILE_CHECK_INTERVAL{2};
// The pause after running out of descriptors, memory or threads, instead of spinning.
constexpr std::chrono::milliseconds SHORTAGE_PAUSE{50};
// Room for a full resume's line and some output behind it.
constexpr int SEND_BUFFER = 1024 * 1024;

enum class Probe { nobody, our_daemon, stranger };

// Who answers at the path. Only a peer running under our own user id counts as our daemon.
Probe probe(const SocketAddress& address, uid_t uid) {
  auto fd = open_stream_socket();
  if (!fd) return Probe::nobody;
  if (connect_socket(fd->get(), address) != 0) return Probe::nobody;
  auto peer = peer_user_id(fd->get());
  if (peer && *peer == uid) return Probe::our_daemon;
  return Probe::stranger;
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

enum class Accepted { one, none };

Accepted accept_one(int listener, const std::shared_ptr<SessionTable>& table, uid_t uid) {
  OwnedFd connection = accept_connection(listener);
  if (!connection) {
    // Out of descriptors or memory the pending connection stays queued; pausing avoids a busy
    // loop until something is released.
    if (is_resource_shortage(errno)) std::this_thread::sleep_for(SHORTAGE_PAUSE);
    return Accepted::none;
  }
  // Only our own user's processes may talk to the daemon: anyone else is hung up on at once.
  auto peer = peer_user_id(connection.get());
  if (!peer || *peer != uid) return Accepted::one;
  // A resume's line (a full replay, some 350 KiB) then goes out in one send instead of waiting
  // for the client to read the first part, and the pump runs ahead of a client that reads in
  // bursts. Where the system grants less the daemon works all the same.
  (void)widen_send_buffer(connection.get(), SEND_BUFFER);
  try {
    std::thread(serve, std::move(connection), table).detach();
  } catch (const std::exception& error) {
    // Usually the process limit, reached by some session's jobs. Only this connection is lost:
    // it was closed with the thread's arguments, and every shell lives on.
    write_status_line(std::string("failed to spawn thread: ") + error.what());
    std::this_thread::sleep_for(SHORTAGE_PAUSE);
  }
  return Accepted::one;
}

[[noreturn]] void accept_forever(Listener& listener, const std::shared_ptr<SessionTable>& table,
                                 uid_t uid) {
  using Clock = std::chrono::steady_clock;
  auto next_check = Clock::now() + FILE_CHECK_INTERVAL;
  while (true) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(next_check - Clock::now());
    if (left.count() <= 0) {
      if (auto replaced = listener.keep_file()) {
        // Whoever connected just before the file went is still served.
        while (accept_one(replaced->get(), table, uid) == Accepted::one) {
        }
      }
      next_check = Clock::now() + FILE_CHECK_INTERVAL;
      continue;
    }
    pollfd pfd{listener.fd(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) > 0) accept_one(listener.fd(), table, uid);
  }
}

}  // namespace

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = limit.rlim_max;
  // Enough for thousands of sessions, without handing every shell an enormous limit.
  constexpr rlim_t ENOUGH = 65536;
  if (wanted == RLIM_INFINITY || wanted > ENOUGH) wanted = ENOUGH;
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

int run_daemon() {
  // Writing to a vanished client must fail with EPIPE, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Every session holds three descriptors and every client two; the usual soft limit would run
  // out at a few hundred sessions.
  raise_descriptor_limit();
  tune_allocator();

  uid_t uid = ::getuid();
  std::string path = resolve_socket_path();
  auto bind_failure = [&](const Error& error) {
    write_status_line("道を作れません（" + path + "）: " + error.text());
    return 1;
  };

  // An address that cannot be formed fails before anything at the path is touched.
  auto address = socket_address(path);
  if (!address) return bind_failure(address.error());

  switch (probe(*address, uid)) {
    case Probe::our_daemon:
      write_status_line("すでに動いています: " + path);
      return 0;
    case Probe::stranger:
      // Another user's daemon: neither trusted nor removed; the bind below fails.
      break;
    case Probe::nobody:
      remove_stale_file(path, uid);
      break;
  }

  // No other thread exists yet.
  auto listener = Listener::open(path, Threads::not_yet);
  if (!listener) return bind_failure(listener.error());

  auto table = std::make_shared<SessionTable>();
  write_status_line("待ち受けています: " + path);
  // The thread that collects ended shells starts now, before any session's jobs can use up the
  // process limit; should it not start, every new shell tries again.
  if (auto collecting = pty::start_collecting(); !collecting)
    write_status_line("failed to spawn thread: " + collecting.error().text());
  accept_forever(*listener, table, uid);
}

}  // namespace velmora::daemon
