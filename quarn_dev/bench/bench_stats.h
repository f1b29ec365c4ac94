#ifndef QUARN_DEV_BENCH_STATS_H
#define QUARN_DEV_BENCH_STATS_H

// Figures the ROS benchmarks report: latency percentiles of a set of round trips
// and the CPU time a process has used.
//
//   LatencySummary s = summarize(roundTripsUs);  // s.p50, s.p99 in microseconds
//   double before = processCpuSeconds(pid);       // ... later: share = (after - before) / wall

#include <sys/types.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench
{

/// Percentiles of one set of samples, in the samples' unit (microseconds for round trips).
struct LatencySummary
{
  std::size_t samples = 0;  ///< number of samples summarised
  double p50 = 0.0;         ///< median
  double p90 = 0.0;         ///< 90th percentile
  double p99 = 0.0;         ///< 99th percentile
  double max = 0.0;         ///< largest sample
};

/// Nearest-rank percentile of ascending samples: the smallest sample with at least q of all
/// samples at or below it; q in (0, 1]; 0 for no samples.
inline double percentile(const std::vector<double>& sorted, double q)
{
  if (sorted.empty())
    return 0.0;
  // q * n may land a hair above a whole rank (0.07 * 100 is 7.000000000000001): that is still the rank.
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size()) - 1e-9));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

/// p50, p90, p99 and max of the samples, in any order; all zero for no samples.
inline LatencySummary summarize(std::vector<double> samples)
{
  std::sort(samples.begin(), samples.end());
  LatencySummary s;
  s.samples = samples.size();
  s.p50 = percentile(samples, 0.50);
  s.p90 = percentile(samples, 0.90);
  s.p99 = percentile(samples, 0.99);
  s.max = samples.empty() ? 0.0 : samples.back();
  return s;
}

/// CPU time in seconds used so far by all live threads of process pid, at nanosecond
/// resolution (from /proc/<pid>/task/*/schedstat); 0 when the process is gone.
inline double processCpuSeconds(pid_t pid)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  double ns = 0.0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end; !ec && it != end; it.increment(ec))
  {
    std::ifstream in(it->path() / "schedstat");
    double runNs = 0.0;
    if (in >> runNs)
      ns += runNs;
  }
  return ns * 1e-9;
}

}  // namespace bench

#endif  // QUARN_DEV_BENCH_STATS_H
