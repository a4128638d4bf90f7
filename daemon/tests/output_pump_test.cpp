#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "shell_client.h"

namespace velmora::testing {
namespace {

TEST(OutputPump, ReportsAShellThatExitsOnce) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  auto created = client.attached("k");
  ASSERT_TRUE(created);
  client.type("k", "echo by''e; exit\r");
  ASSERT_TRUE(client.next_is_exited("k"));
  EXPECT_NE(client.output("k").find("bye"), std::string::npos);

  // Nothing after exited: neither output nor a second exited, before or after the listing
  // that shows the session gone.
  EXPECT_FALSE(client.next_event(300ms));
  ASSERT_TRUE(std::holds_alternative<ExitedEvent>(client.log().back()));
  EXPECT_TRUE(client.reply_comes_next());
  auto rows = client.list();
  ASSERT_TRUE(rows);
  EXPECT_TRUE(rows->empty());
  EXPECT_TRUE(std::holds_alternative<SessionsEvent>(client.log().back()));

  // The shell is collected, not left as a zombie of the daemon.
  EXPECT_TRUE(wait_gone(created->pid));
  if (have_proc()) {
    EXPECT_TRUE(zombie_children(daemon.process().pid()).empty());
  }
}

TEST(OutputPump, LeavesNoZombies) {
  if (!have_proc()) GTEST_SKIP() << "needs /proc";
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  // One shell ends by itself, one is closed, and one is closed while it ignores SIGHUP.
  ASSERT_TRUE(client.attached("exits"));
  ASSERT_TRUE(client.attached("closed"));
  ASSERT_TRUE(client.attached("stubborn"));
  ASSERT_TRUE(client.ignore_hangup("stubborn"));
  client.type("exits", "exit\r");
  client.send(CloseRequest{"closed"});
  client.send(CloseRequest{"stubborn"});
  for (int i = 0; i < 3; ++i) {
    auto event = client.next_event();
    ASSERT_TRUE(event);
    ASSERT_TRUE(std::holds_alternative<ExitedEvent>(*event));
  }
  // Every shell is collected: the daemon has no child left at all, zombie or not.
  pid_t daemon_pid = daemon.process().pid();
  EXPECT_TRUE(wait_until([&] { return children_of(daemon_pid).empty(); }, 3s));
  auto rows = client.list();
  ASSERT_TRUE(rows);
  EXPECT_TRUE(rows->empty());
}

TEST(OutputPump, KeepsOtherClientsGoingWhileOneStopsReading) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  // This client never reads again once its shell floods it.
  ShellClient stalled(daemon.socket_path());
  ASSERT_TRUE(stalled.attached("flood"));
  stalled.type("flood", "yes flooding\r");

  ShellClient other(daemon.socket_path());
  // Wait until the flood has filled the socket buffers: the queue stops growing, because the
  // pump is blocked in a write.
  auto queued = [&] {
    int bytes = 0;
    return ::ioctl(stalled.raw().fd(), FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  ASSERT_TRUE(wait_until([&] { return queued() > 4096; }));
  int last = -1;
  ASSERT_TRUE(wait_until([&] {
    int now = queued();
    return std::exchange(last, now) == now;
  }));

  // A resume of the flooded session, while its pump is blocked writing to the stalled client,
  // must not hold up anyone else.
  auto resumer = std::async(std::launch::async, [&] {
    ShellClient client(daemon.socket_path());
    return client.attached("flood", {}, 80, 24).has_value();
  });

  auto start = Clock::now();
  EXPECT_TRUE(other.hello(3s));
  EXPECT_TRUE(other.list(3s));
  ASSERT_TRUE(other.attached("fresh"));
  other.type("fresh", "echo qu''ick\r");
  EXPECT_TRUE(other.wait_output("fresh", "quick", 3s));
  // Well below the time after which a write to a stalled client counts as failed.
  EXPECT_LT(Clock::now() - start, 5s);

  // Nor does the resume itself wait for the stalled client.
  ASSERT_EQ(resumer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(resumer.get());
  stalled.disconnect();
  other.send(CloseRequest{"flood"});
}

TEST(Shutdown, KillsEveryShellAndExits) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  std::vector<pid_t> shells;
  for (const char* key : {"a", "b", "c"}) {
    auto attached = client.attached(key);
    ASSERT_TRUE(attached);
    shells.push_back(static_cast<pid_t>(attached->pid));
  }
  ASSERT_TRUE(client.ignore_hangup("c"));
  ShellClient bystander(daemon.socket_path());
  ASSERT_TRUE(bystander.hello());

  ASSERT_TRUE(client.send(ShutdownRequest{}));
  auto status = daemon.process().wait_exit(5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(bystander.raw().wait_closed(5s));
  for (pid_t pid : shells) {
    EXPECT_TRUE(wait_until([&] { return process_gone(pid) || process_state(pid) == 'Z'; }, 5s))
        << pid;
  }
}

}  // namespace
}  // namespace velmora::testing
