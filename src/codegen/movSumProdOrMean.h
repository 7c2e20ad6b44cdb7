// Kernel of the moving mean: all output samples computed in one OpenMP parallel region.
#ifndef MOVSUMPRODORMEAN_H
#define MOVSUMPRODORMEAN_H

#include "coder_array.h"

namespace coder {

// y is resized to x.size(0) and zeroed; then, for i = 0 ... nx - 1, y[i] is the mean of the samples
// x[iLeft] ... x[hi - 1] with iLeft = max(i - kleft, 0) and hi = min(i + kright + 1, x.size(0)).
// An empty window gives 0.0 / 0 = NaN. Each window is summed from scratch with the blocked
// summation of blockedSummation.h, in its own order, so the result is bit-identical whatever the
// number of threads and however outputs are grouped.
//
// Preconditions: 0 <= nx <= x.size(0), kleft >= 0, kright >= -1. x and y must be different arrays.
void vmovfun(const array<double, 1>& x, int nx, int kleft, int kright, array<double, 1>& y);

// The same on n samples at x, writing y[0] ... y[n - 1] (outputs from nx on are 0.0); x and y must
// not overlap.
void vmovfun(const double* x, int n, int nx, int kleft, int kright, double* y);

}  // namespace coder

#endif
