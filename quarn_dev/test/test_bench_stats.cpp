// Figures of the ROS benchmarks: the latency summary and a process's CPU time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <vector>

#include "bench_stats.h"

TEST(BenchStats, SummarySortsItsSamples)
{
  std::vector<double> samples;
  for (int i = 200; i >= 1; --i)
    samples.push_back(i);
  const bench::LatencySummary s = bench::summarize(samples);
  EXPECT_EQ(200u, s.samples);
  EXPECT_EQ(100, s.p50);
  EXPECT_EQ(180, s.p90);
  EXPECT_EQ(198, s.p99);
  EXPECT_EQ(200, s.max);
}

TEST(BenchStats, EmptySummaryIsZero)
{
  const bench::LatencySummary s = bench::summarize({});
  EXPECT_EQ(0u, s.samples);
  EXPECT_EQ(0, s.p50);
  EXPECT_EQ(0, s.max);
}

TEST(BenchStats, CpuTimeGrowsWithWorkAndStaysBelowWallTime)
{
  // The wall-clock window encloses both readings, so one thread's CPU time cannot exceed it but by accounting skew.
  const double skew = 1.05;
  const auto start = std::chrono::steady_clock::now();
  const double before = bench::processCpuSeconds(getpid());
  volatile double sink = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50))
    sink = sink + 1;
  const double used = bench::processCpuSeconds(getpid()) - before;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(used, 0.0);
  EXPECT_LE(used, wall * skew);
}

TEST(BenchStats, CpuTimeOfNoProcessIsZero)
{
  EXPECT_EQ(0.0, bench::processCpuSeconds(-1));
}
