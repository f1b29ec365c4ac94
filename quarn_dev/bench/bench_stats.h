#ifndef QUARN_DEV_BENCH_STATS_H
#define QUARN_DEV_BENCH_STATS_H

// Figures the ROS benchmarks report: nearest-rank latency percentiles of a set of round trips
// and the CPU time a process has used.
//
//   LatencySummary s = summarize(roundTripsUs);  // s.p50, s.p99 in microseconds
//   double before = processCpuSeconds(pid);       // ... later: share = (after - before) / wall

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <quarn_dev/statistics.h>

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

/// p50, p90, p99 and max of the samples, in any order; all zero for no samples.
inline LatencySummary summarize(std::vector<double> samples)
{
  std::sort(samples.begin(), samples.end());
  LatencySummary s;
  s.samples = samples.size();
  s.p50 = quarn::dev::percentile(samples, 0.50);
  s.p90 = quarn::dev::percentile(samples, 0.90);
  s.p99 = quarn::dev::percentile(samples, 0.99);
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
