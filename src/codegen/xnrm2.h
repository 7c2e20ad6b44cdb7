// Scaled Euclidean norm (BLAS level 1 nrm2).
#ifndef XNRM2_H
#define XNRM2_H

#include "coder_array.h"

namespace coder {
namespace internal {
namespace blas {

// Euclidean norm of the n consecutive elements of x's column-major storage starting at the
// 1-based linear index ix0. The squares are accumulated relative to the largest magnitude seen so
// far, so no intermediate value overflows or underflows ([1e300, 1e300] gives about 1.414e300).
// n < 1 gives 0.0.
double xnrm2(int n, const array<double, 2>& x, int ix0);

}  // namespace blas
}  // namespace internal
}  // namespace coder

#endif
