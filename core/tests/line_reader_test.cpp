#include "velmora/core/line_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "velmora/core/owned_fd.h"

namespace velmora {
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

// What the buffer hands out for input given in pieces, the end of the stream included;
// "<too long>" for a line over max_line.
std::vector<std::string> buffered_lines(const std::vector<std::string_view>& pieces,
                                        std::size_t max_line) {
  LineBuffer buffer(max_line, 16);
  std::vector<std::string> lines;
  auto take = [&](LineBuffer::Next next) {
    if (next.kind == LineBuffer::Kind::none) return false;
    lines.push_back(next.kind == LineBuffer::Kind::too_long ? "<too long>"
                                                            : std::string(next.line));
    return true;
  };
  for (std::string_view piece : pieces) {
    buffer.append(piece);
    while (take(buffer.next())) {
    }
  }
  take(buffer.take_rest());
  EXPECT_TRUE(buffer.empty());
  return lines;
}

TEST(LineBuffer, GivesTheSameLinesWhereverTheInputIsSplit) {
  const std::string input = "first\r\n\nsecond line\r\r\n" + std::string(40, 'o') +
                            "\n\r\nshort\n" + std::string(30, 'l') + "\r\nlast";
  const std::vector<std::string> expected = {"first", "",      "second line\r",      "<too long>",
                                             "",      "short", std::string(30, 'l'), "last"};
  EXPECT_EQ(buffered_lines({input}, 32), expected);
  for (std::size_t at = 0; at <= input.size(); ++at) {
    std::string_view all = input;
    EXPECT_EQ(buffered_lines({all.substr(0, at), all.substr(at)}, 32), expected)
        << "split at " << at;
  }
  // Every byte on its own, as a slow peer sends them.
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < input.size(); ++i)
    bytes.push_back(std::string_view(input).substr(i, 1));
  EXPECT_EQ(buffered_lines(bytes, 32), expected);
}

TEST(LineBuffer, BoundCountsTheCarriageReturnAndAnUnfinishedLastLine) {
  std::string at_bound(8, 'a');
  EXPECT_EQ(buffered_lines({at_bound + "\n" + at_bound + "\r\n" + at_bound}, 8),
            (std::vector<std::string>{at_bound, "<too long>", at_bound}));
  EXPECT_EQ(buffered_lines({at_bound + "b"}, 8), (std::vector<std::string>{"<too long>"}));
  EXPECT_EQ(buffered_lines({""}, 8), std::vector<std::string>{});
}

TEST(LineBuffer, ReadsLargeBlocksAndKeepsAPartialLineAcrossThem) {
  Pipe pipe = socket_pipe();
  std::string big(3 * LineBuffer::READ_SIZE + 5, 'x');
  std::string input = "a\n" + big + "\nb\npart";
  std::thread writer([&] {
    std::string_view rest = input;
    while (!rest.empty()) {
      ssize_t n = ::write(pipe.write_end.get(), rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    pipe.write_end.reset();
  });
  LineBuffer buffer;
  std::vector<std::string> lines;
  ssize_t n;
  while ((n = buffer.fill(pipe.read_end.get())) > 0) {
    for (auto next = buffer.next(); next.kind == LineBuffer::Kind::line; next = buffer.next())
      lines.emplace_back(next.line);
  }
  writer.join();
  EXPECT_EQ(n, 0);
  EXPECT_FALSE(buffer.empty());
  EXPECT_EQ(buffer.take_rest().line, "part");
  EXPECT_EQ(lines, (std::vector<std::string>{"a", big, "b"}));
}

// All lines of input, written from another thread and then closed; "<too long>" for a line over
// max_line.
std::vector<std::string> lines_of(const std::string& input,
                                  std::size_t max_line = LineReader::MAX_LINE) {
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
    if (kind == LineReader::Kind::end) break;
    lines.push_back(kind == LineReader::Kind::too_long ? "<too long>" : std::string(reader.line()));
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

TEST(LineReader, GathersLinesLongerThanOneRead) {
  std::string longest(5 * LineBuffer::READ_SIZE + 17, 'L');
  std::string across(LineBuffer::READ_SIZE - 1, 'x');
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
  ASSERT_EQ(reader.next(), LineReader::Kind::line);
  EXPECT_EQ(reader.line(), "whole");
  EXPECT_EQ(reader.next(), LineReader::Kind::end);
  EXPECT_EQ(reader.next(), LineReader::Kind::end);
}

TEST(LineReader, DropsLinesOverTheBoundAndGoesOn) {
  std::string at_bound(100, 'a');
  std::string over(5 * LineBuffer::READ_SIZE, 'o');
  EXPECT_EQ(lines_of(at_bound + "\n" + std::string(101, 'b') + "\nnext\n" + over + "\n" + over +
                         "\r\nlast\n" + over,
                     100),
            (std::vector<std::string>{at_bound, "<too long>", "next", "<too long>", "<too long>",
                                      "last", "<too long>"}));
}

TEST(LineReader, AWakeUpKeepsTheLineReadSoFar) {
  Pipe pipe = socket_pipe();
  Pipe wake = socket_pipe();
  LineReader reader(pipe.read_end.get(), wake.read_end.get());
  ASSERT_EQ(::write(pipe.write_end.get(), "par", 3), 3);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(::write(wake.write_end.get(), "!", 1), 1);
  });
  EXPECT_EQ(reader.next(), LineReader::Kind::woken);
  waker.join();
  char byte;
  ASSERT_EQ(::read(wake.read_end.get(), &byte, 1), 1);
  ASSERT_EQ(::write(pipe.write_end.get(), "tial\n", 5), 5);
  ASSERT_EQ(reader.next(), LineReader::Kind::line);
  EXPECT_EQ(reader.line(), "partial");
}

}  // namespace
}  // namespace velmora
