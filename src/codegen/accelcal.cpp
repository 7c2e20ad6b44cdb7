// Six-position accelerometer calibration by linear least squares.
//
// Model: a raw sample r = (r_x, r_y, r_z) maps to the calibrated reading
//
//     c_j = sum_i r_i * X(i, j) + X(3, j),    j = x, y, z,
//
// i.e. c = [r 1] * X with X a 4 x 3 matrix: rows 0-2 hold the gain/misalignment matrix and row 3
// the offset. At rest the calibrated reading must equal gravity as the orientation sees it, the
// reference row (-g, 0, 0) for x up, (+g, 0, 0) for x down and likewise for y and z. Stacking every
// rest sample gives the linear system
//
//     D * X ~= T,   D = [S 1] (N x 4),   T = reference rows (N x 3),
//
// three independent least-squares problems (one per column of X) sharing the design matrix D. All
// samples weigh equally, so an orientation with more samples pulls the fit harder. The samples are
// used as recorded; their mean magnitude only decides whether g is 1 (data in g) or 9.81 (m/s^2).
#include "accelcal.h"

#include <cmath>
#include <cstdint>

#include "blockedSummation.h"
#include "qrsolve.h"
#include "xnrm2.h"

namespace coder {
namespace {

// Euclidean length of (x, y, z), squares accumulated relative to the largest magnitude so far.
double magnitude(double x, double y, double z) {
  double scale = 3.312168642111238e-170;  // 2^-563
  double sum = 0.0;
  for (double c : {x, y, z}) internal::blas::addScaledSquare(std::abs(c), scale, sum);
  return scale * std::sqrt(sum);
}

// Solves the square 4 x 4 system D * X = T in place (X returned in T) by Gaussian elimination with
// partial pivoting. There is deliberately no singularity test: an entry that is exactly zero is
// skipped, so it stays zero even against a zero pivot.
void solveSquare(array<double, 2>& D, array<double, 2>& T) {
  std::int8_t ipiv[4] = {1, 2, 3, 4};
  for (int k = 0; k < 3; ++k) {
    int p = k;
    double smax = std::abs(D[k + 4 * k]);
    for (int i = k + 1; i < 4; ++i) {
      const double s = std::abs(D[i + 4 * k]);
      if (s > smax) {
        p = i;
        smax = s;
      }
    }
    if (D[p + 4 * k] != 0.0) {
      if (p != k) {
        for (int c = 0; c < 4; ++c) {
          const double tmp = D[k + 4 * c];
          D[k + 4 * c] = D[p + 4 * c];
          D[p + 4 * c] = tmp;
        }
        ipiv[k] = static_cast<std::int8_t>(p + 1);
      }
      for (int i = k + 1; i < 4; ++i) {
        D[i + 4 * k] /= D[k + 4 * k];
      }
    }
    for (int m = k + 1; m < 4; ++m) {
      const double dkm = D[k + 4 * m];
      if (dkm != 0.0) {
        for (int i = k + 1; i < 4; ++i) {
          D[i + 4 * m] -= D[i + 4 * k] * dkm;
        }
      }
    }
    if (ipiv[k] != k + 1) {
      const int r = ipiv[k] - 1;
      for (int c = 0; c < 3; ++c) {
        const double tmp = T[k + 4 * c];
        T[k + 4 * c] = T[r + 4 * c];
        T[r + 4 * c] = tmp;
      }
    }
  }
  for (int c = 0; c < 3; ++c) {
    double* t = &T[4 * c];
    for (int k = 0; k < 4; ++k) {
      if (t[k] != 0.0) {
        for (int i = k + 1; i < 4; ++i) {
          t[i] -= t[k] * D[i + 4 * k];
        }
      }
    }
    for (int k = 3; k >= 0; --k) {
      if (t[k] != 0.0) {
        t[k] /= D[k + 4 * k];
        for (int i = 0; i < k; ++i) {
          t[i] -= t[k] * D[i + 4 * k];
        }
      }
    }
  }
}

}  // namespace

void accelcal(const array<double, 2>& xUp, const array<double, 2>& xDown,
              const array<double, 2>& yUp, const array<double, 2>& yDown,
              const array<double, 2>& zUp, const array<double, 2>& zDown, double* A, double* b) {
  const array<double, 2>* inputs[6] = {&xUp, &xDown, &yUp, &yDown, &zUp, &zDown};
  long long total = 0;
  for (const array<double, 2>* in : inputs) {
    total += in->size(0);
  }
  const int n = static_cast<int>(total);

  // Stack the six inputs: each column is input 1's, then input 2's, ... in order.
  array<double, 2> S;
  S.set_size(n, 3);
  for (int h = 0; h < 3; ++h) {
    int row = 0;
    for (const array<double, 2>* in : inputs) {
      const int m = in->size(0);
      for (int r = 0; r < m; ++r) {
        S[row + r + n * h] = (*in)[r + m * h];
      }
      row += m;
    }
  }

  array<double, 1> magnitudes;
  magnitudes.set_size(n);
  for (int r = 0; r < n; ++r) {
    magnitudes[r] = magnitude(S[r], S[r + n], S[r + 2 * n]);
  }
  const double meanMagnitude = blockedSummation(magnitudes, n) / static_cast<double>(n);
  const double g = meanMagnitude > 4.905 ? 9.81 : 1.0;

  array<double, 2> D;
  D.set_size(n, 4);
  for (int k = 0; k < 3 * n; ++k) {
    D[k] = S[k];
  }
  for (int r = 0; r < n; ++r) {
    D[r + 3 * n] = 1.0;
  }

  // Reference rows: input 2q (up) is fitted to -g on axis q, input 2q + 1 (down) to +g.
  array<double, 2> T;
  T.set_size(n, 3);
  {
    int row = 0;
    for (int in = 0; in < 6; ++in) {
      const int m = inputs[in]->size(0);
      const int axis = in / 2;
      const double value = (in % 2 == 0) ? -g : g;
      for (int r = 0; r < m; ++r) {
        for (int h = 0; h < 3; ++h) {
          T[row + r + n * h] = h == axis ? value : 0.0;
        }
      }
      row += m;
    }
  }

  double X[12] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (n == 4) {
    solveSquare(D, T);
    for (int k = 0; k < 12; ++k) {
      X[k] = T[k];
    }
  } else if (n > 0) {
    internal::qrsolve(D, T, X);
  }

  for (int j = 0; j < 3; ++j) {
    A[3 * j] = X[4 * j];
    A[3 * j + 1] = X[4 * j + 1];
    A[3 * j + 2] = X[4 * j + 2];
    b[j] = X[4 * j + 3];
  }
}

}  // namespace coder
