// Moving mean with a window that shrinks at both ends of the signal, so every output is the mean
// of real samples only.
#ifndef MOVMEAN_H
#define MOVMEAN_H

#include "coder_array.h"

namespace coder {

// y[i] = mean of x over the window around i; y is resized to x.size(0).
//
// The window length k (in samples) becomes kleft samples before and kright samples after the
// centre: kleft = floor(k / 2); kright = kleft - 1 when k is an even whole number, else kleft;
// both capped at n. So k = 3 averages (i-1, i, i+1), k = 4 averages (i-2 ... i+1), k in [1, 2)
// returns x itself. k >= 2147483647 (and +infinity) averages the whole signal everywhere.
//
// k = 0 gives windows of no samples, so every output is NaN. A negative or NaN k is treated the
// same way (every output NaN): it has no meaningful window and must never index outside x.
// An empty x gives an empty y. x and y must be different arrays.
void movmean(const array<double, 1>& x, double k, array<double, 1>& y);

// The same on n samples at x, writing n outputs at y; x and y must not overlap.
void movmean(const double* x, int n, double k, double* y);

}  // namespace coder

#endif
