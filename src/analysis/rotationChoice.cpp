#include "rotationChoice.h"

#include <ceres/rotation.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>

namespace tiltfit {
namespace analysis {
namespace {

constexpr double kDeg = 180.0 / M_PI;

std::string format(const char* fmt, double a, double b = 0.0, double c = 0.0) {
  char text[320];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

void suggest(const RotationEvidence& e, RotationReport& r) {
  if (!e.fitted) return;
  r.suggested = true;
  for (int k = 0; k < 3; ++k) r.suggestedVectorDeg[k] = e.w[k] * kDeg;
  r.suggestedDeg = e.angle() * kDeg;
  r.suggestedSigmaDeg = e.sigma * kDeg;
}

}  // namespace

bool rotationFixed(const RotationEvidence& e) {
  const double angle = e.angle();
  return e.fitted && std::isfinite(angle) && angle >= kRotationSigmas * e.sigma &&
         angle >= kRotationTilts * e.tilt;
}

RotationReport decideRotation(const RotationEvidence& e, RotationChoice choice) {
  RotationReport r;
  suggest(e, r);
  if (!e.fitted) {
    r.note = "no six rests to fix a rotation: the calibration keeps the sensor's own axes";
    return r;
  }
  const double angle = e.angle() * kDeg;
  const double sigma = e.sigma * kDeg;
  const double tilt = e.tilt * kDeg;
  if (choice == RotationChoice::kNone) {
    r.note = format("not applied, as asked: the rests suggest %.2f +- %.2f degrees; the "
                    "calibration keeps the sensor's own axes",
                    angle, sigma);
    return r;
  }
  if (choice == RotationChoice::kRests) {
    r.applied = true;
    r.sigmaDeg = sigma;
    r.note = format("from the six rests, as asked: %.2f +- %.2f degrees, the rests %.2f degrees "
                    "from their axes",
                    angle, sigma, tilt);
    return r;
  }
  if (rotationFixed(e)) {
    r.applied = true;
    r.sigmaDeg = sigma;
    r.note = format("the six rests fix it: %.2f +- %.2f degrees, the rests %.2f degrees from "
                    "their axes",
                    angle, sigma, tilt);
    return r;
  }
  if (angle < kRotationSigmas * sigma) {
    r.note = format("not applied: the %.2f degrees the rests suggest are within three times "
                    "their uncertainty (%.2f degrees); the calibration keeps the sensor's own axes",
                    angle, sigma);
  } else {
    r.note = format("not applied: the rests lie %.2f degrees from their axes, too much to tell "
                    "the %.2f degrees they suggest from their own tilt; the calibration keeps the "
                    "sensor's own axes",
                    tilt, angle);
  }
  return r;
}

void polarRotation(const Calibration& c, double w[3]) {
  w[0] = w[1] = w[2] = 0.0;
  Eigen::Matrix3d A;
  for (int r = 0; r < 3; ++r)
    for (int q = 0; q < 3; ++q) A(r, q) = c.gain[3 * q + r];
  // Singular, a reflection or not finite: no rotation to speak of.
  if (!(A.determinant() > 0.0) || !A.allFinite()) return;
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Eigen::Matrix3d R = svd.matrixU() * svd.matrixV().transpose();
  double Rm[9];
  for (int r = 0; r < 3; ++r)
    for (int q = 0; q < 3; ++q) Rm[3 * r + q] = R(r, q);
  ceres::RotationMatrixToAngleAxis(ceres::RowMajorAdapter3x3(static_cast<const double*>(Rm)), w);
}

RotationReport rotationAsIs(const Calibration& reportedG, const RotationEvidence& e,
                            const std::string& note) {
  RotationReport r;
  suggest(e, r);
  double w[3];
  polarRotation(reportedG, w);
  for (int k = 0; k < 3; ++k) r.vectorDeg[k] = w[k] * kDeg;
  r.angleDeg = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]) * kDeg;
  r.applied = r.angleDeg > 0.0;
  r.sigmaDeg = r.applied ? r.suggestedSigmaDeg : 0.0;
  r.note = note;
  return r;
}

}  // namespace analysis
}  // namespace tiltfit
