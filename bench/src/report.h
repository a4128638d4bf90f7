#pragma once

// The table that the benchmark prints: one row per figure, beside its baseline and target.

#include <cstdio>
#include <string>
#include <vector>

namespace velmora::bench {

enum class Verdict { pass, fail, info };

// The target column of the bare relay's rows: figures to read the client's targets against,
// with no verdict of their own.
inline constexpr const char* RELAY_TARGET = "floor of any client";

struct Row {
  std::string measure;
  std::string velmora;
  std::string reference;  // the raw pseudo-terminal or reference server figure, if any
  std::string ratio;
  std::string target;
  Verdict verdict = Verdict::info;
};

class Report {
 public:
  void add(Row row);
  // A measure that could not be taken: shown as a failed row with the reason.
  void failed(const std::string& measure, const std::string& why);
  void print(std::FILE* out) const;
  bool all_passed() const;

 private:
  std::vector<Row> m_rows;
};

// Fixed-point text of value with the given number of decimals.
std::string fixed(double value, int decimals);
// The same with an explicit sign, for differences.
std::string signed_fixed(double value, int decimals);

inline Verdict verdict_of(bool passed) { return passed ? Verdict::pass : Verdict::fail; }

}  // namespace velmora::bench
