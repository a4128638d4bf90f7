#include "line_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

namespace velmora::bench {
namespace {

using namespace std::chrono_literals;

struct Pair {
  LineConnection reader;
  OwnedFd writer;
};

Pair make_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  auto reader = LineConnection::adopt(OwnedFd(fds[0]));
  EXPECT_TRUE(reader);
  return Pair{std::move(*reader), OwnedFd(fds[1])};
}

TEST(LineConnection, GathersLinesLongerThanItsBufferAcrossWrites) {
  auto [reader, writer] = make_pair();
  const std::string huge(3 << 20, 'q');
  std::thread feeder([&, fd = writer.get()] {
    std::string text = "short\n" + huge + "\nlast";
    for (std::size_t at = 0; at < text.size();) {
      ssize_t sent =
          ::send(fd, text.data() + at, std::min<std::size_t>(7001, text.size() - at), MSG_NOSIGNAL);
      if (sent <= 0) return;
      at += static_cast<std::size_t>(sent);
    }
    ::shutdown(fd, SHUT_WR);
  });
  auto first = reader.read_line(Clock::now() + 10s);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, "short");
  auto second = reader.read_line(Clock::now() + 10s);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->size(), huge.size());
  EXPECT_EQ(*second, huge);
  feeder.join();
  // A last line without its newline is not a line: the stream ended inside it.
  auto third = reader.read_line(Clock::now() + 10s);
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().text(), "end of stream");
}

TEST(LineConnection, TimesOutWhenNoLineCompletes) {
  auto [reader, writer] = make_pair();
  ASSERT_EQ(::send(writer.get(), "partial", 7, MSG_NOSIGNAL), 7);
  auto start = Clock::now();
  auto line = reader.read_line(start + 50ms);
  ASSERT_FALSE(line);
  EXPECT_EQ(line.error().text(), "timed out");
  EXPECT_GE(Clock::now() - start, 50ms);
  ASSERT_EQ(::send(writer.get(), " done\n", 6, MSG_NOSIGNAL), 6);
  auto rest = reader.read_line(Clock::now() + 10s);
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, "partial done");
}

}  // namespace
}  // namespace velmora::bench
