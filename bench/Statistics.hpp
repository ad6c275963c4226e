#pragma once

// The figures of a series of measurements.

#include <vector>

namespace bench {

/// NaN for no values.
double median(std::vector<double> values);

/// The median of a series with its smallest and largest value: how a
/// figure taken once per paired round is reported. NaN for no values.
struct Spread {
  double median;
  double min;
  double max;
};
Spread spread(const std::vector<double>& values);

/// Nearest-rank percentile, q in (0, 1]; NaN for no values.
double percentile(std::vector<double> values, double q);

}  // namespace bench
