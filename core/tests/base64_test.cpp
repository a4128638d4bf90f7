#include "velmora/core/base64.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "velmora/core/socket_path.h"

namespace velmora {
namespace {

TEST(Base64, DecodesOnlyCanonicalText) {
  EXPECT_EQ(base64_decode(""), std::string());
  EXPECT_EQ(base64_decode("Zm9vYg=="), "foob");
  EXPECT_EQ(base64_decode("Zm9vYmE="), "fooba");
  EXPECT_FALSE(base64_decode("Zm9vYg"));     // padding removed
  EXPECT_FALSE(base64_decode("Zm9vYh=="));   // unused bits set
  EXPECT_FALSE(base64_decode("Zm9vYmF="));   // unused bits set
  EXPECT_FALSE(base64_decode("Zm9v\n"));     // line feed
  EXPECT_FALSE(base64_decode("Zm9v YmE="));  // blank inside
  EXPECT_FALSE(base64_decode("Zm9v-_=="));   // URL-safe symbols
  EXPECT_FALSE(base64_decode("Zg==Zg=="));   // padding inside
  EXPECT_FALSE(base64_decode("Z==="));
  EXPECT_FALSE(base64_decode("===="));
  EXPECT_FALSE(base64_decode("Zm=v"));
}

TEST(Base64, EveryLengthAndByteRoundTrips) {
  std::string bytes;
  for (std::size_t size = 0; size < 600; ++size) {
    bytes.resize(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) & 0xFF);
    const std::string text = base64_encode(bytes);
    ASSERT_EQ(text.size(), base64_encoded_size(size));
    ASSERT_EQ(
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
    ASSERT_EQ(base64_decode(text), bytes) << size;
  }
}

TEST(SocketPath, WritesTheUserIdInFull) {
  EXPECT_EQ(socket_path(0), "/tmp/velmorad-0.sock");
  EXPECT_EQ(socket_path(501), "/tmp/velmorad-501.sock");
  EXPECT_EQ(socket_path(4294967295u), "/tmp/velmorad-4294967295.sock");
}

}  // namespace
}  // namespace velmora
