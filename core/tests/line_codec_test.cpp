#include "velmora/core/line_codec.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/core/base64.h"
#include "velmora/core/unicode.h"

namespace velmora {
namespace {

std::string failure(std::string_view line) {
  Result<Request> r = decode_line(line);
  if (r) return "(read as " + encode_request(*r) + ")";
  return r.error().text();
}

std::string line_of(const Event& event) {
  Result<std::string> r = encode_line(event);
  EXPECT_TRUE(r.has_value());
  return r ? *r : std::string();
}

// Every White_Space character, as UTF-8.
const std::vector<std::string> WHITE_SPACE = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};

TEST(LineCodec, TrimsEveryWhiteSpaceCharacterAroundTheRequest) {
  for (const std::string& ws : WHITE_SPACE) {
    Result<Request> r = decode_line(ws + ws + R"({"type":"close","key":"a"})" + ws);
    ASSERT_TRUE(r.has_value()) << static_cast<int>(static_cast<unsigned char>(ws[0]));
    EXPECT_EQ(std::get<CloseRequest>(*r).key, "a");
    EXPECT_TRUE(is_blank(ws + ws));
  }
  // Look-alikes that are not White_Space stay: the zero-width space and the BOM.
  EXPECT_FALSE(is_blank("\u200b"));
  EXPECT_FALSE(is_blank("\ufeff"));
  EXPECT_EQ(trim_white_space("\u200b x"), "\u200b x");
}

TEST(LineCodec, WhiteSpaceOtherThanJsonsBetweenTokensIsASyntaxFault) {
  for (const std::string& ws : WHITE_SPACE) {
    const std::string line = R"({"type":)" + ws + R"("close","key":"a"})";
    const bool json_white_space = ws == " " || ws == "\t" || ws == "\n" || ws == "\r";
    if (json_white_space) {
      EXPECT_TRUE(decode_line(line).has_value());
    } else {
      EXPECT_EQ(failure(line), "読み取りに失敗: expected value at line 1 column 9");
    }
  }
}

TEST(LineCodec, EmptyAndBlankLinesFailAtColumnZero) {
  EXPECT_EQ(failure(""), "読み取りに失敗: EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(failure(" \u3000\r"), "読み取りに失敗: EOF while parsing a value at line 1 column 0");
}

TEST(LineCodec, FaultsFoundInsideAreReportedBeforeTrailingCharacters) {
  EXPECT_EQ(failure(R"({"type":"close","key":"a"} x)"),
            "読み取りに失敗: trailing characters at line 1 column 28");
  EXPECT_EQ(failure(R"({"type":"close"} x)"), "読み取りに失敗: missing field `key`");
  EXPECT_TRUE(decode_line("{\"type\":\"close\",\"key\":\"a\"}\r").has_value());
}

TEST(LineCodec, FaultsOfMembersFollowTheirOrderInTheText) {
  EXPECT_EQ(failure(R"({"type":"resize","cols":"x","key":"a","key":"b"})"),
            R"(読み取りに失敗: invalid type: string "x", expected u16)");
  EXPECT_EQ(failure(R"({"type":"resize","key":"a","key":"b","cols":"x"})"),
            "読み取りに失敗: duplicate field `key`");
  // A name the alternative does not declare is ignored, whatever its value.
  EXPECT_TRUE(decode_line(R"({"version":"x","type":"close","key":"a","env":7})").has_value());
  // The tag may come last; members before it are judged by the alternative it names.
  EXPECT_EQ(failure(R"({"cwd":null,"cwd":null,"type":"attach"})"),
            "読み取りに失敗: duplicate field `cwd`");
}

TEST(LineCodec, ReadsEnvironmentPairsInOrder) {
  Result<Request> r = decode_line(
      R"({"type":"attach","key":"k","cwd":"/w","cols":80,"rows":24,"env":[["A","1"],["B","\u00e9"]]})");
  ASSERT_TRUE(r.has_value());
  const auto& attach = std::get<AttachRequest>(*r);
  EXPECT_EQ(attach.cwd, "/w");
  ASSERT_EQ(attach.env.size(), 2u);
  EXPECT_EQ(attach.env[0], EnvPair("A", "1"));
  EXPECT_EQ(attach.env[1], EnvPair("B", "é"));
  EXPECT_EQ(failure(R"({"type":"attach","key":"k","cols":1,"rows":1,"env":[["A"]]})"),
            "読み取りに失敗: invalid length 1, expected a tuple of size 2");
  EXPECT_EQ(failure(R"({"type":"attach","key":"k","cols":1,"rows":1,"env":[["A","1","2"]]})"),
            "読み取りに失敗: invalid length 3, expected 2 elements in sequence");
  EXPECT_EQ(failure(R"({"type":"attach","key":"k","cols":1,"rows":1,"env":[["A",1],7]})"),
            "読み取りに失敗: invalid type: integer `1`, expected a string");
}

std::string nested(std::size_t arrays) {
  return R"({"type":"list","x":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
}

TEST(LineCodec, NestingStopsAtTheHundredTwentySeventhLevel) {
  EXPECT_TRUE(decode_line(nested(126)).has_value());
  EXPECT_EQ(failure(nested(127)), "読み取りに失敗: recursion limit exceeded at line 1 column 146");
  // Far deeper input fails the same way, without using more stack.
  EXPECT_EQ(failure(R"(["list",)" + std::string(100000, '[')),
            "読み取りに失敗: recursion limit exceeded at line 1 column 135");
  EXPECT_EQ(failure(nested(100000)),
            "読み取りに失敗: recursion limit exceeded at line 1 column 146");
}

TEST(LineCodec, HundredMegabyteLineIsReadWhole) {
  std::string data(100u << 20, 'A');
  const std::string line = R"({"type":"write","key":"k","dataBase64":")" + data + R"("})";
  Result<Request> r = decode_line(line);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(std::get<WriteRequest>(*r).data_base64.size(), data.size());
  // The same line cut short ends inside the string.
  EXPECT_EQ(failure(std::string_view(line).substr(0, line.size() - 2)),
            "読み取りに失敗: EOF while parsing a string at line 1 column " +
                std::to_string(line.size() - 2));
}

TEST(LineCodec, EveryTruncationOfAValidRequestFailsWithAText) {
  const std::vector<std::string> requests = {
      R"({"type":"attach","key":"k\u00e9\ud83d\ude00","cwd":null,"cols":80,"rows":24,"env":[["A","1"]]})",
      R"(["resize","a",100,40])",
      R"({"type":"write","key":"k","dataBase64":"aGk=","extra":[1.5e3,-2,true,false,null,{}]})",
  };
  for (const std::string& request : requests) {
    ASSERT_TRUE(decode_line(request).has_value()) << request;
    for (std::size_t n = 0; n < request.size(); ++n) {
      Result<Request> r = decode_line(std::string_view(request).substr(0, n));
      ASSERT_FALSE(r.has_value()) << request.substr(0, n);
      EXPECT_EQ(r.error().text().rfind("読み取りに失敗: ", 0), 0u);
    }
  }
}

TEST(LineCodec, BytesThatAreNotUtf8DoNotBreakReading) {
  EXPECT_EQ(failure("\xff"), "読み取りに失敗: expected value at line 1 column 1");
  EXPECT_EQ(failure("{\"type\":\"\xc3\"}"),
            "読み取りに失敗: unknown variant `\xc3`, expected one of `hello`, `attach`, `write`, "
            "`resize`, `close`, `list`, `shutdown` at line 1 column 11");
  EXPECT_EQ(failure("\"\xe2\x80\""),
            "読み取りに失敗: invalid type: string \"\\u{fffd}\\u{fffd}\", expected internally "
            "tagged enum Request at line 1 column 4");
  Result<Request> r = decode_line("{\"type\":\"close\",\"key\":\"\xf0\x80\"}\xe2\x80");
  ASSERT_FALSE(r.has_value());
}

TEST(LineCodec, WritesEventsExactly) {
  EXPECT_EQ(line_of(HelloEvent{1, 812}), "{\"type\":\"hello\",\"version\":1,\"pid\":812}\n");
  EXPECT_EQ(line_of(AttachedEvent{"k", false, "", "/home/u", 0}),
            "{\"type\":\"attached\",\"key\":\"k\",\"resumed\":false,\"replayBase64\":\"\","
            "\"cwd\":\"/home/u\",\"pid\":0}\n");
  EXPECT_EQ(line_of(AttachedEvent{"k", true, "aGk=", "/", 4294967295u}),
            "{\"type\":\"attached\",\"key\":\"k\",\"resumed\":true,\"replayBase64\":\"aGk=\","
            "\"cwd\":\"/\",\"pid\":4294967295}\n");
  EXPECT_EQ(line_of(OutputEvent{"k", "aGk="}),
            "{\"type\":\"output\",\"key\":\"k\",\"dataBase64\":\"aGk=\"}\n");
  EXPECT_EQ(line_of(ExitedEvent{"main"}), "{\"type\":\"exited\",\"key\":\"main\"}\n");
  EXPECT_EQ(line_of(SessionsEvent{}), "{\"type\":\"sessions\",\"keys\":[]}\n");
  EXPECT_EQ(
      line_of(SessionsEvent{{{"main", "/home/u", 17, 913}, {"b", "/", 18446744073709551615u, 1}}}),
      "{\"type\":\"sessions\",\"keys\":[{\"key\":\"main\",\"cwd\":\"/home/u\","
      "\"startedAt\":17,\"pid\":913},{\"key\":\"b\",\"cwd\":\"/\","
      "\"startedAt\":18446744073709551615,\"pid\":1}]}\n");
  EXPECT_EQ(line_of(ErrorEvent{"x"}), "{\"type\":\"error\",\"message\":\"x\"}\n");
}

TEST(LineCodec, EscapesOnlyWhatJsonRequires) {
  const std::string all_controls = [] {
    std::string s;
    for (int c = 0; c < 0x20; ++c) s += static_cast<char>(c);
    return s;
  }();
  EXPECT_EQ(line_of(ErrorEvent{all_controls}),
            "{\"type\":\"error\",\"message\":\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005"
            "\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013"
            "\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e"
            "\\u001f\"}\n");
  EXPECT_EQ(line_of(ErrorEvent{"\"\\/\x7f é\u2028😀"}),
            "{\"type\":\"error\",\"message\":\"\\\"\\\\/\x7f é\u2028😀\"}\n");
  // Bytes that are not UTF-8 would make the line unreadable; they become U+FFFD.
  EXPECT_EQ(line_of(ExitedEvent{"a\xff\xc3"
                                "b"}),
            "{\"type\":\"exited\",\"key\":\"a\uFFFD\uFFFDb\"}\n");
  EXPECT_EQ(json_quote("a\"\n\xed\xa0\x80"), "\"a\\\"\\n\uFFFD\uFFFD\uFFFD\"");
}

TEST(LineCodec, OutputLineEqualsTheGeneralEncoding) {
  std::string bytes;
  for (std::size_t size : {0u, 1u, 2u, 3u, 4u, 100u, 8191u, 8192u}) {
    bytes.resize(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + size);
    for (std::string key : {"main", "", "k\"\n\u00e9"}) {
      EXPECT_EQ(encode_output_line(key, reinterpret_cast<const unsigned char*>(bytes.data()),
                                   bytes.size()),
                line_of(OutputEvent{key, base64_encode(bytes)}));
    }
  }
}

TEST(LineCodec, ReusedOutputLineAndOnePassAttachedLineEqualTheGeneralEncoding) {
  // Sizes shrink and grow so that the reused line is both cut down and extended.
  std::string line;
  for (std::size_t size : {8192u, 1u, 100u, 0u, 8191u, 2u}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 13 + size);
    encode_output_line_into(line, "k\n", reinterpret_cast<const unsigned char*>(bytes.data()),
                            bytes.size());
    EXPECT_EQ(line, line_of(OutputEvent{"k\n", base64_encode(bytes)}));

    AttachedEvent attached{"k\u00e9", size % 2 == 0, "not read", "/tmp/\"x\"", 4294967295u};
    AttachedEvent expected = attached;
    expected.replay_base64 = base64_encode(bytes);
    EXPECT_EQ(encode_attached_line(attached, bytes), line_of(expected));
    EXPECT_EQ(encode_attached_buffer(attached, bytes).view(), line_of(expected));
  }
}

TEST(LineCodec, EveryEventReadsBack) {
  const std::vector<Event> events = {
      HelloEvent{1, 812},
      AttachedEvent{"k\u00e9", true, "aGk=", "/tmp/x y", 99},
      AttachedEvent{"", false, "", "", 0},
      OutputEvent{"main", base64_encode("\x1b[1mhi\r\n")},
      ExitedEvent{"main"},
      SessionsEvent{},
      SessionsEvent{{{"a", "/", 17, 913}, {"b\n", "/x", 18446744073709551615u, 4294967295u}}},
      ErrorEvent{"読み取りに失敗: \"x\"\t\\"},
  };
  for (const Event& event : events) {
    const std::string line = line_of(event);
    Result<Event> back = decode_event(line);
    ASSERT_TRUE(back.has_value()) << line << back.error().text();
    EXPECT_EQ(*back, event) << line;
    // Without the line feed, with a carriage return too, and with members it does not know.
    EXPECT_TRUE(decode_event(line.substr(0, line.size() - 1)).has_value());
    EXPECT_TRUE(decode_event(line.substr(0, line.size() - 1) + "\r\n").has_value());
    std::string extended = line;
    extended.insert(1, R"("future":{"x":[1,2.5]},)");
    back = decode_event(extended);
    ASSERT_TRUE(back.has_value()) << extended;
    EXPECT_EQ(*back, event);
  }
}

TEST(LineCodec, EventsSkipTheContentsOfMembersTheyDoNotKnow) {
  std::string many;
  for (int i = 0; i < 100000; ++i) many += R"({"k":[1,"x"]},)";
  Result<Event> r =
      decode_event(R"({"type":"sessions","later":[)" + many +
                   R"(0],"keys":[{"key":"a","cwd":"/","startedAt":1,"pid":2,"x":[[]]}]})");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, Event(SessionsEvent{{{"a", "/", 1, 2}}}));
  r = decode_event(
      R"({"type":"sessions","keys":[{"key":"a","cwd":{"x":1},"startedAt":1,"pid":2}]})");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "読み取りに失敗: invalid type: map, expected a string");
}

TEST(LineCodec, EventsWithMissingOrMistypedMembersFail) {
  const auto fault = [](std::string_view line) {
    Result<Event> r = decode_event(line);
    return r ? std::string("(read)") : r.error().text();
  };
  EXPECT_EQ(fault(R"({"type":"hello","version":1})"), "読み取りに失敗: missing field `pid`");
  EXPECT_EQ(fault(R"({"type":"hello","version":1,"pid":-1})"),
            "読み取りに失敗: invalid value: integer `-1`, expected u32");
  EXPECT_EQ(
      fault(R"({"type":"attached","key":"k","resumed":1,"replayBase64":"","cwd":"/","pid":1})"),
      "読み取りに失敗: invalid type: integer `1`, expected a boolean");
  EXPECT_EQ(fault(R"({"type":"sessions","keys":[{"key":"a","cwd":"/","pid":1}]})"),
            "読み取りに失敗: missing field `startedAt`");
  EXPECT_EQ(fault(R"({"type":"exited","key":"a","key":"b"})"),
            "読み取りに失敗: duplicate field `key`");
  EXPECT_EQ(fault(R"({"type":"bye"})"),
            "読み取りに失敗: unknown variant `bye`, expected one of `hello`, `attached`, "
            "`output`, `exited`, `sessions`, `error`");
  EXPECT_EQ(fault("[]"),
            "読み取りに失敗: invalid type: sequence, expected internally tagged enum Event");
  EXPECT_EQ(fault(R"({"type":"exited","key":"a"} {})"),
            "読み取りに失敗: trailing characters at line 1 column 29");
  EXPECT_EQ(fault(std::string(100000, '[')),
            "読み取りに失敗: recursion limit exceeded at line 1 column 128");
}

TEST(LineCodec, RequestsWrittenForClientsReadBack) {
  const std::vector<Request> requests = {
      HelloRequest{1},
      AttachRequest{"k", std::nullopt, 80, 24, {}},
      AttachRequest{"k\"\u00e9", "/tmp", 65535, 0, {{"A", "1"}, {"", "\n"}}},
      WriteRequest{"k", "aGk="},
      ResizeRequest{"k", 100, 40},
      CloseRequest{""},
      ListRequest{},
      ShutdownRequest{},
  };
  for (const Request& request : requests) {
    const std::string line = encode_request(request);
    ASSERT_EQ(line.back(), '\n');
    Result<Request> back = decode_line(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back.has_value()) << line;
    EXPECT_EQ(*back, request) << line;
  }
  EXPECT_EQ(encode_request(AttachRequest{"k", std::nullopt, 80, 24, {{"A", "1"}}}),
            "{\"type\":\"attach\",\"key\":\"k\",\"cwd\":null,\"cols\":80,\"rows\":24,"
            "\"env\":[[\"A\",\"1\"]]}\n");
}

}  // namespace
}  // namespace velmora
