#pragma once

// The figures of a series of measurements.

#include <vector>

namespace bench {

/// NaN for no values.
double median(std::vector<double> values);

/// Nearest-rank percentile, q in (0, 1]; NaN for no values.
double percentile(std::vector<double> values, double q);

}  // namespace bench
