// Helpers shared by the tests.
#ifndef TILTFIT_TESTS_TEST_UTIL_H
#define TILTFIT_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <vector>

#include "coder_array.h"

namespace tiltfit_test {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// |actual - expected| <= absTol + relTol * |expected|; NaN matches only NaN.
inline void expectClose(double actual, double expected, double relTol, double absTol = 0.0) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << "expected NaN, got " << actual;
    return;
  }
  EXPECT_LE(std::abs(actual - expected), absTol + relTol * std::abs(expected))
      << "actual " << actual << " expected " << expected;
}

inline void fill(coder::array<double, 1>& a, const std::vector<double>& v) {
  a.set_size(static_cast<int>(v.size()));
  for (int i = 0; i < a.size(0); ++i) a[i] = v[static_cast<size_t>(i)];
}

// Fills an n x c array from columns given one after another.
inline void fillColumns(coder::array<double, 2>& a, int n, int c,
                        const std::vector<double>& colMajor) {
  a.set_size(n, c);
  for (int i = 0; i < n * c; ++i) a[i] = colMajor[static_cast<size_t>(i)];
}

}  // namespace tiltfit_test

#endif
