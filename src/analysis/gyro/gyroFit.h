// The gyroscope's calibration from one session: bias, per-axis scale and axis misalignment, in the
// accelerometer's calibrated frame, from the moves between still poses (the model is written out
// at the top of gyroFit.cpp). When the session cannot fix scale and axes, the bias alone, with
// what to record instead.
#ifndef TILTFIT_ANALYSIS_GYRO_GYROFIT_H
#define TILTFIT_ANALYSIS_GYRO_GYROFIT_H

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "gyro/gyroBias.h"
#include "gyro/gyroSeries.h"
#include "gyro/gyroUnits.h"
#include "gyro/moves.h"

namespace tiltfit {
namespace analysis {
namespace gyro {

struct GyroOptions {
  // Raw units per rad/s when known (1 for rad/s, 180/pi for deg/s, counts per rad/s); 0 to judge
  // it from the moves.
  double unitsPerRadS = 0.0;
  // Prior on x = u A (see gyroFit.cpp): each scale within a few percent of 1, each cross-axis
  // term within a few hundredths (axes misaligned by up to a degree or two).
  double scalePriorSigma = 0.05;
  double crossPriorSigma = 0.03;
  // How well a whole turn returns to its start heading (against a stop or a mark on the bench).
  double turnSigmaDeg = 0.2;
  double modelSigmaDeg = 0.01;   // per move, for what the model leaves out
  double blockAngleDeg = 2.0;    // rotation summed into one block of the pre-integration
  // A move turning further between two samples is too fast for the rate: the rate held over a
  // sample no longer integrates it, and a MEMS gyro's own filter lags such a flick (7 deg).
  double maxStepDeg = 7.0;
  // A waypoint (a pose held by hand) turning faster than this is no pose but a turn the
  // accelerometer could not see (a turn about the vertical): it is dropped.
  double maxWaypointRateDegS = 15.0;
  int folds = 5;                 // k of the k-fold figure over the moves (at most the moves)
};

// Mean, RMS and worst of the moves' gravity-direction errors, in degrees, over `count` moves.
struct GyroQuality {
  double meanDeg = 0.0;
  double rmsDeg = 0.0;
  double worstDeg = 0.0;
  std::size_t count = 0;
};

// Covariance of the twelve numbers of the calibration in column form w = A raw + b: A row by row
// (A(r, k) at 3r + k), then b. rad/s per raw unit, and rad/s.
using GyroCovariance = std::array<std::array<double, 12>, 12>;

struct GyroResult {
  bool ok = false;
  std::string method;  // "moves" (gain matrix and offset) or "bias" (the raw bias alone)
  // Row form, as the accelerometer's Calibration: w_j = sum_i raw_i gain[3i + j] + offset[j],
  // rad/s in the accelerometer's calibrated frame. Zero for method "bias".
  double gain[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  double offset[3] = {0, 0, 0};  // rad/s; for "bias", -biasRaw / unitsPerRadS when that is known
  double gainSigma[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  double offsetSigma[3] = {0, 0, 0};
  GyroCovariance covariance{};
  // The raw bias (mean of the gyro rests), its 1-sigma, drift over the session and the rests'
  // scatter, in raw units (drift per hour).
  double biasRaw[3] = {0, 0, 0};
  double biasRawSigma[3] = {0, 0, 0};
  double biasDriftPerHour[3] = {0, 0, 0};
  double biasSpread[3] = {0, 0, 0};
  bool biasDrifting = false;
  GyroUnits units;
  double noiseRaw[3] = {0, 0, 0};  // per-sample noise at rest, raw units
  std::vector<GyroRest> rests;
  std::vector<Move> moves;
  // Gravity-direction error of the usable moves: raw rates in the judged unit with the rests' bias
  // (before), calibrated (after), and each move from a fit without its fold (heldOut).
  GyroQuality before, after, heldOut;
  // The whole turns' calibrated angles' distance from whole turns: worst, degrees.
  double turnClosureDeg = 0.0;
  std::size_t wholeTurns = 0;
  // RMS gravity-direction error that a 90 deg move about a random axis should expect from the
  // gain matrix's uncertainty alone.
  double expectedErrorDeg = 0.0;
  double noiseScale = 1.0;  // factor by which the moves scattered beyond their noise
  bool scaleDetermined[3] = {false, false, false};  // by the moves rather than the prior
  std::vector<std::string> warnings, advice;
  std::string timeNote;
};

// Calibrates the gyroscope of `series` from the accelerometer's still poses (sorted by row, not
// overlapping). ok is false only when no gyro rest is found (nothing to take a bias from) or the
// solver fails. See GyroResult for what is filled for each method.
GyroResult calibrateGyro(const GyroSeries& series, const std::vector<StillPose>& poses,
                         const GyroOptions& options = GyroOptions());

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
