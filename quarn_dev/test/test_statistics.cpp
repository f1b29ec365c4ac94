// Nearest-rank percentiles and medians: the one rule behind the campaign's, the identification's and the
// benchmarks' figures.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include <quarn_dev/statistics.h>

using quarn::dev::median;
using quarn::dev::percentile;

TEST(Statistics, NearestRankPercentiles)
{
  const std::vector<double> ten = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 };
  struct Case
  {
    std::vector<double> sorted;
    double q;
    double expected;
  };
  const Case cases[] = {
    { ten, 0.50, 5 }, { ten, 0.90, 9 },  { ten, 0.91, 10 },  { ten, 0.99, 10 }, { ten, 1.0, 10 },
    { ten, 0.01, 1 }, { { 7 }, 0.5, 7 }, { { 7 }, 0.99, 7 }, { {}, 0.5, 0 },
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, percentile(c.sorted, c.q)) << "q " << c.q << " of " << c.sorted.size();
}

TEST(Statistics, RankIsExactWhereTheProductIsNot)
{
  std::vector<double> hundred;
  for (int i = 1; i <= 100; ++i)
    hundred.push_back(i);
  EXPECT_EQ(7, percentile(hundred, 0.07));
  EXPECT_EQ(29, percentile(hundred, 0.29));
  EXPECT_EQ(99, percentile(hundred, 0.99));
}

TEST(Statistics, MedianOfOddAndEvenCountsInAnyOrder)
{
  EXPECT_EQ(3, median({ 5, 1, 3 }));
  EXPECT_EQ(2.5, median({ 4, 1, 3, 2 }));
  EXPECT_EQ(7, median({ 7 }));
  EXPECT_TRUE(std::isnan(median({})));
}
