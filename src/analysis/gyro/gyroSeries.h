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
struct GyroSeries {
  const double* x = nullptr;
  const double* y = nullptr;
  const double* z = nullptr;
  std::size_t n = 0;
  const TimeBase* time = nullptr;
  double at(int axis, std::size_t i) const { return axis == 0 ? x[i] : axis == 1 ? y[i] : z[i]; }
};

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
