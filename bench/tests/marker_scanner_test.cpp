#include "marker_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::bench {
namespace {

TEST(MarkerScanner, FindsTheMarkerSplitAtEveryPoint) {
  const std::string stream = std::string(100, 'x') + "END42" + "tail";
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    for (std::size_t second = first; second <= stream.size(); ++second) {
      MarkerScanner scanner("END42");
      scanner.feed(std::string_view(stream).substr(0, first));
      scanner.feed(std::string_view(stream).substr(first, second - first));
      scanner.feed(std::string_view(stream).substr(second));
      ASSERT_TRUE(scanner.found()) << first << " " << second;
      EXPECT_EQ(scanner.total(), stream.size());
    }
  }
}

TEST(MarkerScanner, FindsTheMarkerFedOneByteAtATime) {
  MarkerScanner scanner("END42");
  for (char byte : std::string("xxEND4END42")) scanner.feed(std::string_view(&byte, 1));
  EXPECT_TRUE(scanner.found());
}

TEST(MarkerScanner, IgnoresNearMissesAndForgetsOnReset) {
  MarkerScanner scanner("END42");
  scanner.feed("END4");
  scanner.feed("3 END");
  scanner.feed("$((40+2))");
  EXPECT_FALSE(scanner.found());
  scanner.feed("END");
  scanner.reset();
  scanner.feed("42");
  EXPECT_FALSE(scanner.found());
  EXPECT_EQ(scanner.total(), 2u);
}

}  // namespace
}  // namespace velmora::bench
