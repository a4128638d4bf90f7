#include "stats.h"

#include <algorithm>
#include <cmath>

namespace velmora::bench {

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  fraction = std::clamp(fraction, 0.0, 1.0);
  // Nearest rank: the smallest sample with at least that share of samples at or below it.
  auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
  std::size_t index = rank == 0 ? 0 : rank - 1;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                   samples.end());
  return samples[index];
}

}  // namespace velmora::bench
