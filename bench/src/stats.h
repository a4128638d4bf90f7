#pragma once

// Order statistics over measured samples.

#include <cstddef>
#include <vector>

namespace velmora::bench {

// The nearest-rank percentile (fraction in [0, 1]); 0 for no samples.
double percentile(std::vector<double> samples, double fraction);

inline double median(std::vector<double> samples) { return percentile(std::move(samples), 0.5); }

}  // namespace velmora::bench
