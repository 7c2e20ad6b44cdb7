// What the gyroscope's analysis is given: the raw gyro columns with their time base, and the still
// poses the accelerometer found, each with its calibrated gravity direction.
#ifndef TILTFIT_ANALYSIS_GYRO_GYROSERIES_H
#define TILTFIT_ANALYSIS_GYRO_GYROSERIES_H

#include <cstddef>

#include "gyro/timeBase.h"

namespace tiltfit {
namespace analysis {
namespace gyro {

// A still stretch of the accelerometer: rows first..last (0-based, inclusive) and its gravity
// direction, a unit vector in the accelerometer's calibrated frame (either sign convention, the
// same for every pose), with the 1-sigma error of that direction in radians.
struct StillPose {
  std::size_t first = 0;
  std::size_t last = 0;
  double gravity[3] = {0.0, 0.0, 0.0};
  double gravitySigma = 0.0;
};

// The raw gyro columns (any unit, any zero) of n samples and the time of each sample
// (time->size() == n). The pointers are borrowed for the call.
//
// Optionally the raw accelerometer columns of the same n samples with their calibration (row
// form, as the accelerometer's Calibration: c_j = sum_i raw_i accelGain[3i + j] + accelOffset[j]).
// With them, the gravity direction of each gyro rest is measured over the rest's own samples
// rather than taken from its pose: a pose can hold a small tilt the accelerometer's stillness
// test let pass, and its ends hold the slow start and end of the moves around it.
struct GyroSeries {
  const double* x = nullptr;
  const double* y = nullptr;
  const double* z = nullptr;
  std::size_t n = 0;
  const TimeBase* time = nullptr;
  const double* ax = nullptr;
  const double* ay = nullptr;
  const double* az = nullptr;
  double accelGain[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  double accelOffset[3] = {0, 0, 0};
  double at(int axis, std::size_t i) const { return axis == 0 ? x[i] : axis == 1 ? y[i] : z[i]; }
  bool hasAccel() const { return ax != nullptr && ay != nullptr && az != nullptr; }
};

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
