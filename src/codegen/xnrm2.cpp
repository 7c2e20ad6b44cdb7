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
    addScaledSquare(std::abs(x[k - 1]), scale, s);
  }
  return scale * std::sqrt(s);
}

}  // namespace blas
}  // namespace internal
}  // namespace coder
