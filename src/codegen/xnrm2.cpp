#include "xnrm2.h"

#include <cmath>

namespace coder {
namespace internal {
namespace blas {

double xnrm2(int n, const array<double, 2>& x, int ix0) {
  if (n < 1) {
    return 0.0;
  }
  if (n == 1) {
    return std::abs(x[ix0 - 1]);
  }
  double scale = 3.312168642111238e-170;  // 2^-563
  double s = 0.0;
  const int kend = ix0 + n - 1;
  for (int k = ix0; k <= kend; ++k) {
    const double t = std::abs(x[k - 1]);
    if (t > scale) {
      const double r = scale / t;
      s = 1.0 + s * (r * r);
      scale = t;
    } else {
      const double r = t / scale;
      s += r * r;
    }
  }
  return scale * std::sqrt(s);
}

}  // namespace blas
}  // namespace internal
}  // namespace coder
