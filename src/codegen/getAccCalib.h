// Calibration entry point: smoothing, six orientation searches and the six-position fit.
#ifndef GETACCCALIB_H
#define GETACCCALIB_H

#include <functional>

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

// What one calibration run chose, for callers that analyse the run further.
struct AccCalibWindows {
  // The six searches in the order they run: Z up, Z down, X up, X down, Y up, Y down. axis is 1, 2
  // or 3 (X, Y, Z), level -1 (up) or +1 (down).
  static constexpr int kAxis[6] = {3, 3, 1, 1, 2, 2};
  static constexpr double kLevel[6] = {-1.0, 1.0, -1.0, 1.0, -1.0, 1.0};
  // Chosen window of each search as 1-based sample numbers, inclusive; found[k] is false (and
  // first[k] == last[k] == 1) when the search found no window.
  unsigned int first[6] = {1, 1, 1, 1, 1, 1};
  unsigned int last[6] = {1, 1, 1, 1, 1, 1};
  bool found[6] = {false, false, false, false, false, false};
};

// Hooks around the smoothing of each column (0 = x, 1 = y, 2 = z), which runs first and in that
// order: `column` gives the n samples to smooth in place of x, y or z (made just then, say scaled
// to g), and `smoothed` is called once they have been smoothed and are read no more, so that they
// may be released. Either may be empty.
struct ColumnHooks {
  std::function<const double*(int)> column;
  std::function<void(int)> smoothed;
};

// getAccCalibColumns, which also reports the six chosen windows. When smoothed is not null it
// receives the smoothed recording (N x 3, column-major) the searches ran on; it then serves as the
// run's working array, so keeping it costs no extra memory. hooks, when given, see each column
// through its smoothing.
void getAccCalibWindows(const double* x, const double* y, const double* z, int n,
                        double tolerancePct, double moveMeanWindow, double diffThreshold,
                        double windowWidth, double deltaThresholdWindow, double* offset,
                        double* gainMatrix, boolean_T* result, AccCalibWindows* windows,
                        coder::array<double, 2>* smoothed, const ColumnHooks* hooks = nullptr);

#endif
