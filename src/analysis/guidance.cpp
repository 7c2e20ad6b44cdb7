// A position's worth is what it would do to the expected error. One more still stretch at the
// reading u (calibrated, |u| = 1) with standard error sigma is one more observation
//
//     |A m + b| = 1,   m = A^-1 (u - b),   J = d|A m + b| / d(A, b) = (u_r m_k, u_r),
//
// which updates the covariance of the twelve numbers by the rank-one formula
//
//     Sigma' = Sigma - (Sigma J)(Sigma J)' / (J' Sigma J + sigma^2),
//
// and the expected error is recomputed with Sigma'. The candidates are the twelve directions
// halfway between two axes: rests along the axes fix gains and offsets, and what they leave to the
// prior are the cross-axis terms, which a reading between two axes sees best.
#include "guidance.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tiltfit {
namespace analysis {
namespace {

std::string axisName(int axis) { return std::string(1, static_cast<char>('x' + axis)); }

std::string upDown(int level) { return level > 0 ? "up" : "down"; }

}  // namespace

std::string readingWords(const double direction[3]) {
  std::string s;
  for (int j = 0; j < 3; ++j) {
    if (std::abs(direction[j]) < 0.05) continue;
    char text[48];
    std::snprintf(text, sizeof text, "%s%c %s about %+.2f g", s.empty() ? "" : ", ",
                  static_cast<char>('x' + j), s.empty() ? "reads" : "", direction[j]);
    s += text;
  }
  // "x reads about +0.71 g, z  about ..." reads better without the doubled blank.
  std::string out;
  for (std::size_t k = 0; k < s.size(); ++k)
    if (!(s[k] == ' ' && k + 1 < s.size() && s[k + 1] == ' ')) out += s[k];
  return out;
}

std::string axisWords(const OrientationId& o) {
  return axisName(o.axis) + " " + upDown(o.level) + " (" + axisName(o.axis) + " reads about " +
         (o.level > 0 ? "+1 g)" : "-1 g)");
}

OrientationId nearestAxis(const double direction[3], double* angleDeg) {
  OrientationId best = kOrientations[0];
  double bestAngle = HUGE_VAL;
  for (const OrientationId& o : kOrientations) {
    const double a = angleFromAxisDeg(direction, o);
    if (a < bestAngle) {
      bestAngle = a;
      best = o;
    }
  }
  if (angleDeg != nullptr) *angleDeg = bestAngle;
  return best;
}

std::vector<Suggestion> rankPositions(const StretchFit& fit, double sigma) {
  std::vector<Suggestion> out;
  Eigen::Matrix3d A;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) A(r, k) = fit.calibration.gain[3 * k + r];
  const Eigen::Vector3d b(fit.calibration.offset[0], fit.calibration.offset[1],
                          fit.calibration.offset[2]);
  const Eigen::Matrix3d Ainv = A.inverse();
  if (!Ainv.allFinite()) return out;
  Eigen::Matrix<double, 12, 12> cov;
  for (std::size_t r = 0; r < 12; ++r)
    for (std::size_t k = 0; k < 12; ++k)
      cov(Eigen::Index(r), Eigen::Index(k)) = fit.covariance[r][k];
  const double h = std::sqrt(0.5);
  for (int a = 0; a < 3; ++a) {
    for (int c = a + 1; c < 3; ++c) {
      for (const int sa : {1, -1}) {
        for (const int sc : {1, -1}) {
          Suggestion s;
          s.direction[a] = sa * h;
          s.direction[c] = sc * h;
          s.words = axisName(a) + " " + upDown(sa) + ", tilted about 45\u00B0 toward " +
                    axisName(c) + " " + upDown(sc) + " (" + readingWords(s.direction) + ")";
          const Eigen::Vector3d u(s.direction[0], s.direction[1], s.direction[2]);
          const Eigen::Vector3d m = Ainv * (u - b);
          Eigen::Matrix<double, 12, 1> J;
          for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) J[3 * r + k] = u[r] * m[k];
            J[9 + r] = u[r];
          }
          const Eigen::Matrix<double, 12, 1> sj = cov * J;
          StretchFit after = fit;
          const Eigen::Matrix<double, 12, 12> updated =
              cov - sj * sj.transpose() / (J.dot(sj) + sigma * sigma);
          for (std::size_t r = 0; r < 12; ++r)
            for (std::size_t k = 0; k < 12; ++k)
              after.covariance[r][k] = updated(Eigen::Index(r), Eigen::Index(k));
          s.expectedErrorMg = expectedErrorMg(fit.calibration, after);
          out.push_back(s);
        }
      }
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const Suggestion& x, const Suggestion& y) {
    return x.expectedErrorMg < y.expectedErrorMg;
  });
  return out;
}

std::vector<OrientationId> missingOrientations(const std::vector<StillStretch>& stretchesG,
                                               double maxDeg) {
  std::vector<OrientationId> out;
  for (const OrientationId& o : kOrientations) {
    bool found = false;
    for (const StillStretch& s : stretchesG) found = found || angleFromAxisDeg(s.mean, o) <= maxDeg;
    if (!found) out.push_back(o);
  }
  return out;
}

}  // namespace analysis
}  // namespace tiltfit
