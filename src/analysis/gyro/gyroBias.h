// The gyroscope at rest: the parts of the accelerometer's still poses in which the gyro is still
// too, and the raw bias they give. A turn about the vertical leaves the accelerometer still, so a
// pose is split wherever the gyro moves inside it; what it turned through is a move like any other.
#ifndef TILTFIT_ANALYSIS_GYRO_GYROBIAS_H
#define TILTFIT_ANALYSIS_GYRO_GYROBIAS_H

#include <cstddef>
#include <vector>

#include "gyro/gyroSeries.h"

namespace tiltfit {
namespace analysis {
namespace gyro {

// A run of samples in which both sensors lay still: rows first..last (inclusive), inside pose
// `pose`, with its gravity direction (the pose's, or measured over the rest itself when the series
// has the accelerometer's columns).
//
// A pose in which the gyro is never still (held by hand: the accelerometer sees gravity alone,
// the gyro the hand's slow wobble) still tells where gravity was: it becomes a waypoint, a rest
// of one sample (first == last, its middle) with gyroStill false. It gives no bias; the moves
// on either side of it run up to that sample, so that the gyro integrates the wobble, and its
// gravity is the accelerometer's mean over 0.5 s around it (or the pose's, with a sigma of at
// least 0.1 deg for the wobble).
struct GyroRest {
  bool gyroStill = true;
  std::size_t first = 0;
  std::size_t last = 0;
  std::size_t pose = 0;
  double mean[3] = {0.0, 0.0, 0.0};       // raw units
  double meanSigma[3] = {0.0, 0.0, 0.0};  // standard error of the mean, raw units
  double time = 0.0;                      // seconds of its middle sample
  double gravity[3] = {0.0, 0.0, 0.0};
  double gravitySigma = 0.0;
  std::size_t length() const { return last - first + 1; }
};

// The raw bias over the session, from every gyro rest.
struct BiasModel {
  std::vector<GyroRest> rests;  // in row order
  double noise[3] = {0.0, 0.0, 0.0};  // standard deviation of one sample at rest, raw units
  double mean[3] = {0.0, 0.0, 0.0};   // the rests' mean, weighted by their standard errors
  double meanSigma[3] = {0.0, 0.0, 0.0};
  // The rests' scatter about their mean (raw units; 0 with fewer than two rests), and the slope of
  // a straight line through them (raw units per second).
  double spread[3] = {0.0, 0.0, 0.0};
  double driftPerSecond[3] = {0.0, 0.0, 0.0};
  // The rests disagree beyond their standard errors: the bias over a move is then interpolated
  // in time between the rests around it rather than taken as the mean.
  bool drifting = false;

  // The raw bias at t seconds: between the gyro-still rests around t (linear in time) when
  // drifting, the mean otherwise; before the first and after the last rest, the nearest rest's.
  // With no gyro-still rest at all, 0.
  void at(double t, double out[3]) const;
  // 1-sigma of at(t) per axis.
  void sigmaAt(double t, double out[3]) const;
  std::size_t stillCount() const { return still.size(); }

  std::vector<GyroRest> still;  // the gyro-still rests alone, in row order
};

// The shortest run of gyro-still samples taken as a rest.
constexpr std::size_t kMinGyroRestSamples = 20;

// Finds the gyro rests (and waypoints) inside the poses (sorted by row, not overlapping, within
// 0..n-1) and the bias the gyro-still ones give. The gyro's per-sample noise is taken from the first differences inside the
// poses. A block of about 0.15 s is still when its mean lies within six standard errors of the
// pose's rest level on every axis and so do its neighbours' (so that the slow start and end of a
// turn stay in the move); one block at each end of a pose is left to the moves. Runs of at least
// kMinGyroRestSamples still samples become rests; a pose with none becomes a waypoint. Poses
// outside the series are skipped.
BiasModel findGyroRests(const GyroSeries& series, const std::vector<StillPose>& poses);

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
