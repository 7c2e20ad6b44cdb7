// Sum of a vector, accumulated in blocks of 1024 elements: each block is summed on its own, in
// index order, and its partial sum is then added to the total. This bounds the rounding error of
// long sums and lets a block be summed with vector instructions.
#ifndef BLOCKEDSUMMATION_H
#define BLOCKEDSUMMATION_H

#include "coder_array.h"

namespace coder {

// Sum of x[0] ... x[vlen - 1]. Precondition: 0 <= vlen <= x.size(0). An empty x or vlen = 0
// gives 0.0; a NaN element gives NaN.
double blockedSummation(const array<double, 1>& x, int vlen);

// The same summation over vlen consecutive values starting at x (vlen >= 0), in the same order.
double blockedSummation(const double* x, int vlen);

}  // namespace coder

#endif
