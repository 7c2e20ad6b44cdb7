// Scaled Euclidean norm (BLAS level 1 nrm2).
#ifndef XNRM2_H
#define XNRM2_H

#include "coder_array.h"

namespace coder {
namespace internal {
namespace blas {

// One step of a scaled sum of squares: sum * scale^2 is the sum of the squares so far, scale the
// largest magnitude so far (start with 2^-563 and 0). t is the next magnitude, |v| >= 0.
inline void addScaledSquare(double t, double& scale, double& sum) {
  if (t > scale) {
    const double r = scale / t;
    sum = 1.0 + sum * (r * r);
    scale = t;
  } else {
    const double r = t / scale;
    sum += r * r;
  }
}

// Euclidean norm of the n consecutive elements of x's column-major storage starting at the
// 1-based linear index ix0. The squares are accumulated relative to the largest magnitude seen so
// far, so no intermediate value overflows or underflows ([1e300, 1e300] gives about 1.414e300).
// n < 1 gives 0.0.
double xnrm2(int n, const array<double, 2>& x, int ix0);

}  // namespace blas
}  // namespace internal
}  // namespace coder

#endif
