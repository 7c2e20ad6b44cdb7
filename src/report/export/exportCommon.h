// What the export writers share: numbers without the locale, the calibrations in SI units, the
// factorisations the estimators' conventions need, and one figure per sensor.
#ifndef TILTFIT_REPORT_EXPORT_EXPORTCOMMON_H
#define TILTFIT_REPORT_EXPORT_EXPORTCOMMON_H

#include <string>
#include <vector>

#include "imuModel.h"

namespace tiltfit {
namespace report {
namespace exports {

constexpr double kStandardGravity = 9.80665;  // m/s^2, what drivers scale g by

// v with `digits` significant digits: scientific ("2.0000e-03") or general ("1.00012345", the
// shortest of fixed and scientific), never with a decimal comma.
std::string scientific(double v, int digits = 5);
std::string general(double v, int digits = 9);

using Matrix3 = double[3][3];

// A calibration whose raw readings and output are both in SI units (m/s^2 or rad/s), as a driver
// hands the readings on: calibrated = A raw + b.
struct SICalibration {
  double A[3][3];
  double b[3];
};
// The accelerometer with raw in m/s^2 (counts and g scaled as a driver does, by the counts per g
// and kStandardGravity) and output in m/s^2 reading outPerG at rest (the local gravity for an
// estimator, kStandardGravity for a flight stack, whose level and calibration assume it).
SICalibration accelSI(const ImuModel& m, double outPerG);
// The gyroscope with raw in rad/s.
SICalibration gyroSI(const ImuModel& m);

void inverse(const Matrix3 A, Matrix3 out);  // A must be invertible
double determinant(const Matrix3 A);

// A = Q L with Q a rotation and L lower triangular with a positive diagonal. ok = false when A
// has no such form (its determinant is not positive). angleDeg: the angle of Q.
struct QLFactors {
  bool ok = false;
  double Q[3][3];
  double L[3][3];
  double angleDeg = 0.0;
};
QLFactors qlFactors(const Matrix3 A);

// The largest of the three axes' figures of a sensor, SI units. known: every axis known; any:
// some are (then value is the largest of those). detail: "x 1.2e-03, y 1.1e-03, z 1.3e-03".
struct SensorFigure {
  bool known = false, any = false;
  double value = 0.0;
  std::string detail;
};
SensorFigure largest(const AxisNoise noise[3], NoiseValue AxisNoise::*figure);

// For a flight stack's diagonal scales: how far dropping the off-diagonal terms of A (SI) moves
// a calibrated reading of magnitude g0, in mg, the worst and the mean over 2000 directions evenly
// spread (a Fibonacci lattice).
void diagonalCost(const SICalibration& c, double g0, double& worstMg, double& meanMg);

// A flight stack's diagonal form, corrected = (raw - offset) * scale per axis, of a correction in
// SI units reading kStandardGravity at rest: scale = A's diagonal, offset = -b / scale; with what
// the off-diagonal terms were and what dropping them costs (diagonalCost), for a comment line.
struct DiagonalForm {
  double offset[3], scale[3];
  double worstMg = 0.0, meanMg = 0.0;
  std::string
      comment;  // "cross-axis terms A_xy ... dropped: up to W mg (mean M mg) over directions"
};
DiagonalForm diagonalForm(const SICalibration& c);

}  // namespace exports
}  // namespace report
}  // namespace tiltfit

#endif
