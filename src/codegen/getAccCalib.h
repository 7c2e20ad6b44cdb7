// Calibration entry point: smoothing, six orientation searches and the six-position fit.
#ifndef GETACCCALIB_H
#define GETACCCALIB_H

#include "coder_array.h"
#include "rtwtypes.h"

// accVector: the recording, N x 3, column-major (columns X, Y, Z; row k is sample k), in g for
// the window search. Each axis is smoothed with a moving mean of moveMeanWindow samples; the window
// search then runs on the smoothed data for Z up, Z down, X up, X down, Y up and Y down (up = the
// axis reads about -1, down = about +1), and the fit receives the six sets of smoothed rest rows
// in the order X up, X down, Y up, Y down, Z up, Z down.
//
// Writes offset[3] and gainMatrix[9] (column-major 3 x 3; see accelcal.h for the model) on every
// call, and *result = true only when all six searches found a window of more than one sample. When
// a search found nothing, its set is the first smoothed row and the outputs carry no meaning.
// An empty recording (N = 0) reads nothing: the six sets are empty, the twelve outputs are 0 and
// *result is false. Arguments are not validated; NaN or negative thresholds let no window pass.
// Initialises the library on first use (not thread-safe on that first call).
void getAccCalib(const coder::array<double, 2>& accVector, double tolerancePct,
                 double moveMeanWindow, double diffThreshold, double windowWidth,
                 double deltaThresholdWindow, double* offset, double* gainMatrix,
                 boolean_T* result);

// The same calibration on a recording held as three columns of n samples (x, y, z; n >= 0), for
// callers that keep their samples by column: it skips the N x 3 copy. getAccCalib is this function
// applied to the columns of accVector.
void getAccCalibColumns(const double* x, const double* y, const double* z, int n,
                        double tolerancePct, double moveMeanWindow, double diffThreshold,
                        double windowWidth, double deltaThresholdWindow, double* offset,
                        double* gainMatrix, boolean_T* result);

#endif
