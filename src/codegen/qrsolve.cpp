#include "qrsolve.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "xnrm2.h"

namespace coder {
namespace internal {
namespace {

constexpr double kTiny = 1.0020841800044864e-292;  // 2^-970
constexpr double kHuge = 9.9792015476736e+291;     // 2^970
constexpr double kSqrtEps = 1.4901161193847656e-08;

// sqrt(u0^2 + u1^2) without overflow.
double rt_hypotd_snf(double u0, double u1) {
  const double a = std::abs(u0);
  const double b = std::abs(u1);
  if (a < b) {
    const double r = a / b;
    return b * std::sqrt(r * r + 1.0);
  }
  if (a > b) {
    const double r = b / a;
    return a * std::sqrt(r * r + 1.0);
  }
  return a * 1.4142135623730951;
}

// Householder reflector for the n values alpha1, x[ix0 - 1 ...] (n - 1 of them, 1-based ix0):
// scales x into v (v[0] = 1 implied), replaces alpha1 by beta and returns tau.
double xzlarfg(int n, double& alpha1, array<double, 2>& x, int ix0) {
  const double xnorm0 = blas::xnrm2(n - 1, x, ix0);
  if (xnorm0 == 0.0) {
    return 0.0;
  }
  double beta1 = rt_hypotd_snf(alpha1, xnorm0);
  if (alpha1 >= 0.0) {
    beta1 = -beta1;
  }
  const int xend = ix0 + n - 2;  // last 1-based index of x
  int knt = 0;
  if (std::abs(beta1) < kTiny) {
    // The reflector would underflow: scale it up, form it, and scale beta back.
    do {
      ++knt;
      for (int k = ix0; k <= xend; ++k) {
        x[k - 1] *= kHuge;
      }
      beta1 *= kHuge;
      alpha1 *= kHuge;
    } while (std::abs(beta1) < kTiny && knt < 20);
    beta1 = rt_hypotd_snf(alpha1, blas::xnrm2(n - 1, x, ix0));
    if (alpha1 >= 0.0) {
      beta1 = -beta1;
    }
  }
  const double tau = (beta1 - alpha1) / beta1;
  const double a = 1.0 / (alpha1 - beta1);
  for (int k = ix0; k <= xend; ++k) {
    x[k - 1] *= a;
  }
  for (int k = 0; k < knt; ++k) {
    beta1 *= kTiny;
  }
  alpha1 = beta1;
  return tau;
}

// Applies H = I - tau * v * v' from the left to columns i + 1 ... 3, rows i ... m - 1 of a, where v
// is column i from row i down with v[0] already set to 1.
void applyReflector(array<double, 2>& a, int m, int i, double tau, double* work) {
  if (tau == 0.0) {
    return;
  }
  const int vstart = i + m * i;
  int lastv = m - i;
  while (lastv > 0 && a[vstart + lastv - 1] == 0.0) {
    --lastv;
  }
  int lastc = 3 - i;
  while (lastc > 0) {
    const int col = (i + lastc) * m + i;
    bool nonzero = false;
    for (int r = 0; r < lastv; ++r) {
      if (a[col + r] != 0.0) {
        nonzero = true;
        break;
      }
    }
    if (nonzero) {
      break;
    }
    --lastc;
  }
  if (lastc <= 0) {
    return;
  }
  for (int t = 0; t < lastc; ++t) {
    const int col = (i + 1 + t) * m + i;
    double s = 0.0;
    for (int r = 0; r < lastv; ++r) {
      s += a[col + r] * a[vstart + r];
    }
    work[t] = s;
  }
  for (int t = 0; t < lastc; ++t) {
    if (work[t] != 0.0) {
      const double c = work[t] * -tau;
      const int col = (i + 1 + t) * m + i;
      for (int r = 0; r < lastv; ++r) {
        a[col + r] += a[vstart + r] * c;
      }
    }
  }
}

}  // namespace

void qrsolve(const array<double, 2>& A, const array<double, 2>& B, double* Y) {
  const int m = A.size(0);
  array<double, 2> qr;
  qr.set_size(m, 4);
  for (int k = 0; k < 4 * m; ++k) {
    qr[k] = A[k];
  }
  std::int8_t jpvt[4] = {1, 2, 3, 4};
  double tau_data[4] = {0.0, 0.0, 0.0, 0.0};
  double vn1[4] = {0.0, 0.0, 0.0, 0.0};
  double vn2[4] = {0.0, 0.0, 0.0, 0.0};
  double work[4] = {0.0, 0.0, 0.0, 0.0};
  const int mn = std::min(m, 4);

  if (m > 0) {
    for (int j = 0; j < 4; ++j) {
      vn1[j] = blas::xnrm2(m, qr, j * m + 1);
      vn2[j] = vn1[j];
    }
    for (int i = 0; i < mn; ++i) {
      const int ii = i + m * i;
      int p = i;
      double smax = vn1[i];
      for (int j = i + 1; j < 4; ++j) {
        if (vn1[j] > smax) {
          p = j;
          smax = vn1[j];
        }
      }
      if (p != i) {
        for (int r = 0; r < m; ++r) {
          std::swap(qr[r + m * p], qr[r + m * i]);
        }
        std::swap(jpvt[p], jpvt[i]);
        vn1[p] = vn1[i];
        vn2[p] = vn2[i];
      }
      if (i + 1 < m) {
        double alpha = qr[ii];
        tau_data[i] = xzlarfg(m - i, alpha, qr, ii + 2);
        qr[ii] = alpha;
      } else {
        tau_data[i] = 0.0;
      }
      if (i < 3) {
        const double rii = qr[ii];
        qr[ii] = 1.0;
        applyReflector(qr, m, i, tau_data[i], work);
        qr[ii] = rii;
      }
      for (int j = i + 1; j < 4; ++j) {
        if (vn1[j] != 0.0) {
          double temp = std::abs(qr[i + m * j]) / vn1[j];
          temp = 1.0 - temp * temp;
          if (temp < 0.0) {
            temp = 0.0;
          }
          const double ratio = vn1[j] / vn2[j];
          const double temp2 = temp * (ratio * ratio);
          if (temp2 <= kSqrtEps) {
            if (i + 1 < m) {
              vn1[j] = blas::xnrm2(m - i - 1, qr, (i + 1) + m * j + 1);
              vn2[j] = vn1[j];
            } else {
              vn1[j] = 0.0;
              vn2[j] = 0.0;
            }
          } else {
            vn1[j] *= std::sqrt(temp);
          }
        }
      }
    }
  }

  int rankA = 0;
  if (m > 0) {
    const double tol =
        std::min(2.220446049250313e-15 * static_cast<double>(std::max(m, 4)), kSqrtEps) *
        std::abs(qr[0]);
    while (rankA < mn && std::abs(qr[rankA + m * rankA]) > tol) {
      ++rankA;
    }
  }

  array<double, 2> b;
  b.set_size(m, 3);
  for (int k = 0; k < 3 * m; ++k) {
    b[k] = B[k];
  }
  for (int k = 0; k < 12; ++k) {
    Y[k] = 0.0;
  }
  for (int j = 0; j < mn; ++j) {
    if (tau_data[j] == 0.0) {
      continue;
    }
    for (int k = 0; k < 3; ++k) {
      const int bk = m * k;
      double w = b[j + bk];
      for (int r = j + 1; r < m; ++r) {
        w += qr[r + m * j] * b[r + bk];
      }
      w *= tau_data[j];
      if (w != 0.0) {
        b[j + bk] -= w;
        for (int r = j + 1; r < m; ++r) {
          b[r + bk] -= qr[r + m * j] * w;
        }
      }
    }
  }
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < rankA; ++i) {
      Y[(jpvt[i] - 1) + 4 * k] = b[i + m * k];
    }
    for (int j = rankA - 1; j >= 0; --j) {
      const int q = (jpvt[j] - 1) + 4 * k;
      Y[q] /= qr[j + m * j];
      for (int i = 0; i < j; ++i) {
        Y[(jpvt[i] - 1) + 4 * k] -= Y[q] * qr[i + m * j];
      }
    }
  }
}

}  // namespace internal
}  // namespace coder
