// Six-position least-squares fit of an accelerometer's gain matrix and offset.
#ifndef ACCELCAL_H
#define ACCELCAL_H

#include "coder_array.h"

namespace coder {

// Each input is an M_n x 3 array (column-major; M_n >= 0; only columns 0-2 are read) of rest
// samples (x, y, z) for one orientation, fitted to the reference row:
//   xUp (-g, 0, 0), xDown (+g, 0, 0), yUp (0, -g, 0), yDown (0, +g, 0), zUp (0, 0, -g), zDown (0,
//   0, +g)
// with g = 9.81 when the mean sample magnitude is strictly above 4.905 (data in m/s^2) and
// g = 1.0 otherwise (data in g; also when the mean is NaN).
//
// Writes A (9 doubles) and b (3 doubles) such that, for each calibrated axis j,
//   calibrated_j = A[3j] * raw_x + A[3j + 1] * raw_y + A[3j + 2] * raw_z + b[j],
// that is calibrated = raw * M + b for a raw row vector, M being the nine values read column-major.
// All twelve values are written on every return. No samples give twelve zeros; exactly four
// samples are solved by Gaussian elimination with partial pivoting and no singularity test (a
// singular system gives infinite or NaN coefficients where a non-zero meets a zero pivot); any
// other count by pivoted QR, whose basic solution sets dropped coefficients to 0.
void accelcal(const array<double, 2>& xUp, const array<double, 2>& xDown,
              const array<double, 2>& yUp, const array<double, 2>& yDown,
              const array<double, 2>& zUp, const array<double, 2>& zDown, double* A, double* b);

}  // namespace coder

#endif
