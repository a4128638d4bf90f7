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
#include "wake_up.h"

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

ClientSlot slot_for(OwnedFd stream, std::chrono::milliseconds stall = ClientSlot::STALL_TIMEOUT) {
  return ClientSlot(std::move(stream), WakeUp(), stall);
}

// Everything that is readable at fd right now, without waiting.
std::string read_available(int fd) {
  std::string data;
  char chunk[65536];
  while (true) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) return data;
    data.append(chunk, static_cast<std::size_t>(n));
  }
}

// An interrupt that the test fires, telling the write whether to give up.
class TestInterrupt final : public WriteInterrupt {
 public:
  TestInterrupt() : m_wake(std::move(*WakeUp::create())) {}
  int fd() const override { return m_wake.fd(); }
  bool abandon() override {
    m_wake.clear();
    ++m_checks;
    return m_give_up.load();
  }
  void fire(bool give_up) {
    m_give_up = give_up;
    m_wake.signal();
  }
  int checks() const { return m_checks.load(); }

 private:
  WakeUp m_wake;
  std::atomic<bool> m_give_up{false};
  std::atomic<int> m_checks{0};
};

// A slot whose client reads nothing, with a socket buffer that fills after a few KiB.
struct StalledClient {
  SocketPair pair = socket_pair();
  StalledClient() {
    int small = 4096;
    ::setsockopt(pair.ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  }
};

TEST(ClientSlot, EmptySlotIgnoresEveryOperation) {
  ClientSlot slot = slot_for(OwnedFd());
  EXPECT_EQ(slot.send_line("{\"type\":\"exited\",\"key\":\"a\"}\n"), Delivery::sent);
  slot.put_stream(OwnedFd());
  EXPECT_FALSE(slot.holds_stream());
}

TEST(ClientSlot, SendWritesTheEncodedEventAsOneLine) {
  auto pair = socket_pair();
  ClientSlot slot = slot_for(std::move(pair.ours));
  slot.send(ErrorEvent{"x"});
  slot.send(SessionsEvent{});
  std::string expected =
      "{\"type\":\"error\",\"message\":\"x\"}\n{\"type\":\"sessions\",\"keys\":[]}\n";
  EXPECT_EQ(read_exactly(pair.client.get(), expected.size()), expected);
}

TEST(ClientSlot, FailedWriteClosesAndEmptiesTheSlot) {
  auto pair = socket_pair();
  ClientSlot slot = slot_for(std::move(pair.ours));
  pair.client.reset();
  EXPECT_EQ(slot.send_line("first\n"), Delivery::cut);
  EXPECT_FALSE(slot.holds_stream());
  // Later sends through the emptied slot write nothing and return normally.
  EXPECT_EQ(slot.send_line("second\n"), Delivery::sent);
  EXPECT_FALSE(slot.holds_stream());
}

TEST(ClientSlot, StalledClientIsCutOffForTheWholeConnection) {
  StalledClient stalled;
  // The connection's reading thread keeps a descriptor of its own; closing the slot's alone
  // would leave the client waiting for ever.
  auto reading_side = stalled.pair.ours.try_clone();
  ASSERT_TRUE(reading_side);
  ClientSlot slot = slot_for(std::move(stalled.pair.ours), 100ms);
  // Far more than the socket buffers hold; the client never reads.
  EXPECT_EQ(slot.send_line(std::string(4 << 20, 'x') + "\n"), Delivery::cut);
  EXPECT_FALSE(slot.holds_stream());
  // What was buffered drains, then the client sees the end...
  auto rest = read_to_end(stalled.pair.client.get());
  ASSERT_TRUE(rest.has_value());
  EXPECT_LT(rest->size(), std::size_t{4 << 20});
  // ...and so does the connection's reader.
  char byte = 0;
  EXPECT_EQ(::read(reading_side->get(), &byte, 1), 0);
}

TEST(ClientSlot, SlowButSteadyClientReceivesTheWholeLine) {
  auto pair = socket_pair();
  int small = 4096;
  ::setsockopt(pair.ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  // Each pause is far short of the stall limit, and the pauses alone (16 of 100 ms) outlast it:
  // only a write that makes no progress at all may count as stalled.
  ClientSlot slot = slot_for(std::move(pair.ours), 800ms);
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
  EXPECT_EQ(slot.send_line(line), Delivery::sent);
  reader.join();
  EXPECT_TRUE(slot.holds_stream());
  EXPECT_EQ(received, line);
}

TEST(ClientSlot, LinesFromManyThreadsNeverInterleave) {
  auto pair = socket_pair();
  auto slot =
      std::make_shared<ClientSlot>(std::move(pair.ours), WakeUp(), ClientSlot::STALL_TIMEOUT);
  constexpr int THREADS = 4;
  constexpr int LINES = 50;
  constexpr std::size_t LENGTH = 50'000;  // several times a socket buffer
  std::string received;
  std::thread reader(
      [&] { received = read_exactly(pair.client.get(), THREADS * LINES * (LENGTH + 1), 30s); });
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&, t] {
      std::string line = std::string(LENGTH, static_cast<char>('a' + t)) + "\n";
      for (int i = 0; i < LINES; ++i) slot->send_line(line);
    });
  }
  for (auto& w : writers) w.join();
  reader.join();
  ASSERT_EQ(received.size(), THREADS * LINES * (LENGTH + 1));
  std::array<int, THREADS> counts{};
  for (std::size_t at = 0; at < received.size(); at += LENGTH + 1) {
    char c = received[at];
    ASSERT_GE(c, 'a');
    ASSERT_LT(c, 'a' + THREADS);
    ASSERT_EQ(received.substr(at, LENGTH), std::string(LENGTH, c)) << "mixed line at " << at;
    ASSERT_EQ(received[at + LENGTH], '\n');
    ++counts[static_cast<std::size_t>(c - 'a')];
  }
  for (int count : counts) EXPECT_EQ(count, LINES);
}

TEST(ClientSlot, PutClosesTheOldStreamAndStoresTheNewOne) {
  auto first = socket_pair();
  auto second = socket_pair();
  ClientSlot slot = slot_for(std::move(first.ours));
  slot.put_stream(std::move(second.ours));
  EXPECT_EQ(read_to_end(first.client.get()), "");
  slot.send_line("to second\n");
  EXPECT_EQ(read_exactly(second.client.get(), 10), "to second\n");
  slot.put_stream(OwnedFd());
  EXPECT_EQ(read_to_end(second.client.get()), "");
}

TEST(ClientSlot, LastHolderClosesTheStream) {
  auto pair = socket_pair();
  auto slot =
      std::make_shared<ClientSlot>(std::move(pair.ours), WakeUp(), ClientSlot::STALL_TIMEOUT);
  auto other_holder = slot;
  slot.reset();
  other_holder->send_line("still open\n");
  EXPECT_EQ(read_exactly(pair.client.get(), 11), "still open\n");
  other_holder.reset();
  EXPECT_EQ(read_to_end(pair.client.get()), "");
}

TEST(ClientSlot, InterruptedWriteIsGivenUpAndCutsATornLine) {
  StalledClient stalled;
  ClientSlot slot = slot_for(std::move(stalled.pair.ours));
  TestInterrupt interrupt;
  std::string line = std::string(1 << 20, 'p') + "\n";
  auto started = std::chrono::steady_clock::now();
  std::thread firing([&] {
    // A wake-up that changes nothing first: the write goes on waiting.
    std::this_thread::sleep_for(100ms);
    interrupt.fire(false);
    std::this_thread::sleep_for(100ms);
    interrupt.fire(true);
  });
  EXPECT_EQ(slot.send_line(line, interrupt), Delivery::cut);
  firing.join();
  // At once, not after the stall limit of ten seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(interrupt.checks(), 2);
  EXPECT_FALSE(slot.holds_stream());
  auto rest = read_to_end(stalled.pair.client.get());
  ASSERT_TRUE(rest.has_value());
  EXPECT_GT(rest->size(), 0u);
  EXPECT_LT(rest->size(), line.size());
}

TEST(ClientSlot, InterruptBeforeTheFirstByteLeavesTheConnection) {
  StalledClient stalled;
  ClientSlot slot = slot_for(std::move(stalled.pair.ours));
  TestInterrupt interrupt;
  interrupt.fire(true);
  // The interrupt is looked at only once a write has to wait: fill the buffer with lines small
  // enough that each goes out whole or not at all.
  std::string filler = std::string(999, 'f') + "\n";
  std::string sent;
  Delivery delivery = Delivery::sent;
  while (delivery == Delivery::sent && sent.size() < (16u << 20)) {
    delivery = slot.send_line(filler, interrupt);
    if (delivery == Delivery::sent) sent += filler;
  }
  EXPECT_EQ(delivery, Delivery::abandoned);
  EXPECT_TRUE(slot.holds_stream());
  // Everything written so far arrives whole, and the connection goes on.
  EXPECT_EQ(read_exactly(stalled.pair.client.get(), sent.size()), sent);
  EXPECT_EQ(slot.send_line("after\n"), Delivery::sent);
  EXPECT_EQ(read_exactly(stalled.pair.client.get(), 6), "after\n");
}

TEST(ClientSlot, PostedLinesAreWrittenInOrderByTheConnectionsThread) {
  auto pair = socket_pair();
  auto slot = ClientSlot::create(std::move(pair.ours));
  ASSERT_TRUE(slot);
  auto readable = [&] {
    pollfd pfd{(*slot)->posted_fd(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
  };
  EXPECT_FALSE(readable());
  (*slot)->post("one\n");
  (*slot)->post("two\n");
  EXPECT_TRUE(readable());
  // Nothing is written until the connection's thread delivers.
  EXPECT_EQ(read_available(pair.client.get()), "");
  (*slot)->deliver_posted();
  EXPECT_FALSE(readable());
  EXPECT_EQ(read_exactly(pair.client.get(), 8), "one\ntwo\n");
}

}  // namespace
}  // namespace velmora::daemon
