#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <utility>

#include "test_support.h"

namespace velmora::pty {
namespace {

using namespace test_support;

struct winsize size_of(int fd) {
  struct winsize ws = {};
  EXPECT_EQ(::ioctl(fd, TIOCGWINSZ, &ws), 0);
  return ws;
}

bool is_cloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// The slave side without canonical processing, so that the bytes the master sends arrive as
// they are.
void make_slave_raw(int slave, cc_t veof) {
  struct termios t;
  ASSERT_EQ(::tcgetattr(slave, &t), 0);
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cc[VEOF] = veof;
  ASSERT_EQ(::tcsetattr(slave, TCSANOW, &t), 0);
}

std::string read_available(int fd, std::chrono::milliseconds timeout) {
  std::string text;
  struct pollfd p = {fd, POLLIN, 0};
  while (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    timeout = std::chrono::milliseconds(50);
  }
  return text;
}

TEST(PtyPair, OpensWithTheSizeGivenEvenZero) {
  PtyPair zero = open_pair({0, 0, 0, 0});
  struct winsize ws = size_of(fd_of(*zero.master));
  EXPECT_EQ(ws.ws_row, 0);
  EXPECT_EQ(ws.ws_col, 0);

  PtyPair pair = open_pair({31, 97, 640, 480});
  ws = size_of(fd_of(*pair.slave));
  EXPECT_EQ(ws.ws_row, 31);
  EXPECT_EQ(ws.ws_col, 97);
  EXPECT_EQ(ws.ws_xpixel, 640);
  EXPECT_EQ(ws.ws_ypixel, 480);
}

TEST(PtyPair, EveryDescriptorIsCloseOnExec) {
  PtyPair pair = open_pair();
  auto reader = pair.master->try_clone_reader();
  auto writer = pair.master->take_writer();
  ASSERT_TRUE(reader && writer);
  EXPECT_TRUE(is_cloexec(fd_of(*pair.master)));
  EXPECT_TRUE(is_cloexec(fd_of(*pair.slave)));
  EXPECT_TRUE(is_cloexec(fd_of(**reader)));
  EXPECT_TRUE(is_cloexec(dynamic_cast<UnixMasterWriter&>(**writer).fd()));
  // Each handle has a descriptor of its own.
  EXPECT_NE(fd_of(**reader), fd_of(*pair.master));
}

TEST(PtyPair, ResizeSetsAllFourFieldsAndFailsOnANonTerminal) {
  PtyPair pair = open_pair();
  ASSERT_TRUE(pair.master->resize({50, 132, 8, 16}));
  struct winsize ws = size_of(fd_of(*pair.slave));
  EXPECT_EQ(ws.ws_row, 50);
  EXPECT_EQ(ws.ws_col, 132);
  EXPECT_EQ(ws.ws_xpixel, 8);
  EXPECT_EQ(ws.ws_ypixel, 16);

  UnixMasterPty not_a_terminal(OwnedFd(::open("/dev/null", O_RDWR | O_CLOEXEC)));
  auto failed = not_a_terminal.resize({1, 1, 0, 0});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(),
            "failed to ioctl(TIOCSWINSZ): Os { code: 25, kind: Uncategorized, message: "
            "\"Inappropriate ioctl for device\" }");
}

TEST(PtyPair, WriterCanBeTakenOnceEvenWhenTheFirstTakeFails) {
  PtyPair pair = open_pair();
  ASSERT_TRUE(pair.master->take_writer());
  auto second = pair.master->take_writer();
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().text(), "cannot take writer more than once");

  // A descriptor number that is not open makes every duplication fail.
  int closed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(closed, 0);
  ::close(closed);
  UnixMasterPty broken{OwnedFd(closed)};
  const std::string dup_failed = "dup of fd " + std::to_string(closed) + " failed";
  auto reader = broken.try_clone_reader();
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().text(), dup_failed);
  auto first = broken.take_writer();
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().text(), dup_failed);
  auto again = broken.take_writer();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().text(), "cannot take writer more than once");
}

TEST(PtyReader, ReadsZeroOnceNobodyHoldsTheSlaveSide) {
  PtyPair pair = open_pair();
  auto reader = pair.master->try_clone_reader();
  ASSERT_TRUE(reader);
  ASSERT_EQ(::write(fd_of(*pair.slave), "out", 3), 3);
  pair.slave.reset();
  // The bytes written before the hang-up are still delivered, then the end (EIO on Linux).
  EXPECT_EQ(read_to_end(**reader), "out");
  char buffer[16];
  auto n = (*reader)->read(buffer, sizeof buffer);
  ASSERT_TRUE(n) << n.error().text();
  EXPECT_EQ(*n, 0u);
}

TEST(PtyReader, ReportsOtherFailuresAsOsErrors) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  OwnedFd write_end(fds[1]);
  PtyFd reader{OwnedFd(fds[0])};
  char buffer[4];
  auto n = reader.read(buffer, sizeof buffer);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().text(), "Resource temporarily unavailable (os error 11)");
}

TEST(PtyWriter, WritesReachTheSlaveSide) {
  PtyPair pair = open_pair();
  make_slave_raw(fd_of(*pair.slave), 4);
  auto writer = pair.master->take_writer();
  ASSERT_TRUE(writer);
  const std::string big(3000, 'x');
  ASSERT_TRUE((*writer)->write_all(big));
  ASSERT_TRUE((*writer)->write_all(""));
  EXPECT_TRUE((*writer)->flush());
  auto n = (*writer)->write("yz");
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 2u);
  EXPECT_EQ(read_available(fd_of(*pair.slave), 5s), big + "yz");
}

TEST(PtyWriter, ReleaseSendsNewlineAndTheEndOfFileCharacterIfAny) {
  const std::pair<cc_t, std::string> cases[] = {{4, "\n\x04"}, {1, "\n\x01"}, {0, ""}};
  for (const auto& [veof, expected] : cases) {
    PtyPair pair = open_pair();
    make_slave_raw(fd_of(*pair.slave), veof);
    auto writer = pair.master->take_writer();
    ASSERT_TRUE(writer);
    writer->reset();
    // A marker written afterwards shows where the release's bytes end.
    ASSERT_EQ(::write(fd_of(*pair.master), "M", 1), 1);
    EXPECT_EQ(read_available(fd_of(*pair.slave), 5s), expected + "M") << int{veof};
  }
}

TEST(PtyWriter, ReleaseDoesNotBlockWhenTheInputQueueIsFull) {
  PtyPair pair = open_pair();
  const int slave = fd_of(*pair.slave);
  const int master = fd_of(*pair.master);
  make_slave_raw(slave, 4);
  auto writer = pair.master->take_writer();
  ASSERT_TRUE(writer);

  // Fill the terminal's input until the master would block; nobody reads the slave side.
  int flags = ::fcntl(master, F_GETFL);
  ASSERT_EQ(::fcntl(master, F_SETFL, flags | O_NONBLOCK), 0);
  const std::string chunk(4096, 'f');
  std::size_t filled = 0;
  for (;;) {
    ssize_t n = ::write(master, chunk.data(), chunk.size());
    if (n < 0) {
      ASSERT_EQ(errno, EAGAIN);
      break;
    }
    filled += static_cast<std::size_t>(n);
    ASSERT_LT(filled, 64u << 20) << "the input queue never filled up";
  }
  ASSERT_EQ(::fcntl(master, F_SETFL, flags), 0);

  auto released = std::async(std::launch::async, [&] { writer->reset(); });
  bool finished = released.wait_for(10s) == std::future_status::ready;
  if (!finished) {
    // Unblock the release so that the test can end, then report it.
    while (released.wait_for(10ms) != std::future_status::ready) (void)read_available(slave, 10ms);
  }
  EXPECT_TRUE(finished) << "releasing the writer blocked on a full input queue";
}

}  // namespace
}  // namespace velmora::pty
