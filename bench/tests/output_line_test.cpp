#include "output_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"

namespace velmora::bench {
namespace {

TEST(Base64DecodeAppend, AgreesWithTheProtocolEncoderOnEveryTailLength) {
  std::mt19937 random(7);
  for (std::size_t size = 0; size < 300; ++size) {
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    std::string out = "kept";
    ASSERT_TRUE(base64_decode_append(base64_encode(bytes), out)) << size;
    EXPECT_EQ(out, "kept" + bytes) << size;
  }
}

TEST(Base64DecodeAppend, RejectsWhatNoEncoderProduces) {
  for (std::string_view text : {"YQ", "YQ=", "YR==", "YWJ=", "Y Q==", "YQ==\n",
                                "YQ==YQ==", "=YQ=", "====", "YW-j", "YW_j", "YWJj\r\n"}) {
    std::string out = "kept";
    EXPECT_FALSE(base64_decode_append(text, out)) << text;
    EXPECT_EQ(out, "kept") << text;
  }
}

TEST(OutputDecoder, DecodesOnlyOutputOfItsOwnSession) {
  OutputDecoder decoder("main");
  std::string out;
  auto line = encode_line(OutputEvent{"main", base64_encode("hello\r\n")});
  ASSERT_TRUE(line);
  line->pop_back();  // the newline
  EXPECT_EQ(decoder.decode(*line, out), OutputLine::decoded);
  EXPECT_EQ(out, "hello\r\n");

  out.clear();
  auto other = encode_line(OutputEvent{"mainframe", base64_encode("x")});
  ASSERT_TRUE(other);
  other->pop_back();
  EXPECT_EQ(decoder.decode(*other, out), OutputLine::other_event);
  EXPECT_EQ(decoder.decode(R"({"type":"exited","key":"main"})", out), OutputLine::other_event);
  EXPECT_EQ(decoder.decode(R"({"type":"output","key":"main","dataBase64":"Y"})", out),
            OutputLine::malformed);
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace velmora::bench
