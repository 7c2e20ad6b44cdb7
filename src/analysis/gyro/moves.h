// Moves: every run of samples between two gyro rests, with what decides whether it can be
// integrated.
#ifndef TILTFIT_ANALYSIS_GYRO_MOVES_H
#define TILTFIT_ANALYSIS_GYRO_MOVES_H

#include <cstddef>
#include <vector>

#include "gyro/gyroBias.h"
#include "gyro/gyroSeries.h"

namespace tiltfit {
namespace analysis {
namespace gyro {

struct Move {
  std::size_t first = 0;  // rows first..last (inclusive): the samples between the two rests
  std::size_t last = 0;
  std::size_t from = 0;   // the rests before and after, as indices into BiasModel::rests
  std::size_t to = 0;
  double seconds = 0.0;
  // |sum of (raw - bias) dt| over the move, raw units times seconds: the rotation angle in raw
  // units for a move about one axis.
  double rawAngle = 0.0;
  // The largest |raw - bias| dt of one sample, raw units times seconds: the turn between two
  // samples, which the rate must keep small for the integration to hold.
  double rawStepMax = 0.0;
  double gravityChangeDeg = 0.0;  // angle between the two rests' gravity directions
  bool gap = false;        // the time base breaks inside the move
  bool saturated = false;  // an axis sat at its extreme value for three or more samples
  bool tooFast = false;    // set by the fit once the unit is known (see GyroOptions::maxStepDeg)
  // Set by the fit: whether the move is a whole number of turns about an unchanged vertical, the
  // turns it counts as, its calibrated angle about the vertical, and its gravity-direction error
  // before and after calibration and when left out of the fit (degrees; NaN where not computed).
  bool wholeTurn = false;
  int turns = 0;
  double turnDeg = 0.0;
  double errorBeforeDeg = 0.0;
  double errorAfterDeg = 0.0;
  double heldOutDeg = 0.0;
  double weight = 0.0;  // 1 fully used, towards 0 for a move the robust loss set aside
  bool usable() const { return !gap && !saturated && !tooFast; }
};

// The moves between consecutive rests of `bias` (rests in row order). A move is only formed
// between rests with at least one sample between them. Linear in the samples of the moves, plus
// one pass over the series for the extremes of each axis (for saturation).
std::vector<Move> findMoves(const GyroSeries& series, const BiasModel& bias);

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
