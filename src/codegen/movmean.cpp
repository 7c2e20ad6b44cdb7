#include "movmean.h"

#include <algorithm>
#include <cmath>

#include "movSumProdOrMean.h"

namespace coder {

void movmean(const array<double, 1>& x, double k, array<double, 1>& y) {
  const int n = x.size(0);
  y.set_size(n);
  movmean(x.data(), n, k, y.data());
}

void movmean(const double* x, int n, double k, double* y) {
  int kleft;
  int kright;
  if (!(k >= 0.0)) {
    // Negative or NaN: no defined window; behave as a window of zero samples.
    kleft = 0;
    kright = -1;
  } else if (k >= 2147483647.0) {
    kleft = n;
    kright = n;
  } else {
    // 0 <= k < 2^31 - 1, so floor(k / 2) fits an int.
    kleft = static_cast<int>(std::floor(0.5 * k));
    kright = (k == 2.0 * static_cast<double>(kleft)) ? kleft - 1 : kleft;
    kleft = std::min(kleft, n);
    kright = std::min(kright, n);
  }
  vmovfun(x, n, n, kleft, kright, y);
}

}  // namespace coder
