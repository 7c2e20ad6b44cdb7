#include <gtest/gtest.h>

#include <cmath>

#include "blockedSummation.h"
#include "diff.h"
#include "std.h"
#include "test_util.h"

namespace {

using tiltfit_test::expectClose;
using tiltfit_test::fill;
using tiltfit_test::fillColumns;

void ones(coder::array<double, 1>& x, int n) {
  x.set_size(n);
  for (int i = 0; i < n; ++i) x[i] = 1.0;
}

TEST(BlockedSummationTest, EmptyAndZeroLengthGiveZero) {
  coder::array<double, 1> empty;
  EXPECT_EQ(coder::blockedSummation(empty, 0), 0.0);
  coder::array<double, 1> x;
  fill(x, {3.0, 4.0});
  EXPECT_EQ(coder::blockedSummation(x, 0), 0.0);
  EXPECT_EQ(coder::blockedSummation(x, 1), 3.0);
  EXPECT_EQ(coder::blockedSummation(x, 2), 7.0);  // only the first vlen elements count
}

// Every whole number below 2^53 is exact, so the count of ones comes back exactly whatever the
// block layout.
TEST(BlockedSummationTest, CountsOnesAcrossBlockBoundaries) {
  for (int n : {1, 1023, 1024, 1025, 2047, 2048, 2049, 5000}) {
    coder::array<double, 1> x;
    ones(x, n);
    EXPECT_EQ(coder::blockedSummation(x, n), static_cast<double>(n)) << n;
  }
}

// Next to 2^53 a lone 1 is rounded away but a block's partial sum is not: the result shows
// exactly where the blocks start and end.
TEST(BlockedSummationTest, BlocksAreSummedSeparately) {
  const double big = 9007199254740992.0;  // 2^53, spacing 2
  struct Case {
    int vlen;
    double expected;
  };
  for (const Case c :
       {Case{1024, big}, Case{1025, big}, Case{1026, big + 2.0}, Case{2048, big + 1024.0},
        Case{2049, big + 1024.0}, Case{2050, big + 1026.0}, Case{3000, big + 1976.0}}) {
    coder::array<double, 1> x;
    ones(x, c.vlen);
    x[0] = big;
    EXPECT_EQ(coder::blockedSummation(x, c.vlen), c.expected) << c.vlen;
  }
}

TEST(DiffTest, FirstDifferenceAndShortInputs) {
  coder::array<double, 1> x, y;
  fill(x, {1, 4, 9, 16});
  coder::diff(x, y);
  ASSERT_EQ(y.size(0), 3);
  EXPECT_EQ(y[0], 3.0);
  EXPECT_EQ(y[1], 5.0);
  EXPECT_EQ(y[2], 7.0);
  fill(x, {5});
  coder::diff(x, y);
  EXPECT_EQ(y.size(0), 0);
  fill(x, {});
  coder::diff(x, y);
  EXPECT_EQ(y.size(0), 0);
}

TEST(StdTest, ColumnsAreNormalisedByNMinusOne) {
  coder::array<double, 2> x;
  fillColumns(x, 4, 3, {1, 2, 3, 4, 5, 5, 5, 5, 0, 2, 0, 2});
  double y[3];
  coder::b_std(x, y);
  expectClose(y[0], std::sqrt(5.0 / 3.0), 4 * tiltfit_test::kEps);
  EXPECT_EQ(y[1], 0.0);
  expectClose(y[2], std::sqrt(4.0 / 3.0), 4 * tiltfit_test::kEps);
}

TEST(StdTest, OneRowGivesZeroAndNoRowGivesNaN) {
  coder::array<double, 2> x;
  fillColumns(x, 1, 3, {7, -2, 1e300});
  double y[3] = {1, 1, 1};
  coder::b_std(x, y);
  for (double v : y) EXPECT_EQ(v, 0.0);
  x.set_size(0, 3);
  coder::b_std(x, y);
  for (double v : y) EXPECT_TRUE(std::isnan(v));
}

TEST(StdTest, ExtremeMagnitudesNeitherOverflowNorUnderflow) {
  coder::array<double, 2> x;
  fillColumns(x, 4, 3,
              {1e200, 2e200, 3e200, 4e200, 1e-200, 2e-200, 3e-200, 4e-200, 1, std::nan(""), 3, 4});
  double y[3];
  coder::b_std(x, y);
  expectClose(y[0], 1e200 * std::sqrt(5.0 / 3.0), 8 * tiltfit_test::kEps);
  expectClose(y[1], 1e-200 * std::sqrt(5.0 / 3.0), 8 * tiltfit_test::kEps);
  EXPECT_TRUE(std::isnan(y[2]));
}

}  // namespace
