#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace velmora::bench {
namespace {

std::string printed(const Report& report) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  report.print(out);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

TEST(Report, AlignsEveryColumnAndMarksMissedTargets) {
  Report report;
  report.add(Row{"echo p50 (us)", "61.0", "45.2", "+15.8 us", "<= raw + 40 us", Verdict::pass});
  report.add(Row{"a much longer measure name", "1", "", "", "", Verdict::info});
  report.failed("resume", "timed out");
  std::string text = printed(report);

  // Header, rule and three rows; every separator at the same column in every line.
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    auto end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 5u);
  auto first_bar = lines[0].find(" | ");
  for (const auto& line : lines) EXPECT_EQ(line.find(" | "), first_bar) << line;
  EXPECT_NE(lines[2].find("pass"), std::string::npos);
  EXPECT_NE(lines[4].find("error: timed out"), std::string::npos);
  EXPECT_NE(lines[4].find("FAIL"), std::string::npos);
  EXPECT_FALSE(report.all_passed());
}

TEST(Report, PassesWhenNoRowFailed) {
  Report report;
  EXPECT_TRUE(report.all_passed());
  report.add(Row{"info", "1", "", "", "", Verdict::info});
  report.add(Row{"met", "1", "", "", "", Verdict::pass});
  EXPECT_TRUE(report.all_passed());
  EXPECT_EQ(signed_fixed(-11.44, 1), "-11.4");
  EXPECT_EQ(signed_fixed(2.0, 1), "+2.0");
}

}  // namespace
}  // namespace velmora::bench
