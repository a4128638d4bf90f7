#include "client_slot.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "velmora/core/owned_fd.h"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
  OwnedFd ours;    // handed to the slot
  OwnedFd client;  // the client's end
};

SocketPair socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {OwnedFd(fds[0]), OwnedFd(fds[1])};
}

// Everything that arrives at fd until end of stream; nothing if the stream stays open.
std::optional<std::string> read_to_end(int fd, std::chrono::milliseconds timeout = 10s) {
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(chunk, static_cast<std::size_t>(n));
  }
}

// Exactly size bytes from fd, or what came before the timeout or the end of stream.
std::string read_exactly(int fd, std::size_t size, std::chrono::milliseconds timeout = 10s) {
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (data.size() < size && std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, size - data.size()));
    if (n <= 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  return data;
}

bool holds_stream(ClientSlot& slot) { return slot.clone_stream().valid(); }

TEST(ClientSlot, EmptySlotIgnoresEveryOperation) {
  ClientSlot slot{OwnedFd()};
  slot.send_line("{\"type\":\"exited\",\"key\":\"a\"}\n");
  EXPECT_FALSE(slot.take_stream().valid());
  EXPECT_FALSE(slot.clone_stream().valid());
  slot.put_stream(OwnedFd());
  EXPECT_FALSE(holds_stream(slot));
}

TEST(ClientSlot, SendWritesTheEncodedEventAsOneLine) {
  auto pair = socket_pair();
  ClientSlot slot(std::move(pair.ours));
  slot.send(ErrorEvent{"x"});
  slot.send(SessionsEvent{});
  std::string expected =
      "{\"type\":\"error\",\"message\":\"x\"}\n{\"type\":\"sessions\",\"keys\":[]}\n";
  EXPECT_EQ(read_exactly(pair.client.get(), expected.size()), expected);
}

TEST(ClientSlot, FailedWriteClosesAndEmptiesTheSlot) {
  auto pair = socket_pair();
  ClientSlot slot(std::move(pair.ours));
  pair.client.reset();
  slot.send_line("first\n");
  EXPECT_FALSE(holds_stream(slot));
  // Later sends through the emptied slot write nothing and return normally.
  slot.send_line("second\n");
  EXPECT_FALSE(holds_stream(slot));
}

TEST(ClientSlot, ClientThatAcceptsNothingCountsAsFailedWrite) {
  auto pair = socket_pair();
  int small = 4096;
  ::setsockopt(pair.ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ClientSlot slot(std::move(pair.ours), 100ms);
  // Far more than the socket buffers hold; the client never reads.
  slot.send_line(std::string(4 << 20, 'x') + "\n");
  EXPECT_FALSE(holds_stream(slot));
  // The stream was closed: what was buffered drains, then the client sees the end.
  auto rest = read_to_end(pair.client.get());
  ASSERT_TRUE(rest.has_value());
  EXPECT_LT(rest->size(), std::size_t{4 << 20});
}

TEST(ClientSlot, SlowButSteadyClientReceivesTheWholeLine) {
  auto pair = socket_pair();
  int small = 4096;
  ::setsockopt(pair.ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  // Each pause is far short of the stall limit, and the pauses alone (16 of 100 ms) outlast it:
  // only a write that makes no progress at all may count as stalled.
  ClientSlot slot(std::move(pair.ours), 800ms);
  std::string line = std::string(256 * 1024 - 1, 'y') + "\n";
  std::string received;
  std::thread reader([&] {
    while (received.size() < line.size()) {
      std::this_thread::sleep_for(100ms);
      std::string chunk = read_exactly(pair.client.get(), 16 * 1024, 2s);
      if (chunk.empty()) break;
      received += chunk;
    }
  });
  slot.send_line(line);
  reader.join();
  EXPECT_TRUE(holds_stream(slot));
  EXPECT_EQ(received, line);
}

TEST(ClientSlot, LinesFromManyThreadsNeverInterleave) {
  auto pair = socket_pair();
  auto slot = std::make_shared<ClientSlot>(std::move(pair.ours));
  constexpr int kThreads = 4;
  constexpr int kLines = 50;
  constexpr std::size_t kLength = 50'000;  // several times a socket buffer
  std::string received;
  std::thread reader(
      [&] { received = read_exactly(pair.client.get(), kThreads * kLines * (kLength + 1), 30s); });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      std::string line = std::string(kLength, static_cast<char>('a' + t)) + "\n";
      for (int i = 0; i < kLines; ++i) slot->send_line(line);
    });
  }
  for (auto& w : writers) w.join();
  reader.join();
  ASSERT_EQ(received.size(), kThreads * kLines * (kLength + 1));
  std::array<int, kThreads> counts{};
  for (std::size_t at = 0; at < received.size(); at += kLength + 1) {
    char c = received[at];
    ASSERT_GE(c, 'a');
    ASSERT_LT(c, 'a' + kThreads);
    ASSERT_EQ(received.substr(at, kLength), std::string(kLength, c)) << "mixed line at " << at;
    ASSERT_EQ(received[at + kLength], '\n');
    ++counts[static_cast<std::size_t>(c - 'a')];
  }
  for (int count : counts) EXPECT_EQ(count, kLines);
}

TEST(ClientSlot, TakeHandsOverTheStreamAndLeavesTheSlotEmpty) {
  auto pair = socket_pair();
  int fd = pair.ours.get();
  ClientSlot slot(std::move(pair.ours));
  OwnedFd taken = slot.take_stream();
  EXPECT_EQ(taken.get(), fd);
  EXPECT_FALSE(holds_stream(slot));
  EXPECT_FALSE(slot.take_stream().valid());
  // The taken stream was not closed.
  ASSERT_EQ(::write(taken.get(), "z", 1), 1);
  EXPECT_EQ(read_exactly(pair.client.get(), 1), "z");
}

TEST(ClientSlot, PutClosesTheOldStreamAndStoresTheNewOne) {
  auto first = socket_pair();
  auto second = socket_pair();
  ClientSlot slot(std::move(first.ours));
  slot.put_stream(std::move(second.ours));
  EXPECT_EQ(read_to_end(first.client.get()), "");
  slot.send_line("to second\n");
  EXPECT_EQ(read_exactly(second.client.get(), 10), "to second\n");
  slot.put_stream(OwnedFd());
  EXPECT_EQ(read_to_end(second.client.get()), "");
}

TEST(ClientSlot, CloneIsAnIndependentDescriptorOfTheSameClient) {
  auto pair = socket_pair();
  ClientSlot slot(std::move(pair.ours));
  OwnedFd copy = slot.clone_stream();
  ASSERT_TRUE(copy.valid());
  EXPECT_GE(copy.get(), 3);
  EXPECT_NE(copy.get(), slot.clone_stream().get());
  ASSERT_EQ(::write(copy.get(), "c\n", 2), 2);
  copy.reset();
  slot.send_line("s\n");
  EXPECT_EQ(read_exactly(pair.client.get(), 4), "c\ns\n");
}

TEST(ClientSlot, LastHolderClosesTheStream) {
  auto pair = socket_pair();
  auto slot = std::make_shared<ClientSlot>(std::move(pair.ours));
  auto other_holder = slot;
  slot.reset();
  other_holder->send_line("still open\n");
  EXPECT_EQ(read_exactly(pair.client.get(), 11), "still open\n");
  other_holder.reset();
  EXPECT_EQ(read_to_end(pair.client.get()), "");
}

TEST(ClientSlot, ShareStreamPutsADuplicateIntoTheTarget) {
  auto session_side = socket_pair();
  auto connection_side = socket_pair();
  ClientSlot session_slot(std::move(session_side.ours));
  ClientSlot connection_slot(std::move(connection_side.ours));
  session_slot.share_stream_with(connection_slot);
  // What the target held is closed; both now reach the session slot's client.
  EXPECT_EQ(read_to_end(connection_side.client.get()), "");
  connection_slot.send_line("1\n");
  session_slot.send_line("2\n");
  EXPECT_EQ(read_exactly(session_side.client.get(), 4), "1\n2\n");

  // An empty source empties the target.
  ClientSlot empty{OwnedFd()};
  empty.share_stream_with(connection_slot);
  EXPECT_FALSE(holds_stream(connection_slot));
}

TEST(ClientSlot, ShareStreamWithItselfKeepsTheStream) {
  auto pair = socket_pair();
  ClientSlot slot(std::move(pair.ours));
  slot.share_stream_with(slot);  // must not lock its mutex twice
  slot.send_line("kept\n");
  EXPECT_EQ(read_exactly(pair.client.get(), 5), "kept\n");
}

}  // namespace
}  // namespace velmora::daemon
