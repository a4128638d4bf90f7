#include "velmora/core/base64.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "base64_path_guard.h"
#include "base64_paths.h"
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

using base64_paths::Path;

std::string random_bytes(std::mt19937& generator, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// Encodes and decodes through the public calls with a guard zone behind the output, which no
// path may write into.
struct Coded {
  std::string text;
  std::optional<std::string> bytes;
};

constexpr std::size_t GUARD = 64;
constexpr char GUARD_BYTE = '\x5a';

std::string encode_guarded(std::string_view bytes) {
  std::string out(base64_encoded_size(bytes.size()) + GUARD, GUARD_BYTE);
  char* end = base64_encode_into(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                 bytes.size());
  EXPECT_EQ(end, out.data() + base64_encoded_size(bytes.size()));
  EXPECT_EQ(out.substr(out.size() - GUARD), std::string(GUARD, GUARD_BYTE));
  out.resize(out.size() - GUARD);
  return out;
}

std::optional<std::string> decode_guarded(std::string_view text) {
  std::string out(base64_decoded_size(text) + GUARD, GUARD_BYTE);
  bool ok = base64_decode_into(reinterpret_cast<unsigned char*>(out.data()), text);
  EXPECT_EQ(out.substr(out.size() - GUARD), std::string(GUARD, GUARD_BYTE)) << text.size();
  if (!ok) return std::nullopt;
  out.resize(out.size() - GUARD);
  return out;
}

TEST(Base64Paths, EveryPathRoundTripsEveryLengthLikeThePortableOne) {
  std::mt19937 generator(7);
  std::vector<std::string> inputs;
  for (std::size_t size = 0; size <= 300; ++size) inputs.push_back(random_bytes(generator, size));
  for (std::size_t size : {4095u, 8192u, 262144u, 786433u})
    inputs.push_back(random_bytes(generator, size));
  std::vector<std::string> expected;
  {
    test::PathGuard portable(Path::portable);
    for (const auto& bytes : inputs) expected.push_back(base64_encode(bytes));
  }
  for (Path path : base64_paths::available_paths()) {
    test::PathGuard selected(path);
    SCOPED_TRACE(base64_paths::path_name(path));
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      ASSERT_EQ(encode_guarded(inputs[i]), expected[i]) << inputs[i].size();
      ASSERT_EQ(decode_guarded(expected[i]), inputs[i]) << inputs[i].size();
    }
  }
}

// Every byte outside the alphabet, at every position of a text long enough for every vector
// width and at every offset within a vector: each path decides exactly as the portable one
// ('=' in the last group can make a valid text).
TEST(Base64Paths, EveryPathRejectsWhatThePortableOneRejects) {
  std::mt19937 generator(11);
  const std::string text = base64_encode(random_bytes(generator, 96));
  ASSERT_EQ(text.size(), 128u);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::string> mutated;
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (int byte = 0; byte < 256; ++byte) {
      if (alphabet.find(static_cast<char>(byte)) != std::string::npos) continue;
      mutated.push_back(text);
      mutated.back()[at] = static_cast<char>(byte);
    }
  }
  std::vector<std::optional<std::string>> expected;
  {
    test::PathGuard portable(Path::portable);
    for (const auto& candidate : mutated) expected.push_back(base64_decode(candidate));
  }
  std::size_t rejected = 0;
  for (const auto& result : expected) rejected += result ? 0 : 1;
  // Only '=' at the last two positions may leave a valid text.
  EXPECT_GE(rejected, mutated.size() - 2);
  for (Path path : base64_paths::available_paths()) {
    test::PathGuard selected(path);
    SCOPED_TRACE(base64_paths::path_name(path));
    for (std::size_t i = 0; i < mutated.size(); ++i)
      ASSERT_EQ(decode_guarded(mutated[i]), expected[i]) << i / 192 << " " << mutated[i];
  }
}

TEST(Base64Paths, TheBestPathIsChosenWhenNoneIsForced) {
  auto paths = base64_paths::available_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), Path::portable);
  std::cout << "base64 paths on this CPU:";
  for (Path path : paths) std::cout << " " << base64_paths::path_name(path);
  std::cout << "\n";
  EXPECT_EQ(base64_paths::selected_path(), paths.back());
}

TEST(SocketPath, WritesTheUserIdInFull) {
  EXPECT_EQ(socket_path(0), "/tmp/velmorad-0.sock");
  EXPECT_EQ(socket_path(501), "/tmp/velmorad-501.sock");
  EXPECT_EQ(socket_path(4294967295u), "/tmp/velmorad-4294967295.sock");
}

}  // namespace
}  // namespace velmora
