#include "calibrationQuality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace {

double norm(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

constexpr double kRadToDeg = 180.0 / M_PI;

std::string rows(const ChosenRest& r, const LineOfRow& lineOf) {
  const auto line = [&](unsigned row) -> unsigned long long {
    return lineOf ? lineOf(row - 1) : row;
  };
  char text[64];
  std::snprintf(text, sizeof text, "rows %llu-%llu", line(r.first), line(r.last));
  return text;
}

}  // namespace

std::string orientationName(const OrientationId& o) {
  std::string name(1, static_cast<char>('x' + o.axis));
  name += o.level < 0 ? " at -1 g" : " at +1 g";
  return name;
}

double angleBetweenDeg(const double a[3], const double b[3]) {
  const double na = norm(a);
  const double nb = norm(b);
  if (!(na > 0.0 && nb > 0.0) || !std::isfinite(na * nb)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  // atan2 of the cross and dot products stays accurate for tiny and near-straight angles.
  const double cross[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                           a[0] * b[1] - a[1] * b[0]};
  const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  return std::atan2(norm(cross), dot) * kRadToDeg;
}

double angleFromAxisDeg(const double v[3], const OrientationId& o) {
  double axis[3] = {0.0, 0.0, 0.0};
  axis[o.axis] = o.level;
  return angleBetweenDeg(v, axis);
}

NormErrors rawNormErrors(const std::vector<StillStretch>& stretches, const InputScale& scale) {
  NormErrors e;
  for (const StillStretch& s : stretches) {
    double g[3];
    scale.toG(s.mean, g);
    const double err = std::abs(norm(g) - 1.0) * 1000.0;
    e.meanMg += err;
    e.worstMg = std::max(e.worstMg, err);
  }
  if (!stretches.empty()) e.meanMg /= static_cast<double>(stretches.size());
  return e;
}

NormErrors calibratedNormErrors(const std::vector<StillStretch>& stretches, const Calibration& c,
                                double outPerG) {
  NormErrors e;
  for (const StillStretch& s : stretches) {
    double v[3];
    c.apply(s.mean, v);
    const double err = std::abs(norm(v) / outPerG - 1.0) * 1000.0;
    e.meanMg += err;
    // A NaN error (a calibration of NaNs) must show as the worst.
    e.worstMg = std::isnan(err) ? err : std::max(e.worstMg, err);
  }
  if (!stretches.empty()) e.meanMg /= static_cast<double>(stretches.size());
  return e;
}

std::vector<std::string> checkChosenRests(const ChosenRest rests[6], const InputScale& scale,
                                          const LineOfRow& lineOf) {
  std::vector<std::string> problems;
  double dir[6][3];
  for (int k = 0; k < 6; ++k) scale.toG(rests[k].mean, dir[k]);
  char text[256];
  for (int a = 0; a < 6; ++a) {
    for (int b = a + 1; b < 6; ++b) {
      const ChosenRest& ra = rests[a];
      const ChosenRest& rb = rests[b];
      if (!ra.found || !rb.found) continue;
      const std::string pair = "the windows for " + orientationName(ra.id) + " (" +
                               rows(ra, lineOf) + ") and " + orientationName(rb.id) + " (" +
                               rows(rb, lineOf) + ")";
      if (ra.first <= rb.last && rb.first <= ra.last) {
        problems.push_back(pair +
                           " overlap: one rest passed for two orientations; lower "
                           "tolerancePct");
        continue;
      }
      const double angle = angleBetweenDeg(dir[a], dir[b]);
      if (!(angle >= 45.0)) {
        std::snprintf(text, sizeof text,
                      " point only %.1f degrees apart: one rest passed for two orientations; "
                      "lower tolerancePct",
                      angle);
        problems.push_back(pair + text);
      }
    }
  }
  for (int k = 0; k < 6; ++k) {
    if (!rests[k].found) continue;
    const double angle = angleFromAxisDeg(dir[k], rests[k].id);
    if (!(angle <= 20.0)) {
      std::snprintf(text, sizeof text,
                    " points %.1f degrees away from its axis: it is a rest at another angle, not "
                    "that orientation; lower tolerancePct",
                    angle);
      problems.push_back("the window for " + orientationName(rests[k].id) + " (" +
                         rows(rests[k], lineOf) + ")" + text);
    }
  }
  return problems;
}

}  // namespace analysis
}  // namespace tiltfit
