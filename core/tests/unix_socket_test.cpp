#include "velmora/core/unix_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "velmora/core/os_error.h"
#include "velmora/core/socket_path.h"

namespace velmora {
namespace {

// A fresh directory, removed with what the test left in it.
class SocketDir {
 public:
  SocketDir() {
    char name[] = "/tmp/velmora-socket-XXXXXX";
    if (::mkdtemp(name) != nullptr) m_path = name;
  }
  ~SocketDir() {
    if (m_path.empty()) return;
    ::unlink(file().c_str());
    ::rmdir(m_path.c_str());
  }
  SocketDir(const SocketDir&) = delete;
  SocketDir& operator=(const SocketDir&) = delete;
  std::string file() const { return m_path + "/s"; }

 private:
  std::string m_path;
};

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (m_old) {
      ::setenv(m_name, m_old->c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

TEST(UnixSocket, PathComesFromTheEnvironmentWhenItIsUtf8) {
  std::string fallback = socket_path(static_cast<std::uint32_t>(::getuid()));
  {
    ScopedEnv env("VELMORAD_SOCKET", nullptr);
    EXPECT_EQ(resolve_socket_path(), fallback);
  }
  {
    ScopedEnv env("VELMORAD_SOCKET", "/run/elsewhere.sock");
    EXPECT_EQ(resolve_socket_path(), "/run/elsewhere.sock");
  }
  {
    // Set but empty is still a choice; it names no file, so binding it fails later.
    ScopedEnv env("VELMORAD_SOCKET", "");
    EXPECT_EQ(resolve_socket_path(), "");
  }
  {
    ScopedEnv env("VELMORAD_SOCKET", "/tmp/\xff.sock");
    EXPECT_EQ(resolve_socket_path(), fallback);
  }
}

TEST(UnixSocket, AddressRefusesPathsThatDoNotFit) {
  sockaddr_un probe{};
  std::string longest(sizeof probe.sun_path - 1, 'a');
  auto fits = socket_address(longest);
  ASSERT_TRUE(fits);
  EXPECT_EQ(std::string(fits->address.sun_path), longest);
  EXPECT_EQ(fits->address.sun_family, AF_UNIX);

  auto too_long = socket_address(longest + "a");
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().text(), "path must be shorter than SUN_LEN");

  auto empty = socket_address("");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().text(), OsError(ENOENT).display());

  auto too_long_to_connect = connect_to(longest + "a");
  ASSERT_FALSE(too_long_to_connect);
  EXPECT_EQ(too_long_to_connect.error().text(), "path must be shorter than SUN_LEN");
}

TEST(UnixSocket, ListensOwnerOnlyAndRefusesAnExistingFile) {
  SocketDir dir;
  for (Threads threads : {Threads::not_yet, Threads::running}) {
    auto listener = listen_owner_only(dir.file(), threads);
    ASSERT_TRUE(listener) << listener.error().text();
    struct stat info {};
    ASSERT_EQ(::lstat(dir.file().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(::fcntl(listener->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    // A second bind leaves the first socket's file in place and still listening.
    auto second = listen_owner_only(dir.file(), threads);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().text(), OsError(EADDRINUSE).display());
    struct stat after {};
    ASSERT_EQ(::lstat(dir.file().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, info.st_ino);
    EXPECT_TRUE(connect_to(dir.file()));

    ASSERT_EQ(::unlink(dir.file().c_str()), 0);
  }
}

TEST(UnixSocket, ConnectsAndSeesThePeerIsUs) {
  SocketDir dir;
  auto listener = listen_owner_only(dir.file(), Threads::running);
  ASSERT_TRUE(listener) << listener.error().text();
  auto client = connect_to(dir.file());
  ASSERT_TRUE(client) << client.error().text();
  EXPECT_EQ(::fcntl(client->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  OwnedFd server(::accept(listener->get(), nullptr, nullptr));
  ASSERT_TRUE(server);

  auto theirs = peer_user_id(client->get());
  ASSERT_TRUE(theirs) << theirs.error().text();
  EXPECT_EQ(*theirs, ::getuid());
  auto ours = peer_user_id(server.get());
  ASSERT_TRUE(ours) << ours.error().text();
  EXPECT_EQ(*ours, ::getuid());

  // Not a socket at all.
  OwnedFd file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file);
  EXPECT_FALSE(peer_user_id(file.get()));
}

TEST(UnixSocket, ConnectReportsWhyItFailed) {
  SocketDir dir;
  // Nothing at the path.
  auto socket = open_stream_socket();
  ASSERT_TRUE(socket);
  auto address = socket_address(dir.file());
  ASSERT_TRUE(address);
  EXPECT_EQ(connect_socket(socket->get(), *address), -1);
  EXPECT_EQ(errno, ENOENT);

  // A socket file nobody listens on, as a daemon that died leaves it.
  {
    auto bound = open_stream_socket();
    ASSERT_TRUE(bound);
    ASSERT_EQ(bind_owner_only(bound->get(), *address, Threads::running), 0);
  }
  auto again = open_stream_socket();
  ASSERT_TRUE(again);
  EXPECT_EQ(connect_socket(again->get(), *address), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  auto refused = connect_to(dir.file());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), OsError(ECONNREFUSED).display());
}

}  // namespace
}  // namespace velmora
