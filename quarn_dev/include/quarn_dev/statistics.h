#ifndef QUARN_DEV_STATISTICS_H
#define QUARN_DEV_STATISTICS_H

// Medians and nearest-rank percentiles, the one rule for every figure the tools and benchmarks report.
//
//   double p95 = percentile(sortedLatencies, 0.95);  // the smallest sample with 95 % at or below it
//   double m = median(values);                      // mean of the two middle values of an even count

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include <boost/math/statistics/univariate_statistics.hpp>

namespace quarn::dev
{

/// 1-based rank of the nearest-rank q-quantile of count samples: the smallest rank with at least q of all
/// samples at or below it; q in (0, 1], kept to ranks 1 .. count; 0 for no samples.
inline std::size_t nearestRank(std::size_t count, double q)
{
  // q * count may land a hair above a whole rank (0.07 * 100 is 7.000000000000001): that is still the rank.
  const double rank = std::ceil(q * static_cast<double>(count) - 1e-9);
  return count == 0 ? 0 : static_cast<std::size_t>(std::clamp(rank, 1.0, static_cast<double>(count)));
}

/// Nearest-rank percentile of ascending samples (see nearestRank); 0 for no samples.
inline double percentile(const std::vector<double>& sorted, double q)
{
  return sorted.empty() ? 0.0 : sorted[nearestRank(sorted.size(), q) - 1];
}

/// Median of values in any order (reordered, so taken by value): the middle value, or the mean of the two
/// middle values of an even count; NaN for no values.
inline double median(std::vector<double> values)
{
  return values.empty() ? NAN : boost::math::statistics::median(values);
}

}  // namespace quarn::dev

#endif  // QUARN_DEV_STATISTICS_H
