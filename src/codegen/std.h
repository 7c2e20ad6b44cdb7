// Sample standard deviation of the three columns of an n x 3 array.
#ifndef CODER_STD_H
#define CODER_STD_H

#include "coder_array.h"

namespace coder {

// y[j] = standard deviation of column j of x (column-major, n = x.size(0) rows, exactly 3
// columns; the column count is not read), normalised by n - 1. n = 0 gives NaN, n = 1 gives 0.0.
// The sum of squares is scaled by its largest term so far, so values near 1e200 or 1e-200 neither
// overflow nor underflow. A NaN element makes its column's result NaN.
void b_std(const array<double, 2>& x, double* y);

// The same for one column of n values at x.
double columnStd(const double* x, int n);

}  // namespace coder

#endif
