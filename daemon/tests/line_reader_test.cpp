#include "line_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "velmora/core/owned_fd.h"
#include "wake_up.h"

namespace velmora::daemon {
namespace {

struct Pipe {
  OwnedFd read_end;
  OwnedFd write_end;
};

Pipe socket_pipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {OwnedFd(fds[0]), OwnedFd(fds[1])};
}

// All lines of input, written from another thread and then closed; "<too long>" for a line over
// max_line.
std::vector<std::string> lines_of(const std::string& input,
                                  std::size_t max_line = LineReader::kMaxLine) {
  Pipe pipe = socket_pipe();
  std::thread writer([&] {
    std::string_view rest = input;
    while (!rest.empty()) {
      ssize_t n = ::write(pipe.write_end.get(), rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    pipe.write_end.reset();
  });
  LineReader reader(pipe.read_end.get(), -1, max_line);
  std::vector<std::string> lines;
  while (true) {
    LineReader::Kind kind = reader.next();
    if (kind == LineReader::Kind::kEnd) break;
    lines.push_back(kind == LineReader::Kind::kTooLong ? "<too long>" : reader.line());
  }
  writer.join();
  return lines;
}

TEST(LineReader, StripsLineFeedThenOneCarriageReturn) {
  EXPECT_EQ(lines_of("a\nb\r\nc\r\r\n\r\n\n"), (std::vector<std::string>{"a", "b", "c\r", "", ""}));
}

TEST(LineReader, LastLineWithoutLineFeedCounts) {
  EXPECT_EQ(lines_of("one\ntwo"), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(lines_of(""), std::vector<std::string>{});
}

TEST(LineReader, GathersLinesLongerThanTheBuffer) {
  std::string longest(5 * LineReader::kBufferSize + 17, 'L');
  std::string across(LineReader::kBufferSize - 1, 'x');  // its line feed ends the first buffer
  EXPECT_EQ(lines_of(across + "\n" + longest + "\nafter\n"),
            (std::vector<std::string>{across, longest, "after"}));
}

TEST(LineReader, ReadErrorDropsAPartialLine) {
  Pipe pipe = socket_pipe();
  // A receive time-out makes the read after the partial line fail with EAGAIN.
  timeval timeout{0, 50'000};
  ASSERT_EQ(::setsockopt(pipe.read_end.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout),
            0);
  ASSERT_EQ(::write(pipe.write_end.get(), "whole\npartial", 13), 13);
  LineReader reader(pipe.read_end.get());
  ASSERT_EQ(reader.next(), LineReader::Kind::kLine);
  EXPECT_EQ(reader.line(), "whole");
  EXPECT_EQ(reader.next(), LineReader::Kind::kEnd);
  EXPECT_EQ(reader.next(), LineReader::Kind::kEnd);
}

TEST(LineReader, DropsLinesOverTheBoundAndGoesOn) {
  std::string at_bound(100, 'a');
  std::string over(5 * LineReader::kBufferSize, 'o');
  EXPECT_EQ(lines_of(at_bound + "\n" + std::string(101, 'b') + "\nnext\n" + over + "\n" +
                         over + "\r\nlast\n" + over,
                     100),
            (std::vector<std::string>{at_bound, "<too long>", "next", "<too long>", "<too long>",
                                      "last", "<too long>"}));
}

TEST(LineReader, AWakeUpKeepsTheLineReadSoFar) {
  Pipe pipe = socket_pipe();
  auto wake = WakeUp::create();
  ASSERT_TRUE(wake);
  LineReader reader(pipe.read_end.get(), wake->fd());
  ASSERT_EQ(::write(pipe.write_end.get(), "par", 3), 3);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wake->signal();
  });
  EXPECT_EQ(reader.next(), LineReader::Kind::kWoken);
  waker.join();
  wake->clear();
  ASSERT_EQ(::write(pipe.write_end.get(), "tial\n", 5), 5);
  ASSERT_EQ(reader.next(), LineReader::Kind::kLine);
  EXPECT_EQ(reader.line(), "partial");
}

}  // namespace
}  // namespace velmora::daemon
