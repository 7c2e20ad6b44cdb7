#include "std.h"

#include <cmath>

#include "blockedSummation.h"
#include "rt_nonfinite.h"
#include "xnrm2.h"

namespace coder {

double columnStd(const double* x, int n) {
  if (n == 0) {
    return rtNaN;
  }
  if (n == 1) {
    return 0.0;
  }
  const double xbar = blockedSummation(x, n) / static_cast<double>(n);
  double scale = 3.312168642111238e-170;  // 2^-563
  double yv = 0.0;
  for (int k = 0; k < n; ++k) {
    // (d / scale)^2 and (|d| / scale)^2 are the same double.
    internal::blas::addScaledSquare(std::abs(x[k] - xbar), scale, yv);
  }
  return scale * std::sqrt(yv) / std::sqrt(static_cast<double>(n - 1));
}

void b_std(const array<double, 2>& x, double* y) {
  const int n = x.size(0);
  array<double, 1> xv;
  xv.set_size(n);
  for (int j = 0; j < 3; ++j) {
    for (int k = 0; k < n; ++k) {
      xv[k] = x[k + n * j];
    }
    y[j] = columnStd(xv.data(), n);
  }
}

}  // namespace coder
