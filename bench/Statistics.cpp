#include "Statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace bench {

double median(std::vector<double> values) {
  if (values.empty()) {
    return NAN;
  }
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Spread spread(const std::vector<double>& values) {
  if (values.empty()) {
    return {NAN, NAN, NAN};
  }
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  return {median(values), *low, *high};
}

double percentile(std::vector<double> values, double q) {
  if (values.empty()) {
    return NAN;
  }
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

}  // namespace bench
