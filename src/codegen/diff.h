// First difference of a vector.
#ifndef DIFF_H
#define DIFF_H

#include "coder_array.h"

namespace coder {

// y[i] = x[i + 1] - x[i] for i = 0 ... n - 2, n = x.size(0); y is resized to n - 1, or to 0
// elements when n <= 1. x and y must be different arrays.
void diff(const array<double, 1>& x, array<double, 1>& y);

}  // namespace coder

#endif
