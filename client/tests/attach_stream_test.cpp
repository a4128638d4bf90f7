#include "attach_stream.h"

#include <gtest/gtest.h>

#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"

namespace velmora::client {
namespace {

// Lines exactly as the daemon writes them, without the newline.
std::string line_of(const Event& event) {
  auto line = encode_line(event);
  EXPECT_TRUE(line.has_value());
  std::string text = line ? *line : std::string();
  if (!text.empty()) text.pop_back();
  return text;
}

std::string output_line(const std::string& key, const std::string& bytes) {
  std::string line =
      encode_output_line(key, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  line.pop_back();
  return line;
}

std::string attached_line(const std::string& key, bool resumed, const std::string& replay) {
  return line_of(AttachedEvent{key, resumed, base64_encode(replay), "/home/u", 77});
}

TEST(OutputLineParser, FindsKeyAndDataOfTheDaemonsOutputLines) {
  std::string line = output_line("main", "hello");
  auto parts = parse_output_line(line);
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(parts->key, "main");
  EXPECT_EQ(parts->data_base64, base64_encode("hello"));

  // Anything else is left to the general decoder.
  EXPECT_FALSE(parse_output_line(output_line("a\"b", "x")).has_value());
  EXPECT_FALSE(parse_output_line(line_of(ExitedEvent{"main"})).has_value());
  EXPECT_FALSE(parse_output_line(output_line("main", "x") + " ").has_value());
  EXPECT_FALSE(
      parse_output_line(R"({"type":"output","key":"main","dataBase64":"eA==)").has_value());
}

TEST(AttachStream, NewSessionShowsOutputAfterTheReply) {
  AttachStream stream("main");
  OutputBuffer screen;
  stream.handle_line(attached_line("main", false, ""), screen);
  EXPECT_TRUE(stream.attached());
  EXPECT_FALSE(stream.resumed());
  stream.handle_line(output_line("main", "$ "), screen);
  stream.handle_line(output_line("main", "echo hi\r\nhi\r\n"), screen);
  EXPECT_EQ(screen.view(), "$ echo hi\r\nhi\r\n");
  EXPECT_EQ(stream.ending(), Ending::running);
}

TEST(AttachStream, EarlyOutputWaitsForTheReplaySoTheScreenIsInOrder) {
  // The daemon may hand live output over before its reply; the replay is older than it.
  AttachStream stream("main");
  OutputBuffer screen;
  stream.handle_line(output_line("main", "new"), screen);
  EXPECT_EQ(screen.view(), "");
  stream.handle_line(attached_line("main", true, "old "), screen);
  EXPECT_TRUE(stream.resumed());
  EXPECT_EQ(screen.view(), "old new");
  stream.handle_line(output_line("main", "!"), screen);
  EXPECT_EQ(screen.view(), "old new!");
}

TEST(AttachStream, IgnoresOtherSessionsBrokenDataAndUnreadableLines) {
  AttachStream stream("main");
  OutputBuffer screen;
  stream.handle_line(attached_line("main", false, ""), screen);
  stream.handle_line(output_line("other", "not mine"), screen);
  stream.handle_line(line_of(ExitedEvent{"other"}), screen);
  stream.handle_line(R"({"type":"output","key":"main","dataBase64":"e==="})", screen);
  stream.handle_line(R"({"type":"newfangled","x":1})", screen);
  stream.handle_line("garbage", screen);
  stream.handle_line(line_of(SessionsEvent{}), screen);
  stream.handle_line(attached_line("main", true, "again"), screen);  // a second reply
  EXPECT_EQ(screen.view(), "");
  EXPECT_EQ(stream.ending(), Ending::running);
  EXPECT_FALSE(stream.resumed());
}

TEST(AttachStream, KeysThatNeedEscapesStillGetTheirOutput) {
  std::string key = "tab\there \"quoted\" \xc3\xa9";
  AttachStream stream(key);
  OutputBuffer screen;
  stream.handle_line(line_of(AttachedEvent{key, false, "", "/", 1}), screen);
  stream.handle_line(output_line(key, "yes"), screen);
  stream.handle_line(output_line("tab", "no"), screen);
  EXPECT_EQ(screen.view(), "yes");
}

TEST(AttachStream, ShellExitEndsAfterShowingWhatCameBefore) {
  AttachStream stream("k");
  OutputBuffer screen;
  // The shell may even end before the reply comes.
  stream.handle_line(output_line("k", "bye"), screen);
  stream.handle_line(line_of(ExitedEvent{"k"}), screen);
  EXPECT_EQ(stream.ending(), Ending::exited);
  EXPECT_EQ(screen.view(), "bye");
  stream.handle_line(output_line("k", "late"), screen);
  EXPECT_EQ(screen.view(), "bye");
}

TEST(AttachStream, DaemonErrorEndsWithItsText) {
  AttachStream stream("k");
  OutputBuffer screen;
  stream.handle_line(line_of(ErrorEvent{"端末を開けません: No space left on device (os error 28)"}),
                     screen);
  EXPECT_EQ(stream.ending(), Ending::failed);
  EXPECT_EQ(stream.failure(), "端末を開けません: No space left on device (os error 28)");
}

TEST(AttachStream, BinaryOutputPassesUnchanged) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  AttachStream stream("k");
  OutputBuffer screen;
  stream.handle_line(attached_line("k", true, bytes), screen);
  stream.handle_line(output_line("k", bytes), screen);
  EXPECT_EQ(screen.view(), bytes + bytes);
}

TEST(AttachStream, ResumedReplayGoesToTheDrawerAndCountsAsShown) {
  std::string drawn_replay;
  std::uint32_t drawn_pid = 0;
  AttachStream stream("k", [&](std::string_view replay, std::uint32_t pid, OutputBuffer& out) {
    drawn_replay = replay;
    drawn_pid = pid;
    out += "<screen>";
  });
  OutputBuffer screen;
  stream.handle_line(output_line("k", "early"), screen);
  stream.handle_line(attached_line("k", true, "the replay"), screen);
  stream.handle_line(output_line("k", " live"), screen);
  EXPECT_EQ(drawn_replay, "the replay");
  EXPECT_EQ(drawn_pid, 77u);
  EXPECT_EQ(stream.shell_pid(), 77u);
  EXPECT_EQ(screen.view(), "<screen>early live");
  EXPECT_EQ(stream.shown().bytes(), "the replayearly live");

  // A new session's output is shown as it comes.
  AttachStream fresh("k", [&](std::string_view, std::uint32_t, OutputBuffer& out) { out += "!"; });
  OutputBuffer other;
  fresh.handle_line(attached_line("k", false, ""), other);
  fresh.handle_line(output_line("k", "$ "), other);
  EXPECT_EQ(other.view(), "$ ");
}

TEST(AttachStream, KeysWithEscapesAreReadTheLongWay) {
  AttachStream stream("a\"b");
  OutputBuffer screen;
  stream.handle_line(attached_line("a\"b", true, "replayed"), screen);
  EXPECT_TRUE(stream.attached());
  EXPECT_EQ(screen.view(), "replayed");
}

TEST(AttachStream, DisplacedNoticeForItsOwnSessionOnly) {
  AttachStream stream("k");
  OutputBuffer screen;
  stream.handle_line(attached_line("k", true, ""), screen);
  stream.handle_line(line_of(ErrorEvent{"別の接続に移りました: other"}), screen);
  EXPECT_EQ(stream.ending(), Ending::failed) << "another session's notice is a failure here";
  AttachStream mine("k");
  mine.handle_line(attached_line("k", true, ""), screen);
  mine.handle_line(line_of(ErrorEvent{"別の接続に移りました: k"}), screen);
  EXPECT_EQ(mine.ending(), Ending::displaced);
  mine.handle_line(output_line("k", "after"), screen);
  EXPECT_EQ(screen.view().find("after"), std::string::npos);
}

}  // namespace
}  // namespace velmora::client
