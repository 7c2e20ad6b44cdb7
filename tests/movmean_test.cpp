#include "movmean.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "blockedSummation.h"
#include "test_util.h"

namespace {

using tiltfit_test::fill;

std::vector<double> smooth(const std::vector<double>& v, double k) {
  coder::array<double, 1> x, y;
  fill(x, v);
  coder::movmean(x, k, y);
  return std::vector<double>(y.data(), y.data() + y.size(0));
}

// The window table, on small whole numbers whose means are exact.
TEST(MovmeanTest, WindowLengthsSplitAroundTheCentre) {
  const std::vector<double> x = {1, 2, 3, 4, 5};
  EXPECT_EQ(smooth(x, 3), (std::vector<double>{1.5, 2, 3, 4, 4.5}));
  EXPECT_EQ(smooth(x, 3.9), smooth(x, 3));
  EXPECT_EQ(smooth(x, 5), (std::vector<double>{2, 2.5, 3, 3.5, 4}));
  EXPECT_EQ(smooth(x, 4.5), smooth(x, 5));
  // k = 2: the current and the previous sample.
  EXPECT_EQ(smooth(x, 2), (std::vector<double>{1, 1.5, 2.5, 3.5, 4.5}));
  for (double k : {0.5, 1.0, 1.5}) EXPECT_EQ(smooth(x, k), x) << k;
}

TEST(MovmeanTest, EvenWindowTakesTwoBeforeAndOneAfter) {
  const std::vector<double> x = {2, 4, 8, 16, 32, 64};
  const std::vector<double> y = smooth(x, 4);
  EXPECT_EQ(y[0], (2 + 4) / 2.0);
  EXPECT_EQ(y[1], (2 + 4 + 8) / 3.0);
  EXPECT_EQ(y[2], (2 + 4 + 8 + 16) / 4.0);
  EXPECT_EQ(y[3], (4 + 8 + 16 + 32) / 4.0);
  EXPECT_EQ(y[5], (16 + 32 + 64) / 3.0);
}

TEST(MovmeanTest, WindowLongerThanSignalAveragesEverything) {
  const std::vector<double> x = {1, 2, 3, 4, 5};
  for (double k : {100.0, 2147483647.0, 1e300, std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(smooth(x, k), std::vector<double>(5, 3.0)) << k;
  }
}

TEST(MovmeanTest, ZeroNegativeAndNaNWindowsGiveNaN) {
  const std::vector<double> x = {1, 2, 3};
  for (double k :
       {0.0, -0.0, -0.5, -3.0, -1e300, -std::numeric_limits<double>::infinity(), std::nan("")}) {
    const std::vector<double> y = smooth(x, k);
    ASSERT_EQ(y.size(), 3U);
    for (double v : y) EXPECT_TRUE(std::isnan(v)) << k;
  }
}

TEST(MovmeanTest, EmptySignalGivesEmptyOutput) {
  EXPECT_TRUE(smooth({}, 5).empty());
  EXPECT_TRUE(smooth({}, std::nan("")).empty());
}

TEST(MovmeanTest, NaNSpreadsOnlyOverWindowsThatHoldIt) {
  const std::vector<double> y = smooth({1, 1, std::nan(""), 1, 1, 1, 1}, 3);
  EXPECT_EQ(y[0], 1.0);
  EXPECT_TRUE(std::isnan(y[1]) && std::isnan(y[2]) && std::isnan(y[3]));
  EXPECT_EQ(y[4], 1.0);
}

// Outputs are computed several at a time; every output must still equal its own window summed in
// the blocked order, bit for bit, for short and for multi-block windows and any thread count.
struct LongCase {
  double k;
  int threads;
};

class MovmeanLongTest : public ::testing::TestWithParam<LongCase> {};

TEST_P(MovmeanLongTest, MatchesPerOutputBlockedSumBitForBit) {
  const LongCase c = GetParam();
  const unsigned seed = 1234;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  const int n = 5000;
  coder::array<double, 1> x, y;
  x.set_size(n);
  for (int i = 0; i < n; ++i) x[i] = 1.0 + noise(rng) * 1e-3;
  const int saved = omp_get_max_threads();
  omp_set_num_threads(c.threads);
  coder::movmean(x, c.k, y);
  omp_set_num_threads(saved);
  ASSERT_EQ(y.size(0), n);
  const int kleft = static_cast<int>(std::floor(c.k / 2));
  const int kright = (c.k == 2.0 * kleft) ? kleft - 1 : kleft;
  for (int i = 0; i < n; ++i) {
    const int lo = std::max(i - kleft, 0);
    const int hi = std::min(i + kright + 1, n);
    const double expected = coder::blockedSummation(x.data() + lo, hi - lo) / (hi - lo);
    ASSERT_EQ(y[i], expected) << "i=" << i << " seed=" << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(WindowsAndThreads, MovmeanLongTest,
                         ::testing::Values(LongCase{3, 1}, LongCase{50, 1}, LongCase{50, 2},
                                           LongCase{50, 4}, LongCase{51, 3}, LongCase{2049, 2},
                                           LongCase{3001, 4}, LongCase{9999, 2}),
                         [](const ::testing::TestParamInfo<LongCase>& p) {
                           return "k" + std::to_string(static_cast<int>(p.param.k)) + "_threads" +
                                  std::to_string(p.param.threads);
                         });

}  // namespace
