#include "velmora/core/unix_socket.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform.h"
#include "velmora/core/os_error.h"
#include "velmora/core/socket_path.h"
#include "velmora/core/unicode.h"

namespace velmora {

std::string resolve_socket_path() {
  const char* value = std::getenv("VELMORAD_SOCKET");
  if (value != nullptr && is_valid_utf8(value)) return value;
  return socket_path(static_cast<std::uint32_t>(::getuid()));
}

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

Result<OwnedFd> open_stream_socket() {
  OwnedFd fd = platform::open_stream_socket();
  if (!fd) return OsError::from_errno().to_error();
  return fd;
}

int connect_socket(int socket, const SocketAddress& address) {
  const auto* raw = reinterpret_cast<const sockaddr*>(&address.address);
  int rc;
  do {
    rc = ::connect(socket, raw, address.size);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

Result<OwnedFd> connect_to(const std::string& path) {
  auto address = socket_address(path);
  if (!address) return address.error();
  auto fd = open_stream_socket();
  if (!fd) return fd.error();
  if (connect_socket(fd->get(), *address) != 0) return OsError::from_errno().to_error();
  return std::move(*fd);
}

int bind_owner_only(int socket, const SocketAddress& address, Threads threads) {
  return platform::bind_owner_only(socket, address, threads == Threads::running);
}

int listen_socket(int socket) { return ::listen(socket, -1); }

Result<OwnedFd> listen_owner_only(const std::string& path, Threads threads) {
  auto address = socket_address(path);
  if (!address) return address.error();
  auto fd = open_stream_socket();
  if (!fd) return fd.error();
  // Binding fails when any file is at the path: a socket that someone else has just put there is
  // never replaced.
  if (bind_owner_only(fd->get(), *address, threads) != 0) return OsError::from_errno().to_error();
  if (listen_socket(fd->get()) != 0) {
    Error error = OsError::from_errno().to_error();
    ::unlink(path.c_str());
    return error;
  }
  return std::move(*fd);
}

int widen_send_buffer(int socket, int bytes) {
  return ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

Result<uid_t> peer_user_id(int socket) {
  uid_t uid = 0;
  if (!platform::peer_user_id(socket, uid)) return OsError::from_errno().to_error();
  return uid;
}

}  // namespace velmora
