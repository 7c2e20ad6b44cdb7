#include "qrsolve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "test_util.h"
#include "xnrm2.h"

namespace {

using tiltfit_test::expectClose;
using tiltfit_test::fillColumns;
using tiltfit_test::kEps;

// Least-squares solution by the normal equations in long double; adequate for the well-conditioned
// systems it is used on.
std::vector<double> normalEquations(const coder::array<double, 2>& A,
                                    const coder::array<double, 2>& B) {
  const int m = A.size(0);
  std::vector<double> X(12);
  for (int k = 0; k < 3; ++k) {
    long double N[4][5] = {};
    for (int p = 0; p < 4; ++p) {
      for (int q = 0; q < 4; ++q)
        for (int r = 0; r < m; ++r)
          N[p][q] += static_cast<long double>(A[r + m * p]) * A[r + m * q];
      for (int r = 0; r < m; ++r) N[p][4] += static_cast<long double>(A[r + m * p]) * B[r + m * k];
    }
    for (int c = 0; c < 4; ++c)
      for (int r = c + 1; r < 4; ++r) {
        const long double f = N[r][c] / N[c][c];
        for (int q = c; q < 5; ++q) N[r][q] -= f * N[c][q];
      }
    for (int c = 3; c >= 0; --c) {
      long double s = N[c][4];
      for (int q = c + 1; q < 4; ++q) s -= N[c][q] * X[static_cast<size_t>(q + 4 * k)];
      X[static_cast<size_t>(c + 4 * k)] = static_cast<double>(s / N[c][c]);
    }
  }
  return X;
}

void randomSystem(std::mt19937_64& rng, int m, double scale, coder::array<double, 2>& A,
                  coder::array<double, 2>& B) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  A.set_size(m, 4);
  B.set_size(m, 3);
  for (int i = 0; i < 4 * m; ++i) A[i] = u(rng) * scale;
  for (int i = 0; i < 3 * m; ++i) B[i] = u(rng);
}

TEST(Xnrm2Test, ScaledNorm) {
  coder::array<double, 2> x;
  fillColumns(x, 2, 2, {3, 4, 1e300, 1e300});
  EXPECT_EQ(coder::internal::blas::xnrm2(2, x, 1), 5.0);
  expectClose(coder::internal::blas::xnrm2(2, x, 3), 1.4142135623730951e300, 2 * kEps);
  EXPECT_EQ(coder::internal::blas::xnrm2(1, x, 2), 4.0);
  EXPECT_EQ(coder::internal::blas::xnrm2(0, x, 1), 0.0);
}

TEST(QrsolveTest, IdentityReturnsFirstRowsOfB) {
  coder::array<double, 2> A, B;
  fillColumns(A, 4, 4, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
  fillColumns(B, 4, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  double Y[12];
  coder::internal::qrsolve(A, B, Y);
  for (int i = 0; i < 12; ++i) expectClose(Y[i], i + 1.0, 4 * kEps);
}

TEST(QrsolveTest, ExactSystemIsRecovered) {
  std::mt19937_64 rng(7);
  coder::array<double, 2> A, B;
  randomSystem(rng, 30, 1.0, A, B);
  const double X0[12] = {0.5, -1, 2, 0.25, 3, 1, -0.5, 0, -2, 0.75, 1.5, -1};
  for (int r = 0; r < 30; ++r)
    for (int k = 0; k < 3; ++k) {
      double s = 0;
      for (int p = 0; p < 4; ++p) s += A[r + 30 * p] * X0[p + 4 * k];
      B[r + 30 * k] = s;
    }
  double Y[12];
  coder::internal::qrsolve(A, B, Y);
  for (int i = 0; i < 12; ++i) expectClose(Y[i], X0[i], 0.0, 100 * kEps);
}

// Over-determined, inconsistent systems: the least-squares solution agrees with the normal
// equations to within a small multiple of eps times the condition number (here below 10).
TEST(QrsolveTest, OverdeterminedMatchesNormalEquations) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937_64 rng(seed);
    coder::array<double, 2> A, B;
    randomSystem(rng, 5 + static_cast<int>(seed) * 7, 1.0, A, B);
    double Y[12];
    coder::internal::qrsolve(A, B, Y);
    const std::vector<double> X = normalEquations(A, B);
    for (int i = 0; i < 12; ++i) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      expectClose(Y[i], X[static_cast<size_t>(i)], 1e-12, 1e-12);
    }
  }
}

TEST(QrsolveTest, TinyMagnitudesTakeTheRescalingPathAndScaleBack) {
  std::mt19937_64 rng(99);
  coder::array<double, 2> A, B, At;
  randomSystem(rng, 12, 1.0, A, B);
  At.set_size(12, 4);
  for (int i = 0; i < 48; ++i) At[i] = A[i] * 1e-300;
  double Y[12], Yt[12];
  coder::internal::qrsolve(A, B, Y);
  coder::internal::qrsolve(At, B, Yt);
  for (int i = 0; i < 12; ++i) expectClose(Yt[i], Y[i] * 1e300, 1e-12);
}

TEST(QrsolveTest, OneRowSolvesForTheLargestEntry) {
  coder::array<double, 2> A, B;
  fillColumns(A, 1, 4, {1, -4, 2, 4});
  fillColumns(B, 1, 3, {8, -2, 1});
  double Y[12];
  coder::internal::qrsolve(A, B, Y);
  for (int k = 0; k < 3; ++k)
    for (int p = 0; p < 4; ++p) {
      const double expected = p == 1 ? B[k] / -4.0 : 0.0;
      expectClose(Y[p + 4 * k], expected, 2 * kEps);
    }
}

TEST(QrsolveTest, TwoRowsGiveAtMostTwoComponents) {
  std::mt19937_64 rng(3);
  coder::array<double, 2> A, B;
  randomSystem(rng, 2, 1.0, A, B);
  double Y[12];
  coder::internal::qrsolve(A, B, Y);
  for (int k = 0; k < 3; ++k) {
    int nonzero = 0;
    for (int p = 0; p < 4; ++p) nonzero += Y[p + 4 * k] != 0.0;
    EXPECT_LE(nonzero, 2);
    // The two rows are met exactly.
    for (int r = 0; r < 2; ++r) {
      double s = 0;
      for (int p = 0; p < 4; ++p) s += A[r + 2 * p] * Y[p + 4 * k];
      expectClose(s, B[r + 2 * k], 1e-12, 1e-12);
    }
  }
}

TEST(QrsolveTest, ZeroColumnIsDroppedFromTheBasicSolution) {
  std::mt19937_64 rng(5);
  coder::array<double, 2> A, B;
  randomSystem(rng, 10, 1.0, A, B);
  for (int r = 0; r < 10; ++r) A[r + 10 * 2] = 0.0;
  double Y[12];
  coder::internal::qrsolve(A, B, Y);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(Y[2 + 4 * k], 0.0);
  // Residual is orthogonal to the three live columns.
  for (int k = 0; k < 3; ++k)
    for (int p : {0, 1, 3}) {
      double dot = 0;
      for (int r = 0; r < 10; ++r) {
        double fit = 0;
        for (int q = 0; q < 4; ++q) fit += A[r + 10 * q] * Y[q + 4 * k];
        dot += A[r + 10 * p] * (B[r + 10 * k] - fit);
      }
      EXPECT_NEAR(dot, 0.0, 1e-12);
    }
}

TEST(QrsolveTest, NoRowsGiveZeros) {
  coder::array<double, 2> A, B;
  A.set_size(0, 4);
  B.set_size(0, 3);
  double Y[12];
  for (double& v : Y) v = 42.0;
  coder::internal::qrsolve(A, B, Y);
  for (double v : Y) EXPECT_EQ(v, 0.0);
}

}  // namespace
