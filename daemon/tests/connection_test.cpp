// Requests and replies over a real connection to the real daemon.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "daemon_harness.h"
#include "foreign_user.h"
#include "velmora/core/line_codec.h"

namespace velmora::testing {
namespace {

constexpr const char* HELLO = R"({"type":"hello","version":1})";

class Connection : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_daemon.listening()); }
  std::string hello() {
    return R"({"type":"hello","version":1,"pid":)" + std::to_string(m_daemon.process().pid()) + "}";
  }

  RunningDaemon m_daemon;
};

TEST_F(Connection, HelloIsAnsweredWithVersionAndPid) {
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_EQ(client.read_line(), hello());
  // Any number of times; nothing changes.
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_EQ(client.read_line(), hello());
}

TEST_F(Connection, OtherVersionGetsAnErrorThenHelloAndStaysOpen) {
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_line(R"({"type":"hello","version":2})"));
  EXPECT_EQ(client.read_line(),
            R"({"type":"error","message":"取り決めの版が合いません（こちら 1）"})");
  EXPECT_EQ(client.read_line(), hello());
  ASSERT_TRUE(client.send_line(R"({"type":"list"})"));
  EXPECT_EQ(client.read_line(), R"({"type":"sessions","keys":[]})");
}

TEST_F(Connection, LinesThatDoNotDecodeGetTheCodecsText) {
  TestClient client = m_daemon.client();
  for (std::string line : {"nonsense", R"({"type":"close"})", R"({"type":"Hello","version":1})",
                           R"(["list",1])", "{\"type\":\"list\"} x"}) {
    ASSERT_TRUE(client.send_line(line));
    auto failure = decode_line(line);
    ASSERT_FALSE(failure.has_value()) << line;
    EXPECT_EQ(client.read_event(), Event(ErrorEvent{failure.error().text()})) << line;
  }
  // The connection goes on.
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_EQ(client.read_line(), hello());
}

TEST_F(Connection, BlankLinesAreSkippedAndCarriageReturnsStripped) {
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_raw("\n   \n\t\r\n\xe3\x80\x80\r\n"));  // the last is U+3000
  ASSERT_TRUE(client.send_raw(std::string(HELLO) + "\r\n"));
  EXPECT_EQ(client.read_line(), hello());
  // White space around a request is the codec's to trim.
  ASSERT_TRUE(client.send_raw(std::string(" \t") + R"({"type":"list"})" + " \r\n"));
  EXPECT_EQ(client.read_line(), R"({"type":"sessions","keys":[]})");
  // One reply each: the next request's reply is the next line.
  EXPECT_TRUE(client.silent_for(100ms));
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_EQ(client.read_line(), hello());
}

TEST_F(Connection, SessionRequestsForUnknownKeysGetNoReply) {
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_line(R"({"type":"write","key":"nope","dataBase64":"bHMK"})"));
  ASSERT_TRUE(client.send_line(R"({"type":"write","key":"nope","dataBase64":"!!"})"));
  ASSERT_TRUE(client.send_line(R"({"type":"resize","key":"nope","cols":80,"rows":24})"));
  ASSERT_TRUE(client.send_line(R"({"type":"close","key":"nope"})"));
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_EQ(client.read_line(), hello());
}

TEST_F(Connection, LinesOfAnyLengthAreReadWhole) {
  TestClient client = m_daemon.client();
  std::string padding(300'000, 'p');
  ASSERT_TRUE(client.send_line(R"({"type":"list","pad":")" + padding + "\"}"));
  EXPECT_EQ(client.read_line(), R"({"type":"sessions","keys":[]})");
}

TEST_F(Connection, LastLineWithoutLineFeedIsAnswered) {
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_raw(HELLO));
  ASSERT_EQ(::shutdown(client.fd(), SHUT_WR), 0);
  EXPECT_EQ(client.read_line(), hello());
  EXPECT_TRUE(client.wait_closed());
}

TEST_F(Connection, InvalidUtf8EndsTheConnectionWithoutReply) {
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_raw("{\"type\":\"list\",\"x\":\"\xff\"}\n"));
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_TRUE(client.wait_closed());
  // Only that connection ended.
  TestClient other = m_daemon.client();
  ASSERT_TRUE(other.send_line(HELLO));
  EXPECT_EQ(other.read_line(), hello());
}

TEST_F(Connection, TwoClientsAreServedAtOnce) {
  TestClient first = m_daemon.client();
  TestClient second = m_daemon.client();
  // The first stays mid-line while the second is answered.
  ASSERT_TRUE(first.send_raw(R"({"type":)"));
  ASSERT_TRUE(second.send_line(R"({"type":"list"})"));
  EXPECT_EQ(second.read_line(), R"({"type":"sessions","keys":[]})");
  ASSERT_TRUE(first.send_raw("\"list\"}\n"));
  EXPECT_EQ(first.read_line(), R"({"type":"sessions","keys":[]})");
  // The second got its own reply only, not the first's as well.
  EXPECT_TRUE(second.silent_for(50ms));
  ASSERT_TRUE(second.send_line(HELLO));
  EXPECT_EQ(second.read_line(), hello());
}

TEST_F(Connection, ClientVanishingWhileRepliesAreWrittenHarmsNobody) {
  for (int round = 0; round < 3; ++round) {
    TestClient client = m_daemon.client();
    // Small enough to sit in the socket's buffer at once, so the client can hang up while the
    // daemon is still answering.
    std::string burst;
    for (int i = 0; i < 2'000; ++i) burst += std::string(HELLO) + "\n";
    ASSERT_TRUE(client.send_raw(burst));
    client.close();
  }
  TestClient other = m_daemon.client();
  ASSERT_TRUE(other.send_line(HELLO));
  EXPECT_EQ(other.read_line(), hello());
  EXPECT_FALSE(m_daemon.process().exited());
}

TEST_F(Connection, ShutdownEndsTheDaemonWithStatusZero) {
  TestClient watcher = m_daemon.client();
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_line(R"({"type":"shutdown"})"));
  auto status = m_daemon.process().wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(client.wait_closed());
  EXPECT_TRUE(watcher.wait_closed());
  // The socket file stays for the next start to replace.
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(m_daemon.socket_path())));
}

TEST_F(Connection, EveryDescriptorOfTheDaemonIsCloseOnExec) {
  std::string fdinfo = "/proc/" + std::to_string(m_daemon.process().pid()) + "/fdinfo";
  if (!std::filesystem::exists(fdinfo)) GTEST_SKIP() << "no /proc here";
  // A served connection: its socket and the slot's duplicate exist.
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_line(HELLO));
  ASSERT_EQ(client.read_line(), hello());
  // Sockets are what the daemon itself made here; other descriptors may be inherited from
  // whoever started it.
  std::string fd_dir = "/proc/" + std::to_string(m_daemon.process().pid()) + "/fd/";
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(fdinfo)) {
    std::string fd = entry.path().filename().string();
    std::error_code error;
    auto target = std::filesystem::read_symlink(fd_dir + fd, error).string();
    if (target.rfind("socket:", 0) != 0) continue;
    std::string info = read_file(entry.path().string());
    auto at = info.find("flags:");
    ASSERT_NE(at, std::string::npos) << info;
    unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
    EXPECT_NE(flags & O_CLOEXEC, 0u) << "descriptor " << fd;
    ++checked;
  }
  EXPECT_GE(checked, 3);  // listener, connection, slot
}

TEST_F(Connection, AnotherUsersConnectionIsClosedWithoutReply) {
  if (!can_change_user()) GTEST_SKIP() << "needs root to act as another user";
  // Open the way for the other user, so that only the daemon's own check can refuse it.
  ASSERT_EQ(::chmod(m_daemon.dir().path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(m_daemon.socket_path().c_str(), 0666), 0);
  EXPECT_EQ(stranger_sends(m_daemon.socket_path(), std::string(HELLO) + "\n"),
            StrangerOutcome::hung_up);
  // Our own user is still served.
  TestClient client = m_daemon.client();
  ASSERT_TRUE(client.send_line(HELLO));
  EXPECT_EQ(client.read_line(), hello());
}

}  // namespace
}  // namespace velmora::testing
