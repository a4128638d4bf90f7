#include "report.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace velmora::bench {

namespace {

const char* verdict_text(Verdict verdict) {
  switch (verdict) {
    case Verdict::pass:
      return "pass";
    case Verdict::fail:
      return "FAIL";
    case Verdict::info:
      return "";
  }
  return "";
}

}  // namespace

std::string fixed(double value, int decimals) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
  return text.data();
}

std::string signed_fixed(double value, int decimals) {
  // Appending, not prepending: g++ 12 at -O3 warns falsely (-Wrestrict) on literal + string.
  std::string text = value >= 0 ? "+" : "";
  return text += fixed(value, decimals);
}

void Report::add(Row row) { m_rows.push_back(std::move(row)); }

void Report::failed(const std::string& measure, const std::string& why) {
  m_rows.push_back(Row{measure, "error: " + why, "", "", "", Verdict::fail});
}

void Report::print(std::FILE* out) const {
  const std::array<std::string, 6> header = {"measure", "velmora", "raw/reference",
                                             "ratio",   "target",  "result"};
  std::array<std::size_t, 6> width{};
  for (std::size_t i = 0; i < header.size(); ++i) width[i] = header[i].size();
  auto cells = [](const Row& row) {
    return std::array<std::string, 6>{row.measure, row.velmora, row.reference,
                                      row.ratio,   row.target,  verdict_text(row.verdict)};
  };
  for (const auto& row : m_rows) {
    auto texts = cells(row);
    for (std::size_t i = 0; i < texts.size(); ++i) width[i] = std::max(width[i], texts[i].size());
  }
  auto print_line = [&](const std::array<std::string, 6>& texts) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::fprintf(out, "%s%-*s", i == 0 ? "" : " | ", static_cast<int>(width[i]),
                   texts[i].c_str());
    }
    std::fprintf(out, "\n");
  };
  print_line(header);
  std::array<std::string, 6> rule;
  for (std::size_t i = 0; i < rule.size(); ++i) rule[i] = std::string(width[i], '-');
  print_line(rule);
  for (const auto& row : m_rows) print_line(cells(row));
}

bool Report::all_passed() const {
  return std::none_of(m_rows.begin(), m_rows.end(),
                      [](const Row& row) { return row.verdict == Verdict::fail; });
}

}  // namespace velmora::bench
