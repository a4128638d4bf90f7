#include "decode_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "velmora/core/owned_fd.h"

namespace velmora::client {
namespace {

TEST(DecodeCommand, ShowsTheNormalizedRequest) {
  EXPECT_EQ(describe_request_line(R"({"key":"a","type":"close"})"),
            R"({"request":{"type":"close","key":"a"}})");
  EXPECT_EQ(describe_request_line(R"(["resize","a",100,40])"),
            R"({"request":{"type":"resize","key":"a","cols":100,"rows":40}})");
  EXPECT_EQ(
      describe_request_line(R"({"type":"attach","key":"k","rows":2,"cols":3,"env":[["A","1"]]})"),
      R"({"request":{"type":"attach","key":"k","cwd":null,"cols":3,"rows":2,"env":[["A","1"]]}})");
}

TEST(DecodeCommand, ShowsTheDaemonsExactFailureTextQuoted) {
  EXPECT_EQ(describe_request_line(R"({"type":"close"})"),
            "{\"error\":\"読み取りに失敗: missing field `key`\"}");
  EXPECT_EQ(describe_request_line(R"({"type":"Hello"})"),
            "{\"error\":\"読み取りに失敗: unknown variant `Hello`, expected one of `hello`, "
            "`attach`, `write`, `resize`, `close`, `list`, `shutdown` at line 1 column 15\"}");
  EXPECT_EQ(describe_request_line("{\"type\":\"close\",\"key\":\"a\"} x"),
            "{\"error\":\"読み取りに失敗: trailing characters at line 1 column 28\"}");
  // A string description in the failure keeps its quotes escaped in our JSON.
  EXPECT_EQ(describe_request_line(R"({"type":"close","key":true})"),
            "{\"error\":\"読み取りに失敗: invalid type: boolean `true`, expected a string\"}");
  EXPECT_EQ(describe_request_line(R"({"type":"hello","version":"1"})"),
            "{\"error\":\"読み取りに失敗: invalid type: string \\\"1\\\", expected u32\"}");
}

TEST(DecodeCommand, InvalidUtf8IsReportedNotDecoded) {
  std::string shown = describe_request_line("{\"type\":\"close\",\"key\":\"\xff\"}");
  EXPECT_EQ(shown.rfind("{\"error\":\"line is not valid UTF-8", 0), 0u) << shown;
}

std::string decode_through_pipes(const std::string& input) {
  int in[2], out[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  OwnedFd in_read(in[0]), in_write(in[1]), out_read(out[0]), out_write(out[1]);
  // Both directions may exceed a pipe's capacity: feed and drain on threads of their own.
  std::thread feeder([&] {
    std::string_view rest = input;
    while (!rest.empty()) {
      ssize_t n = ::write(in_write.get(), rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    in_write.reset();
  });
  std::string result;
  std::thread drainer([&] {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out_read.get(), chunk, sizeof chunk)) > 0)
      result.append(chunk, static_cast<std::size_t>(n));
  });
  EXPECT_EQ(run_decode(in_read.get(), out_write.get()), 0);
  out_write.reset();
  feeder.join();
  drainer.join();
  return result;
}

TEST(DecodeCommand, OneAnswerPerLineLikeTheDaemonSplitsThem) {
  std::string input =
      "{\"type\":\"list\"}\r\n"  // CRLF
      "\n"                       // blank lines get no answer, as in the daemon
      " \t\r\n"
      "{\"type\":\"shutdown\"}\r\r\n"  // one carriage return removed, the other trimmed
      "[\"close\",\"z\"]";             // the last line has no newline
  std::string expected =
      "{\"request\":{\"type\":\"list\"}}\n"
      "{\"request\":{\"type\":\"shutdown\"}}\n"
      "{\"request\":{\"type\":\"close\",\"key\":\"z\"}}\n";
  EXPECT_EQ(decode_through_pipes(input), expected);
  EXPECT_EQ(decode_through_pipes(""), "");
}

TEST(DecodeCommand, LongLinesAcrossManyReadsStayWhole) {
  std::string data(300000, 'A');
  std::string input = "{\"type\":\"write\",\"key\":\"k\",\"dataBase64\":\"" + data + "\"}\n";
  // 300000 is a multiple of four, so the text is canonical base64.
  EXPECT_EQ(decode_through_pipes(input),
            "{\"request\":{\"type\":\"write\",\"key\":\"k\",\"dataBase64\":\"" + data + "\"}}\n");
}

}  // namespace
}  // namespace velmora::client
