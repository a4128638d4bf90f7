// The path from a shell to the terminal that shows it, while clients stall, race and take
// sessions from each other: nobody is frozen, misled or shown a torn stream.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>

#include "shell_client.h"

namespace velmora::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto LIVE_WITHIN = 5s;
#else
constexpr auto LIVE_WITHIN = 1s;
#endif

// The most recent output that a resume replays; a full replay starts in the middle of a line.
constexpr std::size_t REPLAY_LIMIT = 262144;

// A shell loop that prints "n 1", "n 2", ... as fast as it can.
constexpr const char* COUNTER = "i=0; while :; do i=$((i+1)); echo \"n $i\"; done\r";

std::size_t task_count(pid_t pid) {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task",
                                                     error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

int queued_bytes(TestClient& client) {
  int bytes = 0;
  return ::ioctl(client.fd(), FIONREAD, &bytes) == 0 ? bytes : -1;
}

// Waits until the client's receive queue stops growing: the daemon is blocked writing to it.
bool wait_until_full(TestClient& client) {
  if (!wait_until([&] { return queued_bytes(client) > 4096; })) return false;
  int last = -1;
  return wait_until([&] {
    std::this_thread::sleep_for(20ms);
    int now = queued_bytes(client);
    return std::exchange(last, now) == now;
  });
}

int count_errors(const ShellClient& client, const std::string& message) {
  int count = 0;
  for (const Event& event : client.log())
    if (auto* error = std::get_if<ErrorEvent>(&event); error && error->message == message) ++count;
  return count;
}

int count_errors(const ShellClient& client) {
  int count = 0;
  for (const Event& event : client.log()) count += std::holds_alternative<ErrorEvent>(event);
  return count;
}

// The numbers of the counter's lines in text, which must follow each other without a gap, a
// repeat or a torn line. What comes before the first counter line (the command's echo) and the
// last, unfinished line are left out; so is the first line when the text starts mid-line.
struct Numbers {
  long first = 0;
  long last = 0;
  std::size_t lines = 0;
  std::string fault;
};

Numbers counter_numbers(const std::string& text, bool starts_mid_line) {
  Numbers numbers;
  std::size_t at = 0;
  if (starts_mid_line) {
    at = text.find("\r\n");
    if (at == std::string::npos) return numbers;
    at += 2;
  }
  bool started = false;
  while (true) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;
    std::string line = text.substr(at, end - at);
    at = end + 2;
    bool counter = line.size() > 2 && line.compare(0, 2, "n ") == 0 &&
                   line.find_first_not_of("0123456789", 2) == std::string::npos;
    if (!started) {
      if (!counter) continue;
      started = true;
      numbers.first = numbers.last = std::stol(line.substr(2));
      numbers.lines = 1;
      continue;
    }
    if (!counter) {
      numbers.fault = "torn line \"" + line + "\" after n " + std::to_string(numbers.last);
      return numbers;
    }
    long n = std::stol(line.substr(2));
    if (n != numbers.last + 1) {
      numbers.fault = "n " + std::to_string(n) + " follows n " + std::to_string(numbers.last);
      return numbers;
    }
    numbers.last = n;
    ++numbers.lines;
  }
  return numbers;
}

TEST(StalledClient, IsCutOffAndReadsTheEndOfItsStream) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  pid_t pid = daemon.process().pid();
  ShellClient other(daemon.socket_path());
  ASSERT_TRUE(other.attached("other"));
  std::size_t threads = task_count(pid);

  ShellClient stalled(daemon.socket_path());
  ASSERT_TRUE(stalled.attached("flood"));
  // Its connection thread and the session's pump.
  ASSERT_TRUE(wait_until([&] { return task_count(pid) == threads + 2; }));
  stalled.type("flood", "yes flooding\r");
  ASSERT_TRUE(wait_until_full(stalled.raw()));
  auto full_at = Clock::now();

  // Meanwhile everyone else is served.
  EXPECT_TRUE(other.hello(3s));
  other.type("other", "echo qu''ick\r");
  EXPECT_TRUE(other.wait_output("other", "quick", 3s));

  // Without reading anything, the client sees the daemon shut its connection down once the
  // stall limit has passed.
  pollfd pfd{stalled.raw().fd(), POLLRDHUP, 0};
  ASSERT_EQ(::poll(&pfd, 1, 30'000), 1);
  auto cut_after = Clock::now() - full_at;
  std::printf("cut %lld ms after the client's buffer was full\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(cut_after).count()));
  EXPECT_GT(cut_after, 8s);
  EXPECT_LT(cut_after, 16s);
  // What was written before comes through, then the end of the stream; the connection's thread
  // has ended as at any end of stream, and the session lives on, detached.
  stalled.drain(2s);
  EXPECT_TRUE(stalled.raw().wait_closed(5s));
  EXPECT_TRUE(wait_until([&] { return task_count(pid) == threads + 1; }));
  ShellClient again(daemon.socket_path());
  auto resumed = again.attached("flood");
  ASSERT_TRUE(resumed);
  EXPECT_TRUE(resumed->resumed);
  again.send(CloseRequest{"flood"});
  EXPECT_TRUE(again.hello());
}

TEST(RacingAttach, ManyClientsAttachingANewKeyShareOneShell) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  constexpr int CLIENTS = 20;
  std::vector<std::unique_ptr<ShellClient>> clients;
  for (int i = 0; i < CLIENTS; ++i)
    clients.push_back(std::make_unique<ShellClient>(daemon.socket_path()));
  std::atomic<int> ready{0};
  std::vector<std::optional<Event>> replies(CLIENTS);
  std::vector<std::thread> threads;
  for (int i = 0; i < CLIENTS; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < CLIENTS) std::this_thread::yield();
      replies[static_cast<std::size_t>(i)] = clients[static_cast<std::size_t>(i)]->attach("tab");
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::uint32_t> pids;
  int created = 0;
  for (const auto& reply : replies) {
    ASSERT_TRUE(reply);
    ASSERT_TRUE(std::holds_alternative<AttachedEvent>(*reply));
    const auto& attached = std::get<AttachedEvent>(*reply);
    pids.insert(attached.pid);
    created += attached.resumed ? 0 : 1;
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(pids.size(), 1u);
  auto rows = clients[0]->list();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].pid, *pids.begin());
  // No shell was started and then destroyed: nobody hears of an exit.
  for (auto& client : clients) {
    ASSERT_TRUE(client->hello());
    for (const Event& event : client->log())
      EXPECT_FALSE(std::holds_alternative<ExitedEvent>(event));
  }
}

TEST(DisplacedClient, IsToldOnceAndKeepsWorking) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  const std::string notice = "別の接続に移りました: k";
  ShellClient first(daemon.socket_path());
  ASSERT_TRUE(first.attached("k"));
  ASSERT_TRUE(first.attached("mine"));

  ShellClient second(daemon.socket_path());
  ASSERT_TRUE(second.attached("k"));
  auto told = first.next_event();
  ASSERT_TRUE(told);
  EXPECT_EQ(*told, Event(ErrorEvent{notice}));
  // The displaced connection stays open and its other session goes on; the resuming one is
  // told nothing.
  ASSERT_TRUE(first.hello());
  first.type("mine", "echo st''ill mine\r");
  EXPECT_TRUE(first.wait_output("mine", "still mine"));
  ASSERT_TRUE(second.hello());
  EXPECT_EQ(count_errors(second), 0);

  // A connection that has the output already resumes without any notice.
  ASSERT_TRUE(first.attached("mine"));
  ASSERT_TRUE(second.attached("k"));
  // Nor is a connection told that has gone: the session passes to a third without a word.
  second.disconnect();
  ShellClient third(daemon.socket_path());
  ASSERT_TRUE(third.attached("k"));
  third.type("k", "echo th''ird\r");
  EXPECT_TRUE(third.wait_output("k", "third"));
  ASSERT_TRUE(third.hello());
  ASSERT_TRUE(first.hello());
  EXPECT_EQ(count_errors(third), 0);
  EXPECT_EQ(count_errors(first, notice), 1);
  EXPECT_EQ(count_errors(first), 1);
}

TEST(ResumeJoint, NeitherDropsNorRepeatsOutput) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  std::vector<std::unique_ptr<ShellClient>> clients;
  clients.push_back(std::make_unique<ShellClient>(daemon.socket_path()));
  ASSERT_TRUE(clients.back()->attached("count"));
  clients.back()->type("count", COUNTER);
  ASSERT_TRUE(clients.back()->wait_output("count", "n 100\r\n"));

  for (int resume = 1; resume <= 30; ++resume) {
    // Every earlier connection stays open, unread.
    clients.push_back(std::make_unique<ShellClient>(daemon.socket_path()));
    ShellClient& client = *clients.back();
    auto attached = client.attached("count");
    ASSERT_TRUE(attached) << "resume " << resume;
    auto replay = base64_decode(attached->replay_base64);
    ASSERT_TRUE(replay);
    // Live output within a second, continuing the replay.
    auto attached_at = Clock::now();
    ASSERT_TRUE(client.wait_output_size("count", 200, LIVE_WITHIN))
        << "resume " << resume << ": no live output";
    EXPECT_LT(Clock::now() - attached_at, LIVE_WITHIN + 500ms);
    std::string joined = *replay + client.output("count");
    Numbers numbers = counter_numbers(joined, replay->size() == REPLAY_LIMIT);
    EXPECT_EQ(numbers.fault, "") << "resume " << resume;
    EXPECT_GE(numbers.lines, 3u) << "resume " << resume;
    // The joint itself: the replay's last number is followed by the next one.
    Numbers in_replay = counter_numbers(*replay, replay->size() == REPLAY_LIMIT);
    EXPECT_GT(numbers.last, in_replay.last) << "resume " << resume;
    if (numbers.fault != "") break;
  }
  clients.back()->send(CloseRequest{"count"});
  EXPECT_TRUE(clients.back()->hello());
}

TEST(ResumeFromStalledClient, TakesEffectAtOnce) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient stalled(daemon.socket_path());
  ASSERT_TRUE(stalled.attached("count"));
  stalled.type("count", COUNTER);
  // The pump now waits in a write to a client that reads nothing.
  ASSERT_TRUE(wait_until_full(stalled.raw()));

  ShellClient resumer(daemon.socket_path());
  auto attached = resumer.attached("count");
  ASSERT_TRUE(attached);
  auto attached_at = Clock::now();
  ASSERT_TRUE(resumer.wait_output_size("count", 64 * 1024, LIVE_WITHIN + 1s));
  EXPECT_LT(Clock::now() - attached_at, LIVE_WITHIN + 1s);
  auto replay = base64_decode(attached->replay_base64);
  ASSERT_TRUE(replay);
  Numbers resumed =
      counter_numbers(*replay + resumer.output("count"), replay->size() == REPLAY_LIMIT);
  EXPECT_EQ(resumed.fault, "");
  Numbers in_replay = counter_numbers(*replay, replay->size() == REPLAY_LIMIT);

  // The stalled client got nothing that was produced after the resume. Its torn line could not
  // be continued, so its connection was cut; had the write waited at a line's start, it has the
  // notice instead and is still open.
  stalled.drain(1s);
  Numbers old = counter_numbers(stalled.output("count"), false);
  EXPECT_EQ(old.fault, "");
  EXPECT_LE(old.last, in_replay.last);
  bool closed = stalled.raw().wait_closed(2s);
  if (!closed) {
    EXPECT_EQ(count_errors(stalled, "別の接続に移りました: count"), 1);
  }
  resumer.send(CloseRequest{"count"});
  EXPECT_TRUE(resumer.hello());
}

}  // namespace
}  // namespace velmora::testing
